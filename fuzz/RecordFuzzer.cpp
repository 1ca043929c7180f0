// Runs arbitrary sequences of record operations (typed setters, owned text,
// removal, getters with their conversions, zRecord::Copy in its four modes
// with and without a copying factory, veMediaRecord copies and assignments,
// self-copies, the media record's accessors) over two media records and two
// plain records, and compares every record after every step with a model: a
// map from key to (tag, flags, value bits, owned bytes) per record, plus the
// thirteen fixed fields of the media records. Equals must agree with the
// models, and every getter must give the documented saturating conversion.
#include <fuzzer/FuzzedDataProvider.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "tolm/zRecord.h"
#include "vesk/veMediaRecord.h"
#include "vesk/veRasterType.h"

namespace {

constexpr int kMaxOperations = 200;
constexpr int kRecords = 4;  // 0 and 1 are media records, 2 and 3 plain records

constexpr zKey kFixedKeys[veMediaRecord::kFixedFieldCount] = {
    veKeyType,          veKeyWidth,         veKeyHeight,          veKeyRasterType,    veKeyFixedField5,
    veKeyFixedField6,   veKeyFixedField7,   veKeyBytesPerRow,     veKeyAudioFormat,   veKeyBitsPerSample,
    veKeyChannelBuffers, veKeyChannels,     veKeySampleRate};

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
    if (!media) return -1;
    for (int i = 0; i < veMediaRecord::kFixedFieldCount; ++i) {
      if (kFixedKeys[i] == key) return i;
    }
    return -1;
  }
  Value* Slot(zKey key) {
    const int i = FixedIndex(key);
    if (i >= 0) return &fixed[i];
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : &it->second;
  }
  Value& SlotForWrite(zKey key) {
    const int i = FixedIndex(key);
    return i >= 0 ? fixed[i] : entries[key];
  }
  bool operator==(const RecordModel&) const = default;
};

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

Value ValueOf(const zVariable& variable) {
  Value v;
  v.tag = variable.Tag();
  v.flags = variable.flags;
  switch (v.tag) {
    case kzTypeBool: v.bits = variable.value.b ? 1 : 0; break;
    case kzTypeInt32: v.bits = Bits(variable.value.i32); break;
    case kzTypeInt64: v.bits = Bits(variable.value.i64); break;
    case kzTypeUInt64: v.bits = variable.value.u64; break;
    case kzTypeFloat: v.bits = Bits(variable.value.f); break;
    case kzTypeDouble: v.bits = Bits(variable.value.d); break;
    case kzTypeOwned: v.owned.assign(variable.OwnedData(), variable.OwnedSize()); break;
    default: break;
  }
  return v;
}

// The documented conversions, written out from their rules.
double ModelDouble(const Value& v, double def) {
  switch (v.tag) {
    case kzTypeBool: return v.bits ? 1.0 : 0.0;
    case kzTypeInt32: return FromBits<int32_t>(v.bits);
    case kzTypeInt64: return static_cast<double>(FromBits<int64_t>(v.bits));
    case kzTypeUInt64: return static_cast<double>(v.bits);
    case kzTypeFloat: return FromBits<float>(v.bits);
    case kzTypeDouble: return FromBits<double>(v.bits);
    default: return def;
  }
}
bool IsFloating(const Value& v) { return v.tag == kzTypeFloat || v.tag == kzTypeDouble; }

