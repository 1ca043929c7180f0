#include "tolm/zRecord.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/AllocationCounter.h"
#include "tolm/zFourCC.h"

namespace {

constexpr zKey kDura = zFourCC("dura");
constexpr zKey kMwid = zFourCC("mwid");
constexpr zKey kMhgt = zFourCC("mhgt");
constexpr zKey kVidI = zFourCC("vidI");
constexpr zKey kTmsc = zFourCC("tmsc");

// A record with two fixed fields, the way the media record keeps its members.
class FixedRecord : public zRecord {
 public:
  FixedRecord() : width_(kMwid), height_(kMhgt) { AttachFixedFields(&width_, 2); }
  FixedRecord(const FixedRecord& other) : zRecord(other), width_(other.width_), height_(other.height_) {
    AttachFixedFields(&width_, 2);
  }
  FixedRecord& operator=(const FixedRecord&) = delete;

  void variable_changing(zVariable& variable) override {
    changingKeys.push_back(variable.key);
    valuesBeforeChange.push_back(variable.AsInt64_full(-1));
  }

  const zVariable& width() const { return width_; }
  zVariable& width() { return width_; }
  std::vector<zKey> changingKeys;
  std::vector<int64_t> valuesBeforeChange;

 private:
  // Consecutive, as AttachFixedFields requires.
  zVariable width_;
  zVariable height_;
};

TEST(zRecordTest, SetAndGetByFourCharacterKey) {
  zRecord record;
  EXPECT_TRUE(record.SetInt32(kDura, 40000));
  EXPECT_TRUE(record.SetInt64(kTmsc, -5'000'000'000));
  EXPECT_TRUE(record.SetUInt64(kVidI, 7));
  EXPECT_TRUE(record.SetBool(zFourCC("bool"), true));
  EXPECT_TRUE(record.SetFloat(zFourCC("flot"), 0.5f));
  EXPECT_TRUE(record.SetDouble(zFourCC("dubl"), 0.25));
  EXPECT_EQ(record.Count(), 6);
  EXPECT_EQ(record.AsInt32(kDura, 0), 40000);
  EXPECT_EQ(record.AsInt64(kTmsc, 0), -5'000'000'000);
  EXPECT_EQ(record.AsUInt64(kVidI, 0), 7u);
  EXPECT_TRUE(record.AsBool(zFourCC("bool"), false));
  EXPECT_EQ(record.AsFloat(zFourCC("flot"), 0), 0.5f);
  EXPECT_EQ(record.AsDouble(zFourCC("dubl"), 0), 0.25);
  EXPECT_EQ(record.AsInt32(zFourCC("none"), -1), -1);
  EXPECT_FALSE(record.Has(zFourCC("none")));
  EXPECT_TRUE(record.Has(kDura));
}

TEST(zRecordTest, OverwriteReplacesValueAndTypeInTheSameEntry) {
  zRecord record;
  record.SetInt32(kDura, 1, 2);
  record.SetDouble(kMwid, 3.0);
  record.SetInt64(kDura, static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 10);
  ASSERT_EQ(record.Count(), 2);
  EXPECT_EQ(record.EntryAt(0).key, kDura);  // insertion order is kept
  EXPECT_EQ(record.EntryAt(0).Tag(), kzTypeInt64);
  EXPECT_EQ(record.EntryAt(0).flags, 0);
  EXPECT_EQ(record.AsInt32(kDura, 0), std::numeric_limits<int32_t>::max());
  ASSERT_TRUE(record.SetText(kDura, "now text", 2));
  EXPECT_STREQ(record.AsText(kDura), "now text");
  EXPECT_EQ(record.Find(kDura)->flags, 2);
  EXPECT_EQ(record.AsInt32(kDura, -8), -8);  // text does not convert
  record.SetInt32(kDura, 3);                 // frees the text
  EXPECT_EQ(record.AsText(kDura), nullptr);
  EXPECT_EQ(record.Count(), 2);
}

TEST(zRecordTest, FlagBitOfAnEntrySurvivesAssignments) {
  zRecord record;
  record.SetInt32(kDura, 1);
  record.Find(kDura)->type |= zVariable::kFlagBit;
  record.SetFloat(kDura, 1.5f);
  EXPECT_EQ(record.Find(kDura)->type, zVariable::kFlagBit | kzTypeFloat);
  record.SetText(kDura, "x");
  EXPECT_EQ(record.Find(kDura)->type, zVariable::kFlagBit | kzTypeOwned);
}

TEST(zRecordTest, RejectedArgumentsChangeNothing) {
  zRecord record;
  record.SetInt32(kDura, 4);
  EXPECT_FALSE(record.SetText(kDura, nullptr));
  EXPECT_FALSE(record.SetInt32(static_cast<const char*>(nullptr), 1));
  EXPECT_FALSE(record.SetInt32("", 1));
  EXPECT_EQ(record.Count(), 1);
  EXPECT_EQ(record.AsInt32(kDura, 0), 4);
  EXPECT_EQ(record.AsInt32(static_cast<const char*>(nullptr), 6), 6);
}

TEST(zRecordTest, FloatGetterSaturatesDoublesOutsideTheFloatRange) {
  zRecord record;
  record.SetDouble(kDura, 1e300);
  EXPECT_EQ(record.AsFloat(kDura, 0), std::numeric_limits<float>::max());
  record.SetDouble(kDura, -1e300);
  EXPECT_EQ(record.AsFloat(kDura, 0), -std::numeric_limits<float>::max());
  record.SetDouble(kDura, std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isinf(record.AsFloat(kDura, 0)));
  record.SetInt64(kDura, -3);
  EXPECT_EQ(record.AsFloat(kDura, 0), -3.0f);
}

TEST(zRecordTest, RemoveIDKeepsTheOrderOfTheOthers) {
  zRecord record;
  record.SetInt32(kDura, 1);
  record.SetInt32(kMwid, 2);
  record.SetText(kMhgt, "three");
  record.RemoveID(kMwid);
  ASSERT_EQ(record.Count(), 2);
  EXPECT_EQ(record.EntryAt(0).key, kDura);
  EXPECT_EQ(record.EntryAt(1).key, kMhgt);
  EXPECT_STREQ(record.AsText(kMhgt), "three");
  record.RemoveID(zFourCC("none"));  // ignored
  EXPECT_EQ(record.Count(), 2);
  record.RemoveID(kMhgt);  // owned bytes freed with it
  EXPECT_EQ(record.Count(), 1);
  EXPECT_FALSE(record.Has(kMhgt));
}

TEST(zRecordTest, FixedFieldsAreReadAndWrittenByKeyBeforeEntries) {
  FixedRecord record;
  EXPECT_TRUE(record.SetInt32(kMwid, 1920, 2));
  EXPECT_EQ(record.width().AsInt32_full(0), 1920);
  EXPECT_EQ(record.width().flags, 2);
  EXPECT_EQ(record.Count(), 0);
  EXPECT_EQ(record.AsInt32(kMwid, 0), 1920);
  EXPECT_EQ(record.FixedFieldCount(), 2);
  EXPECT_EQ(record.FixedFieldAt(0).key, kMwid);
  record.SetInt32(kDura, 5);
  EXPECT_EQ(record.Count(), 1);
  // Removing a fixed field clears it but keeps its key.
  record.RemoveID(kMwid);
  EXPECT_TRUE(record.width().IsEmpty());
  EXPECT_EQ(record.width().key, kMwid);
  EXPECT_FALSE(record.Has(kMwid));
  EXPECT_EQ(record.AsInt32(kMwid, -1), -1);
}

TEST(zRecordTest, VariableChangingRunsBeforeEachChange) {
  FixedRecord record;
  record.SetInt32(kMwid, 10);
  record.SetInt32(kMwid, 20);
  record.SetInt32(kDura, 30);
  record.RemoveID(kDura);
  ASSERT_EQ(record.changingKeys.size(), 4u);
  EXPECT_EQ(record.changingKeys[0], kMwid);
  EXPECT_EQ(record.valuesBeforeChange[0], -1);  // empty before the first set
  EXPECT_EQ(record.valuesBeforeChange[1], 10);  // old value still visible
  EXPECT_EQ(record.changingKeys[2], kDura);
  EXPECT_EQ(record.changingKeys[3], kDura);
  EXPECT_EQ(record.valuesBeforeChange[3], 30);
}

TEST(zRecordTest, CopyReplacesEntriesAndRemovesExtraOnes) {
  zRecord source;
  source.SetInt32(kDura, 1);
  source.SetInt64(kTmsc, 2);
  zRecord destination;
  destination.SetText(kVidI, "stale");
  destination.SetInt32(kMwid, 9);
  destination.SetDouble(kMhgt, 4.5);
  destination.SetInt32(kDura, 100);
  ASSERT_TRUE(destination.Copy(source, false, true, zRecordFactory{}));
  EXPECT_EQ(destination.Count(), 2);
  EXPECT_EQ(destination.AsInt32(kDura, 0), 1);
  EXPECT_EQ(destination.AsInt64(kTmsc, 0), 2);
  EXPECT_FALSE(destination.Has(kVidI));
  EXPECT_FALSE(destination.Has(kMwid));
  EXPECT_FALSE(destination.Has(kMhgt));
  EXPECT_TRUE(destination.Equals(source));
  EXPECT_TRUE(source.Equals(destination));
}

TEST(zRecordTest, PlainCopyLeavesOwnedValuesOutAndFullCopyTakesThem) {
  zRecord source;
  source.SetInt32(kDura, 1);
  source.SetText(kVidI, "owned");
  zRecord plain;
  ASSERT_TRUE(plain.Copy(source, false, true, zRecordFactory{}));
  EXPECT_EQ(plain.Count(), 1);
  EXPECT_FALSE(plain.Has(kVidI));
  EXPECT_FALSE(plain.Equals(source));
  zRecord full;
  ASSERT_TRUE(full.Copy(source, true, true, zRecordFactory{}));
  EXPECT_EQ(full.Count(), 2);
  EXPECT_STREQ(full.AsText(kVidI), "owned");
  EXPECT_NE(full.AsText(kVidI), source.AsText(kVidI));
  EXPECT_TRUE(full.Equals(source));
}

TEST(zRecordTest, FullCopyHandsOwnedValuesToTheFactory) {
  zRecord source;
  source.SetText(kVidI, "abc");
  source.SetInt32(kDura, 1);
  int calls = 0;
  zRecordFactory factory = [&calls](zVariable& destination, const zVariable& value) {
    ++calls;
    return destination.SetOwned("made by factory", -1, value.flags);
  };
  zRecord destination;
  ASSERT_TRUE(destination.Copy(source, true, true, factory));
  EXPECT_EQ(calls, 1);
  EXPECT_STREQ(destination.AsText(kVidI), "made by factory");
  EXPECT_EQ(destination.AsInt32(kDura, 0), 1);
  zRecordFactory failing = [](zVariable&, const zVariable&) { return false; };
  EXPECT_FALSE(destination.Copy(source, true, true, failing));
  EXPECT_EQ(destination.AsInt32(kDura, 0), 1);
}

TEST(zRecordTest, CopyOfFixedFieldsFollowsKeyedOnly) {
  FixedRecord source;
  source.SetInt32(kMwid, 640);
  source.SetInt32(kDura, 3);
  FixedRecord destination;
  destination.SetInt32(kMwid, 1);
  destination.SetInt32(kMhgt, 2);
  ASSERT_TRUE(destination.Copy(source, false, true, zRecordFactory{}));
  EXPECT_EQ(destination.AsInt32(kMwid, 0), 1);  // left to the caller
  EXPECT_EQ(destination.AsInt32(kDura, 0), 3);
  ASSERT_TRUE(destination.Copy(source, false, false, zRecordFactory{}));
  EXPECT_EQ(destination.AsInt32(kMwid, 0), 640);
  EXPECT_FALSE(destination.Has(kMhgt));  // empty in the source
  EXPECT_EQ(destination.AsInt32(kDura, 0), 3);
  EXPECT_TRUE(destination.Equals(source));
}

TEST(zRecordTest, CopyRoutesEntriesNamedLikeFixedFieldsIntoTheFields) {
  zRecord source;
  source.SetInt32(kMwid, 720);
  source.SetInt32(kDura, 5);
  FixedRecord destination;
  ASSERT_TRUE(destination.Copy(source, false, false, zRecordFactory{}));
  EXPECT_EQ(destination.width().AsInt32_full(0), 720);
  EXPECT_EQ(destination.Count(), 1);
  EXPECT_EQ(destination.AsInt32(kDura, 0), 5);
}

TEST(zRecordTest, CopyIntoARecordOfTheSameShapeAllocatesNothing) {
  zRecord source;
  source.SetInt32(kDura, 1);
  source.SetInt64(kTmsc, 2);
  source.SetDouble(kMwid, 3.0);
  source.SetInt32("input_channel_selection", 4);
  zRecord destination;
  // A different, larger shape first: the vector's capacity covers the source.
  for (uint32_t i = 0; i < 8; ++i) destination.SetInt32(zFourCC("k000") + i, static_cast<int32_t>(i));
  ASSERT_TRUE(destination.Copy(source, false, true, zRecordFactory{}));
  source.SetInt32(kDura, 11);
  source.SetBool(kTmsc, true);
  {
    AllocationCounter counter;
    ASSERT_TRUE(destination.Copy(source, false, true, zRecordFactory{}));
    EXPECT_EQ(counter.Allocations(), 0);
  }
  EXPECT_TRUE(destination.Equals(source));
  EXPECT_EQ(destination.AsInt32(kDura, 0), 11);
  EXPECT_TRUE(destination.AsBool(kTmsc, false));
}

TEST(zRecordTest, CopyConstructorAndAssignmentAreDeep) {
  zRecord original;
  original.SetText(kVidI, "deep");
  original.SetInt32(kDura, 8);
  zRecord copy(original);
  EXPECT_TRUE(copy.Equals(original));
  EXPECT_NE(copy.AsText(kVidI), original.AsText(kVidI));
  zRecord assigned;
  assigned.SetInt32(kMwid, 1);
  assigned = original;
  EXPECT_TRUE(assigned.Equals(original));
  original.SetText(kVidI, "changed");
  EXPECT_STREQ(copy.AsText(kVidI), "deep");
  EXPECT_STREQ(assigned.AsText(kVidI), "deep");
}

TEST(zRecordTest, CopyOfAFixedRecordKeepsItsOwnFields) {
  FixedRecord original;
  original.SetInt32(kMwid, 33);
  FixedRecord copy(original);
  copy.SetInt32(kMwid, 44);
  EXPECT_EQ(original.AsInt32(kMwid, 0), 33);
  EXPECT_EQ(copy.AsInt32(kMwid, 0), 44);
  EXPECT_EQ(&copy.FixedFieldAt(0), &copy.width());
}

TEST(zRecordTest, EqualsIgnoresEntryOrderButNotValues) {
  zRecord a, b;
  a.SetInt32(kDura, 1);
  a.SetInt32(kMwid, 2);
  b.SetInt32(kMwid, 2);
  b.SetInt32(kDura, 1);
  EXPECT_TRUE(a.Equals(b));
  b.SetInt32(kDura, 1, 2);
  EXPECT_FALSE(a.Equals(b));
  b.SetInt32(kDura, 1);
  b.SetInt32(kVidI, 0);
  EXPECT_FALSE(a.Equals(b));
  EXPECT_FALSE(b.Equals(a));
}

// ---- string keys -----------------------------------------------------------

TEST(zRecordKeyTest, StringKeysAreStableAndDistinctFromFourCharacterCodes) {
  const zKey a = zRecord::KeyForString("input_channel_selection");
  const zKey b = zRecord::KeyForString("input_channel_selection");
  const zKey c = zRecord::KeyForString("output_channel_selection");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_TRUE(zRecord::IsStringKey(a));
  EXPECT_FALSE(zRecord::IsStringKey(kDura));
  EXPECT_STREQ(zRecord::StringForKey(a), "input_channel_selection");
  EXPECT_EQ(zRecord::StringForKey(kDura), nullptr);
  EXPECT_EQ(zRecord::StringForKey((1ull << 63) | 0xffffffffull), nullptr);
  EXPECT_EQ(zRecord::KeyForString(nullptr), 0u);
  EXPECT_EQ(zRecord::KeyForString(""), 0u);
}

TEST(zRecordKeyTest, StringKeyedValuesShareTheNumericKeySpace) {
  zRecord record;
  ASSERT_TRUE(record.SetInt32("input_channel_selection", 3));
  ASSERT_TRUE(record.SetBool("channel_mute_flag", true));
  ASSERT_TRUE(record.SetFloat("channel_gain_value", 0.5f));
  ASSERT_TRUE(record.SetInt64("channel_offset", -2));
  ASSERT_TRUE(record.SetUInt64("channel_mask_bits", 3));
  EXPECT_EQ(record.AsInt32("input_channel_selection", 0), 3);
  EXPECT_EQ(record.AsInt32(zRecord::KeyForString("input_channel_selection"), 0), 3);
  EXPECT_TRUE(record.AsBool(zRecord::KeyForString("channel_mute_flag"), false));
  EXPECT_EQ(record.AsFloat(zRecord::KeyForString("channel_gain_value"), 0), 0.5f);
  EXPECT_EQ(record.AsInt64(zRecord::KeyForString("channel_offset"), 0), -2);
  EXPECT_EQ(record.AsUInt64(zRecord::KeyForString("channel_mask_bits"), 0), 3u);
  EXPECT_EQ(record.AsInt32("never_interned_key_name_xyz", -7), -7);
  EXPECT_EQ(record.Count(), 5);
}

TEST(zRecordKeyTest, KnownStringKeysCostNoAllocation) {
  zRecord record;
  ASSERT_TRUE(record.SetInt32("a_rather_long_string_key_name", 1));
  AllocationCounter counter;
  EXPECT_EQ(zRecord::KeyForString("a_rather_long_string_key_name"), zRecord::KeyForString("a_rather_long_string_key_name"));
  ASSERT_TRUE(record.SetInt32("a_rather_long_string_key_name", 2));
  EXPECT_EQ(record.AsInt32("a_rather_long_string_key_name", 0), 2);
  EXPECT_EQ(record.AsInt32("a_string_key_that_nobody_interned", 0), 0);
  EXPECT_EQ(counter.Allocations(), 0);
}

TEST(zRecordKeyTest, InterningFromSeveralThreadsAgreesOnIds) {
  constexpr int kThreads = 4;
  constexpr int kNames = 200;
  std::vector<std::vector<zKey>> ids(kThreads, std::vector<zKey>(kNames));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &ids] {
      // Each thread walks the names in its own order so that first uses race.
      for (int i = 0; i < kNames; ++i) {
        const int n = (t % 2 == 0) ? i : kNames - 1 - i;
        const std::string name = "concurrent_key_" + std::to_string(n);
        ids[t][n] = zRecord::KeyForString(name.c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<zKey> distinct;
  for (int n = 0; n < kNames; ++n) {
    for (int t = 1; t < kThreads; ++t) ASSERT_EQ(ids[t][n], ids[0][n]) << "name " << n;
    ASSERT_TRUE(zRecord::IsStringKey(ids[0][n]));
    EXPECT_EQ(std::string(zRecord::StringForKey(ids[0][n])), "concurrent_key_" + std::to_string(n));
    distinct.insert(ids[0][n]);
  }
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kNames));
}

}  // namespace
