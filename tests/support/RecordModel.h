#pragma once
// A reference model of zRecord and veMediaRecord, and a script runner that
// applies a stream of record operations (typed setters, owned text, removal,
// getters with their conversions, zRecord::Copy in its four modes with and
// without a copying factory, copies and assignments, the media record's
// accessors) to two media records and two plain records and to their models,
// comparing every record with its model after every step.
//
// The record fuzzer feeds it libFuzzer's FuzzedDataProvider; the record tests
// feed it a SeededInput. `Input` needs ConsumeIntegral<T>(),
// ConsumeIntegralInRange<T>(lo, hi), ConsumeBool(),
// ConsumeRandomLengthString(n) and remaining_bytes().
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <utility>

#include "tolm/zRecord.h"
#include "vesk/veMediaRecord.h"
#include "vesk/veRasterType.h"

namespace recordmodel {

constexpr int kRecords = 4;  // 0 and 1 are media records, 2 and 3 plain records

constexpr zKey kFixedKeys[veMediaRecord::kFixedFieldCount] = {
    veKeyType,       veKeyWidth,        veKeyHeight,         veKeyRasterType,     veKeyFixedField5,
    veKeyFixedField6, veKeyFixedField7, veKeyBytesPerRow,    veKeyAudioFormat,    veKeyBitsPerSample,
    veKeyChannelBuffers, veKeyChannels, veKeySampleRate};

template <class T>
uint64_t Bits(T v) {
  uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof v);
  return bits;
}
template <class T>
T FromBits(uint64_t bits) {
  T v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

struct Value {
  uint8_t tag = kzTypeNone;
  char flags = 0;
  uint64_t bits = 0;  // the value's bytes, zero-extended; floats by bit pattern
  std::string owned;
  bool operator==(const Value&) const = default;
};

struct RecordModel {
  bool media = false;
  Value fixed[veMediaRecord::kFixedFieldCount];
  std::map<zKey, Value> entries;

  int FixedIndex(zKey key) const {
    const zKey* at = std::find(std::begin(kFixedKeys), std::end(kFixedKeys), key);
    return media && at != std::end(kFixedKeys) ? int(at - kFixedKeys) : -1;
  }
  const Value* Slot(zKey key) const {
    const auto it = entries.find(key);
    return FixedIndex(key) >= 0 ? &fixed[FixedIndex(key)] : it == entries.end() ? nullptr : &it->second;
  }
  Value& SlotForWrite(zKey key) { return FixedIndex(key) >= 0 ? fixed[FixedIndex(key)] : entries[key]; }
  bool operator==(const RecordModel&) const = default;
};

inline Value ValueOf(const zVariable& variable) {
  static constexpr size_t kSizes[] = {0, 1, 8, 8, 4, 8, 4};  // by tag: none, bool, int64, uint64, float, double, int32
  Value v{variable.Tag(), variable.flags, 0, {}};
  if (v.tag < std::size(kSizes)) std::memcpy(&v.bits, &variable.value, kSizes[v.tag]);
  if (v.tag == kzTypeOwned) v.owned.assign(variable.OwnedData(), variable.OwnedSize());
  return v;
}

// The getters' conversions, written out from their rules: `def` for nothing,
// owned bytes or a NaN; integers saturate at the target's limits (negative to
// 0 for the unsigned form) and floating values truncate toward zero; a float
// saturates at its finite limits.
template <class T>
T Convert(const Value& v, T def) {
  if (v.tag == kzTypeNone || v.tag == kzTypeOwned) return def;
  if constexpr (std::is_same_v<T, float>) {
    if (v.tag == kzTypeFloat) return FromBits<float>(v.bits);
    const double d = Convert<double>(v, def);
    return std::isfinite(d) ? static_cast<float>(std::fmax(-FLT_MAX, std::fmin(FLT_MAX, d))) : static_cast<float>(d);
  } else if constexpr (std::is_same_v<T, double>) {
    if (v.tag == kzTypeFloat) return FromBits<float>(v.bits);
    if (v.tag == kzTypeInt32) return FromBits<int32_t>(v.bits);
    if (v.tag == kzTypeInt64) return static_cast<double>(FromBits<int64_t>(v.bits));
    return v.tag == kzTypeDouble ? FromBits<double>(v.bits) : static_cast<double>(v.bits);  // or bool, uint64
  } else if (v.tag == kzTypeFloat || v.tag == kzTypeDouble) {
    const double d = Convert<double>(v, 0), hi = std::ldexp(1.0, std::numeric_limits<T>::digits);
    if (std::isnan(d) || std::is_same_v<T, bool>) return std::isnan(d) ? def : d != 0.0;
    if (d >= hi) return std::numeric_limits<T>::max();
    return d <= (std::is_signed_v<T> ? -hi : 0.0) ? std::numeric_limits<T>::min() : static_cast<T>(d);
  } else if constexpr (std::is_same_v<T, bool>) {
    return v.bits != 0;
  } else {
    using L = std::numeric_limits<T>;
    auto clamp = [](auto x) {
      return std::cmp_less(x, L::min()) ? L::min() : std::cmp_greater(x, L::max()) ? L::max() : T(x);
    };
    if (v.tag == kzTypeInt32) return clamp(FromBits<int32_t>(v.bits));
    return v.tag == kzTypeInt64 ? clamp(FromBits<int64_t>(v.bits)) : clamp(v.bits);
  }
}
inline bool SameFloat(double a, double b) { return (std::isnan(a) && std::isnan(b)) || Bits(a) == Bits(b); }

// A failed check returns the step and the condition; empty means passed.
#define RECORD_MODEL_CHECK(condition) \
  do {                                \
    if (!(condition)) return "step " + std::to_string(step) + ": " #condition; \
  } while (0)

inline std::string CheckRecord(const zRecord& record, const RecordModel& model, int step) {
  RECORD_MODEL_CHECK(record.FixedFieldCount() == (model.media ? veMediaRecord::kFixedFieldCount : 0));
  for (int i = 0; i < record.FixedFieldCount(); ++i) {
    const zVariable& field = record.FixedFieldAt(i);
    RECORD_MODEL_CHECK(field.key == kFixedKeys[i] && ValueOf(field) == model.fixed[i]);
  }
  RECORD_MODEL_CHECK(record.Count() == int32_t(model.entries.size()));
  for (const auto& [key, value] : model.entries) {
    const zVariable* found = record.Find(key);
    RECORD_MODEL_CHECK(found && found->key == key && ValueOf(*found) == value);
  }
  return {};
}

inline std::string CheckGetters(const zRecord& record, const RecordModel& model, zKey key, int step) {
  static const Value kMissing;
  const Value& v = model.Slot(key) ? *model.Slot(key) : kMissing;
  RECORD_MODEL_CHECK(record.Has(key) == (v.tag != kzTypeNone));
  RECORD_MODEL_CHECK(record.AsInt32(key, -5) == Convert<int32_t>(v, -5) &&
                     record.AsInt64(key, -6) == Convert<int64_t>(v, -6) &&
                     record.AsUInt64(key, 7) == Convert<uint64_t>(v, 7));
  // Both defaults, so that a NaN read as a truth value cannot pass for the default.
  RECORD_MODEL_CHECK(record.AsBool(key, true) == Convert(v, true) && record.AsBool(key, false) == Convert(v, false));
  RECORD_MODEL_CHECK(SameFloat(record.AsFloat(key, 0.25f), Convert(v, 0.25f)) &&
                     SameFloat(record.AsDouble(key, 0.5), Convert(v, 0.5)));
  const char* text = record.AsText(key);
  const bool sameText = text && std::memcmp(text, v.owned.data(), v.owned.size()) == 0 && !text[v.owned.size()];
  RECORD_MODEL_CHECK(text ? v.tag == kzTypeOwned && sameText : v.tag != kzTypeOwned);
  return {};
}

template <class Input>
zKey PickKey(Input& input) {
  static const zKey kKeys[] = {zRecord::KeyForString("input_channel_selection"), zRecord::KeyForString("k1"),
      zRecord::KeyForString("a longer key than fifteen bytes"), veKeyTimeScale, veKeyDuration, veKeyDisplayWidth, 0};
  const int kind = input.template ConsumeIntegralInRange<int>(0, 3);
  if (kind == 0) return input.template ConsumeIntegral<zKey>();
  return kind == 1 ? kKeys[input.template ConsumeIntegralInRange<int>(0, int(std::size(kKeys)) - 1)]
                   : kFixedKeys[input.template ConsumeIntegralInRange<int>(0, veMediaRecord::kFixedFieldCount - 1)];
}

// zRecord::Copy on the models: fixed fields shared by both records (unless
// keyedOnly), then the keyed entries replaced; owned values only in a full
// copy; a source entry named like a destination fixed field lands in it.
inline void ModelCopy(RecordModel& destination, const RecordModel& source, bool fullCopy, bool keyedOnly) {
  if (&destination == &source) return;
  RecordModel result = destination;
  for (int i = 0; !keyedOnly && destination.media && source.media && i < veMediaRecord::kFixedFieldCount; ++i) {
    result.fixed[i] = source.fixed[i].tag == kzTypeOwned && !fullCopy ? Value{} : source.fixed[i];
  }
  result.entries.clear();
  for (const auto& [key, value] : source.entries) {
    if (value.tag == kzTypeOwned && !fullCopy) continue;
    if (destination.FixedIndex(key) < 0) result.entries[key] = value;
    else if (!keyedOnly) result.fixed[destination.FixedIndex(key)] = value;
  }
  destination = result;
}

// Runs up to `maxSteps` operations drawn from `input`; returns the first
// disagreement between a record and its model, or an empty string.
template <class Input>
std::string RunRecordScript(Input& input, int maxSteps) {
  std::unique_ptr<veMediaRecord> media[2] = {std::make_unique<veMediaRecord>(),
                                              std::make_unique<veMediaRecord>(veMediaTypeVideo)};
  std::unique_ptr<zRecord> plain[2] = {std::make_unique<zRecord>(), std::make_unique<zRecord>()};
  auto record = [&](int i) -> zRecord& { return i < 2 ? static_cast<zRecord&>(*media[i]) : *plain[i - 2]; };
  RecordModel models[kRecords];
  models[0].media = models[1].media = true;
  models[1].fixed[0] = Value{kzTypeInt32, 0, Bits(int32_t(veMediaTypeVideo)), {}};

  for (int step = 0; step < maxSteps && input.remaining_bytes() > 0; ++step) {
    const int target = input.template ConsumeIntegralInRange<int>(0, kRecords - 1);
    zRecord& r = record(target);
    RecordModel& m = models[target];
    const zKey key = PickKey(input);
    const char flags = input.template ConsumeIntegral<char>();
    const int from = input.template ConsumeIntegralInRange<int>(0, kRecords - 1);  // the source of copies
    // Raw bit patterns, so that NaNs, infinities and denormals come up.
    const uint32_t raw32 = input.template ConsumeIntegral<uint32_t>();
    const uint64_t raw64 = input.template ConsumeIntegral<uint64_t>();
    // A typed setter must succeed and leave exactly this value in the model's slot.
    auto set = [&](bool ok, uint8_t tag, uint64_t bits) {
      m.SlotForWrite(key) = Value{tag, flags, bits, {}};
      return ok;
    };
    bool ok = true;
    switch (input.template ConsumeIntegralInRange<int>(0, 10)) {
      case 0: ok = set(r.SetInt32(key, int32_t(raw32), flags), kzTypeInt32, raw32); break;
      case 1: ok = set(r.SetInt64(key, int64_t(raw64), flags), kzTypeInt64, raw64); break;
      case 2: ok = set(r.SetUInt64(key, raw64, flags), kzTypeUInt64, raw64); break;
      case 3: ok = set(r.SetBool(key, (raw32 & 1) != 0, flags), kzTypeBool, raw32 & 1); break;
      case 4: ok = set(r.SetFloat(key, FromBits<float>(raw32), flags), kzTypeFloat, raw32); break;
      case 5: ok = set(r.SetDouble(key, FromBits<double>(raw64), flags), kzTypeDouble, raw64); break;
      case 6: {  // owned text; a null text or a null or empty name changes nothing
        const std::string text = input.ConsumeRandomLengthString(64);
        ok = !r.SetText(key, nullptr, flags) && !r.SetInt32(nullptr, 1) && !r.SetBool("", true) &&
             r.SetText(key, text.c_str(), flags);
        m.SlotForWrite(key) = Value{kzTypeOwned, flags, 0, std::string(text.c_str())};
        break;
      }
      case 7:  // removal: an entry goes, a fixed field is cleared
        r.RemoveID(key);
        m.FixedIndex(key) >= 0 ? void(m.fixed[m.FixedIndex(key)] = Value{}) : void(m.entries.erase(key));
        break;
      case 8: {
        const bool fullCopy = input.ConsumeBool(), keyedOnly = input.ConsumeBool();
        zRecordFactory factory;
        int calls = 0;
        if (input.ConsumeBool()) {
          factory = [&calls](zVariable& to, const zVariable& source) {
            ++calls;
            return to.full_copy(source.type, source);
          };
        }
        ok = r.Copy(record(from), fullCopy, keyedOnly, factory) && (fullCopy || calls == 0);
        ModelCopy(m, models[from], fullCopy, keyedOnly);
        break;
      }
      case 9: {  // copy construction and assignment, self-assignment included; a plain copy drops fixed fields
        const int to = input.template ConsumeIntegralInRange<int>(0, 1);
        const bool construct = input.ConsumeBool();
        if (from < 2 && input.ConsumeBool()) {
          if (construct) media[to] = std::make_unique<veMediaRecord>(*media[from]);
          if (!construct) *media[to] = *media[from];
          ok = media[to]->Equals(*media[from]);
          models[to] = models[from];
          break;
        }
        if (construct) plain[to] = std::make_unique<zRecord>(record(from));
        if (!construct) *plain[to] = record(from);
        models[2 + to] = RecordModel{false, {}, models[from].entries};
        break;
      }
      default:  // only the checks below
        break;
    }
    RECORD_MODEL_CHECK(ok);  // a failed setter or copy, or a factory called for a partial copy
    // Records 0 to 3 may have been replaced: look the target up again.
    if (std::string failure = CheckGetters(record(target), models[target], key, step); !failure.empty()) return failure;
    for (int i = 0; i < kRecords; ++i) {
      if (std::string failure = CheckRecord(record(i), models[i], step); !failure.empty()) return failure;
    }
    // Equals agrees with the models.
    const int a = input.template ConsumeIntegralInRange<int>(0, kRecords - 1), b = (a + from) % kRecords;
    RECORD_MODEL_CHECK(record(a).Equals(record(b)) == (models[a] == models[b]));
  }
  return {};
}

// Script input from a seeded generator. A third of the numbers are edge
// values: integer limits, and the bit patterns of floats and doubles at the
// edges of the integer and float ranges, infinities and NaN.
class SeededInput {
 public:
  explicit SeededInput(uint64_t seed) : random_(seed) {}
  size_t remaining_bytes() const { return 1; }
  bool ConsumeBool() { return (random_() & 1) != 0; }
  std::string ConsumeRandomLengthString(size_t most) {
    return std::string(random_() % (most + 1), static_cast<char>('a' + random_() % 26));
  }
  template <class T>
  T ConsumeIntegralInRange(T low, T high) {
    return static_cast<T>(low + static_cast<T>(random_() % static_cast<uint64_t>(high - low + 1)));
  }
  template <class T>
  T ConsumeIntegral() {
    // Doubles: +-inf, NaN, +-2^63, 2^64, 2^31 - 1, 2^31, -2^31 - 1, 1e39 (beyond the float range);
    // floats: +-inf, NaN, +-2^63, 2^64, 2^31, -1.5.
    static constexpr uint64_t kEdges64[] = {
        0, 1, UINT64_MAX, INT64_MAX, uint64_t(INT64_MIN), uint64_t(int64_t(INT32_MIN)), 0x7ff0000000000000,
        0xfff0000000000000, 0x7ff8000000000000, 0x43e0000000000000, 0xc3e0000000000000, 0x43f0000000000000,
        0x41dfffffffc00000, 0x41e0000000000000, 0xc1e0000000200000, 0x48078287f49c4a1d};
    static constexpr uint32_t kEdges32[] = {0, 1, UINT32_MAX, INT32_MAX, uint32_t(INT32_MIN), 0x7f800000, 0xff800000,
        0x7fc00000, 0x5f000000, 0xdf000000, 0x5f800000, 0x4f000000, 0xbfc00000};
    if (sizeof(T) == 1 || random_() % 3 != 0) return static_cast<T>(random_());
    return sizeof(T) == 8 ? static_cast<T>(kEdges64[random_() % std::size(kEdges64)])
                          : static_cast<T>(kEdges32[random_() % std::size(kEdges32)]);
  }

 private:
  std::mt19937_64 random_;
};

}  // namespace recordmodel