int64_t ModelInt64(const Value& v, int64_t def) {
  switch (v.tag) {
    case kzTypeBool: return v.bits ? 1 : 0;
    case kzTypeInt32: return FromBits<int32_t>(v.bits);
    case kzTypeInt64: return FromBits<int64_t>(v.bits);
    case kzTypeUInt64: return v.bits > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(v.bits);
    case kzTypeFloat:
    case kzTypeDouble: {
      const double d = ModelDouble(v, 0);
      if (std::isnan(d)) return def;
      if (d >= 9223372036854775808.0) return INT64_MAX;
      if (d < -9223372036854775808.0) return INT64_MIN;
      return static_cast<int64_t>(d);
    }
    default: return def;
  }
}
int32_t ModelInt32(const Value& v, int32_t def) {
  if (v.tag == kzTypeNone || v.tag == kzTypeOwned) return def;
  if (IsFloating(v) && std::isnan(ModelDouble(v, 0))) return def;
  const int64_t wide = ModelInt64(v, 0);
  return wide > INT32_MAX ? INT32_MAX : wide < INT32_MIN ? INT32_MIN : int32_t(wide);
}
uint64_t ModelUInt64(const Value& v, uint64_t def) {
  switch (v.tag) {
    case kzTypeBool: return v.bits ? 1 : 0;
    case kzTypeInt32: return FromBits<int32_t>(v.bits) < 0 ? 0 : uint64_t(FromBits<int32_t>(v.bits));
    case kzTypeInt64: return FromBits<int64_t>(v.bits) < 0 ? 0 : uint64_t(FromBits<int64_t>(v.bits));
    case kzTypeUInt64: return v.bits;
    case kzTypeFloat:
    case kzTypeDouble: {
      const double d = ModelDouble(v, 0);
      if (std::isnan(d)) return def;
      if (d <= 0) return 0;
      if (d >= 18446744073709551616.0) return UINT64_MAX;
      return static_cast<uint64_t>(d);
    }
    default: return def;
  }
}
bool ModelBool(const Value& v, bool def) {
  if (v.tag == kzTypeNone || v.tag == kzTypeOwned) return def;
  if (IsFloating(v)) {
    const double d = ModelDouble(v, 0);
    return std::isnan(d) ? def : d != 0.0;
  }
  return v.bits != 0;
}
float ModelFloat(const Value& v, float def) {
  if (v.tag == kzTypeFloat) return FromBits<float>(v.bits);
  if (v.tag == kzTypeNone || v.tag == kzTypeOwned) return def;
  const double d = ModelDouble(v, def);
  if (std::isfinite(d) && d > FLT_MAX) return FLT_MAX;
  if (std::isfinite(d) && d < -FLT_MAX) return -FLT_MAX;
  return static_cast<float>(d);
}
bool SameFloat(double a, double b) { return (std::isnan(a) && std::isnan(b)) || Bits(a) == Bits(b); }

void CheckRecord(const zRecord& record, const RecordModel& model, int index, int step) {
  FUZZ_CHECK(record.FixedFieldCount() == (model.media ? veMediaRecord::kFixedFieldCount : 0), "step %d", step);
  for (int i = 0; i < record.FixedFieldCount(); ++i) {
    FUZZ_CHECK(record.FixedFieldAt(i).key == kFixedKeys[i], "step %d: record %d fixed field %d lost its key", step,
               index, i);
    FUZZ_CHECK(ValueOf(record.FixedFieldAt(i)) == model.fixed[i], "step %d: record %d fixed field %d (tag %d, model %d)",
               step, index, i, record.FixedFieldAt(i).Tag(), model.fixed[i].tag);
  }
  FUZZ_CHECK(record.Count() == int32_t(model.entries.size()), "step %d: record %d has %d entries, model %zu", step,
             index, record.Count(), model.entries.size());
  for (const auto& [key, value] : model.entries) {
    const zVariable* found = record.Find(key);
    FUZZ_CHECK(found && found->key == key, "step %d: record %d lost key %llx", step, index, key);
    FUZZ_CHECK(ValueOf(*found) == value, "step %d: record %d key %llx (tag %d, model %d)", step, index, key,
               found->Tag(), value.tag);
  }
}

void CheckGetters(const zRecord& record, RecordModel& model, zKey key, int step) {
  static const Value kMissing;
  const Value* slot = model.Slot(key);
  const Value& v = slot ? *slot : kMissing;
  FUZZ_CHECK(record.Has(key) == (v.tag != kzTypeNone), "step %d: Has", step);
  FUZZ_CHECK(record.AsInt32(key, -5) == ModelInt32(v, -5), "step %d: AsInt32 %d, model %d", step,
             record.AsInt32(key, -5), ModelInt32(v, -5));
  FUZZ_CHECK(record.AsInt64(key, -6) == ModelInt64(v, -6), "step %d: AsInt64", step);
  FUZZ_CHECK(record.AsUInt64(key, 7) == ModelUInt64(v, 7), "step %d: AsUInt64", step);
  FUZZ_CHECK(record.AsBool(key, true) == ModelBool(v, true), "step %d: AsBool", step);
  FUZZ_CHECK(SameFloat(record.AsFloat(key, 0.25f), ModelFloat(v, 0.25f)), "step %d: AsFloat", step);
  FUZZ_CHECK(SameFloat(record.AsDouble(key, 0.5), ModelDouble(v, 0.5)), "step %d: AsDouble", step);
  const char* text = record.AsText(key);
  FUZZ_CHECK((text != nullptr) == (v.tag == kzTypeOwned), "step %d: AsText", step);
  if (text) FUZZ_CHECK(std::memcmp(text, v.owned.data(), v.owned.size()) == 0 && text[v.owned.size()] == 0,
                       "step %d: text", step);
}

zKey PickKey(FuzzedDataProvider& input) {
  static const zKey kStringKeys[] = {zRecord::KeyForString("input_channel_selection"), zRecord::KeyForString("k1"),
                                     zRecord::KeyForString("a longer key than fifteen bytes")};
  static constexpr zKey kOtherKeys[] = {veKeyTimeScale, veKeyDuration, veKeyVideoIsInterlaced, veKeyDisplayWidth, 0};
  switch (input.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
    case 1:
    case 2: return kFixedKeys[input.ConsumeIntegralInRange<int>(0, veMediaRecord::kFixedFieldCount - 1)];
    case 3: return kStringKeys[input.ConsumeIntegralInRange<int>(0, 2)];
    case 4: return input.ConsumeIntegral<zKey>();
    default: return kOtherKeys[input.ConsumeIntegralInRange<int>(0, 4)];
  }
}

// zRecord::Copy as documented, on the models.
void ModelCopy(RecordModel& destination, const RecordModel& source, bool fullCopy, bool keyedOnly) {
  if (&destination == &source) return;
  RecordModel result = destination;
  if (!keyedOnly && destination.media && source.media) {
    for (int i = 0; i < veMediaRecord::kFixedFieldCount; ++i) {
      const Value& theirs = source.fixed[i];
      result.fixed[i] = (theirs.tag == kzTypeOwned && !fullCopy) ? Value{} : theirs;
    }
  }
  result.entries.clear();
  for (const auto& [key, value] : source.entries) {
    if (value.tag == kzTypeOwned && !fullCopy) continue;
    const int fixedIndex = destination.FixedIndex(key);
    if (fixedIndex >= 0) {
      if (!keyedOnly) result.fixed[fixedIndex] = value;
      continue;
    }
    result.entries[key] = value;
  }
  destination = result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::unique_ptr<veMediaRecord> media[2] = {std::make_unique<veMediaRecord>(),
                                              std::make_unique<veMediaRecord>(veMediaTypeVideo)};
  std::unique_ptr<zRecord> plain[2] = {std::make_unique<zRecord>(), std::make_unique<zRecord>()};
  auto record = [&](int i) -> zRecord& { return i < 2 ? static_cast<zRecord&>(*media[i]) : *plain[i - 2]; };
  RecordModel models[kRecords];
  models[0].media = models[1].media = true;
  models[1].fixed[0] = Value{kzTypeInt32, 0, Bits(int32_t(veMediaTypeVideo)), {}};

  for (int step = 0; step < kMaxOperations && input.remaining_bytes() > 0; ++step) {
    const int target = input.ConsumeIntegralInRange<int>(0, kRecords - 1);
    zRecord& r = record(target);
    RecordModel& m = models[target];
    const zKey key = PickKey(input);
    const char flags = input.ConsumeIntegral<char>();
    switch (input.ConsumeIntegralInRange<int>(0, 14)) {
      case 0: {
        const int32_t v = input.ConsumeIntegral<int32_t>();
        FUZZ_CHECK(r.SetInt32(key, v, flags), "step %d", step);
        m.SlotForWrite(key) = Value{kzTypeInt32, flags, Bits(v), {}};
        break;
      }
      case 1: {
        const int64_t v = input.ConsumeIntegral<int64_t>();
        FUZZ_CHECK(r.SetInt64(key, v, flags), "step %d", step);
        m.SlotForWrite(key) = Value{kzTypeInt64, flags, Bits(v), {}};
        break;
      }
      case 2: {
        const uint64_t v = input.ConsumeIntegral<uint64_t>();
        FUZZ_CHECK(r.SetUInt64(key, v, flags), "step %d", step);
        m.SlotForWrite(key) = Value{kzTypeUInt64, flags, v, {}};
        break;
      }
      case 3: {
        const bool v = input.ConsumeBool();
        FUZZ_CHECK(r.SetBool(key, v, flags), "step %d", step);
        m.SlotForWrite(key) = Value{kzTypeBool, flags, v ? 1u : 0u, {}};
        break;
      }
      case 4: {  // raw bit patterns, so NaNs, infinities and denormals come up
        const uint32_t raw = input.ConsumeIntegral<uint32_t>();
        FUZZ_CHECK(r.SetFloat(key, FromBits<float>(raw), flags), "step %d", step);
        m.SlotForWrite(key) = Value{kzTypeFloat, flags, raw, {}};
        break;
      }
      case 5: {
        const uint64_t raw = input.ConsumeIntegral<uint64_t>();
        FUZZ_CHECK(r.SetDouble(key, FromBits<double>(raw), flags), "step %d", step);
        m.SlotForWrite(key) = Value{kzTypeDouble, flags, raw, {}};
        break;
      }
      case 6: {  // owned text; a null text changes nothing
        if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
          FUZZ_CHECK(!r.SetText(key, nullptr, flags), "step %d: null text accepted", step);
          break;
        }
        const std::string text = input.ConsumeRandomLengthString(64);
        FUZZ_CHECK(r.SetText(key, text.c_str(), flags), "step %d", step);
        m.SlotForWrite(key) = Value{kzTypeOwned, flags, 0, std::string(text.c_str())};
        break;
      }
      case 7: {  // removal: an entry goes, a fixed field is cleared
        r.RemoveID(key);
        const int fixedIndex = m.FixedIndex(key);
        if (fixedIndex >= 0) {
          m.fixed[fixedIndex] = Value{};
        } else {
          m.entries.erase(key);
        }
        break;
      }
      case 8:
      case 9: {
        const int from = input.ConsumeIntegralInRange<int>(0, kRecords - 1);
        const bool fullCopy = input.ConsumeBool();
        const bool keyedOnly = input.ConsumeBool();
        zRecordFactory factory;
        int factoryCalls = 0;
        if (input.ConsumeBool()) {
          factory = [&factoryCalls](zVariable& destination, const zVariable& source) {
            ++factoryCalls;
            return destination.full_copy(source.type, source);
          };
        }
        FUZZ_CHECK(r.Copy(record(from), fullCopy, keyedOnly, factory), "step %d: Copy reported a failure", step);
        if (!fullCopy) FUZZ_CHECK(factoryCalls == 0, "step %d: the factory runs only for full copies", step);
        ModelCopy(m, models[from], fullCopy, keyedOnly);
        break;
      }
      case 10: {  // media record copy construction and assignment, self-assignment included
        const int from = input.ConsumeIntegralInRange<int>(0, 1);
        const int to = input.ConsumeIntegralInRange<int>(0, 1);
        if (input.ConsumeBool()) {
          auto copy = std::make_unique<veMediaRecord>(*media[from]);
          FUZZ_CHECK(copy->Equals(*media[from]), "step %d: a copy differs from its source", step);
          media[to] = std::move(copy);
        } else {
          *media[to] = *media[from];
        }
        models[to] = models[from];
        break;
      }
      case 11: {  // plain record copy construction and assignment
        const int from = input.ConsumeIntegralInRange<int>(0, kRecords - 1);
        const int to = input.ConsumeIntegralInRange<int>(0, 1);
        RecordModel copied;
        copied.entries = models[from].entries;
        if (input.ConsumeBool()) {
          plain[to] = std::make_unique<zRecord>(record(from));
        } else {
          *plain[to] = record(from);
        }
        models[2 + to] = copied;
        break;
      }
      case 12: {  // the media record's own accessors and size helpers
        veMediaRecord& mr = *media[input.ConsumeIntegralInRange<int>(0, 1)];
        RecordModel& mm = &mr == media[0].get() ? models[0] : models[1];
        const int32_t v = input.ConsumeIntegral<int32_t>();
        switch (input.ConsumeIntegralInRange<int>(0, 4)) {
          case 0: mr.SetWidth(v); mm.fixed[1] = Value{kzTypeInt32, mm.fixed[1].flags, Bits(v), {}}; break;
          case 1: mr.SetRasterType(uint32_t(v)); mm.fixed[3] = Value{kzTypeInt32, mm.fixed[3].flags, Bits(v), {}}; break;
          case 2: mr.SetChannels(v); mm.fixed[11] = Value{kzTypeInt32, mm.fixed[11].flags, Bits(v), {}}; break;
          case 3: {
            const int32_t tight = veRasterType::BytesPerRow(mr.Width(), mr.RasterType(), false);
            mr.SetBytesPerRowBasedOnFormat();
            const int32_t expected = tight < 0 ? 0 : tight;
            mm.fixed[7] = Value{kzTypeInt32, mm.fixed[7].flags, Bits(expected), {}};
            break;
          }
          default:
            FUZZ_CHECK(mr.CalculateBufferSize(v) >= 0, "step %d: negative buffer size", step);
            break;
        }
        FUZZ_CHECK(mr.Width() == ModelInt32(mm.fixed[1], 0) && mr.RasterType() == uint32_t(ModelInt32(mm.fixed[3], 0)) &&
                       mr.Channels() == ModelInt32(mm.fixed[11], 0) && mr.SampleRate() == ModelInt32(mm.fixed[12], 0),
                   "step %d: fixed field accessors", step);
        break;
      }
      case 13: {  // string keys: null and empty keys change nothing
        const char* name = input.ConsumeBool() ? nullptr : "";
        FUZZ_CHECK(!r.SetInt32(name, 1, flags) && !r.SetBool(name, true, flags), "step %d", step);
        FUZZ_CHECK(r.AsInt32(name, 9) == 9 && r.AsInt32("never interned by anyone", 9) == 9, "step %d", step);
        const zKey id = zRecord::KeyForString("k1");
        FUZZ_CHECK(zRecord::IsStringKey(id) && std::strcmp(zRecord::StringForKey(id), "k1") == 0, "step %d", step);
        break;
      }
      default:
        CheckGetters(r, m, key, step);
        break;
    }
    for (int i = 0; i < kRecords; ++i) CheckRecord(record(i), models[i], i, step);
    // Equals agrees with the models for records of the same kind.
    const int a = input.ConsumeIntegralInRange<int>(0, kRecords - 1);
    const int b = input.ConsumeIntegralInRange<int>(0, kRecords - 1);
    FUZZ_CHECK(record(a).Equals(record(b)) == (models[a] == models[b]), "step %d: Equals(%d, %d)", step, a, b);
  }
  return 0;
}
