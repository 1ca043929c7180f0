// Drives kaPluginRingBuffer of a small capacity with an arbitrary sequence of
// operations and compares every result, every byte read and the positions,
// count, wrap size and last-write time after each step with the byte-exact
// model that the gtest suite uses too (tests/support/RingBufferModel.h).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "plugins/kaPluginRingBuffer.h"
#include "support/RingBufferModel.h"
#include "tolm/zTime.h"

namespace {

constexpr uint32_t kMaxCapacity = 64;
constexpr int kMaxOperations = 256;

void CheckState(kaPluginRingBuffer& ring, const RingBufferModel& model, int step) {
  FUZZ_CHECK(ring.AvailableData() == model.count, "step %d: count %u, model %u", step, ring.AvailableData(),
             model.count);
  FUZZ_CHECK(ring.availableDataWithoutTakingLock() == model.count, "step %d", step);
  FUZZ_CHECK(ring.AvailableSpace() == model.wrap - model.count, "step %d: space %u", step, ring.AvailableSpace());
  FUZZ_CHECK(ring.CurrentReadPosition() == model.read, "step %d: read %u, model %u", step,
             ring.CurrentReadPosition(), model.read);
  FUZZ_CHECK(ring.CurrentWritePosition() == model.write, "step %d: write %u, model %u", step,
             ring.CurrentWritePosition(), model.write);
  FUZZ_CHECK(ring.WrapSize() == model.wrap, "step %d: wrap %u, model %u", step, ring.WrapSize(), model.wrap);
  FUZZ_CHECK(ring.LastWriteTime() == model.lastWrite, "step %d", step);
  FUZZ_CHECK(ring.Capacity() == model.capacity, "step %d", step);
}

// A distance around the interesting edges: small moves, moves around the
// count and the wrap size, and values beyond the 32-bit range.
long long PickDistance(FuzzedDataProvider& input, const RingBufferModel& model) {
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: return input.ConsumeIntegralInRange<long long>(-2LL * model.wrap - 2, 2LL * model.wrap + 2);
    case 1: return static_cast<long long>(model.count) + input.ConsumeIntegralInRange<int>(-2, 2);
    case 2: return static_cast<long long>(model.count) - model.wrap + input.ConsumeIntegralInRange<int>(-2, 2);
    case 3: return input.ConsumeIntegral<long long>();
    default:
      return input.ConsumeBool() ? static_cast<long long>(std::numeric_limits<int32_t>::min()) - 1
                                 : static_cast<long long>(std::numeric_limits<int32_t>::max()) + 1;
  }
}

uint32_t PickLength(FuzzedDataProvider& input, const RingBufferModel& model) {
  if (input.ConsumeIntegralInRange<int>(0, 15) == 0) return input.ConsumeIntegral<uint32_t>();
  return input.ConsumeIntegralInRange<uint32_t>(0, 2 * model.capacity + 2);
}

// A typed value read from the ring: only the leading bytes that the data
// covers change, the others keep the sentinel.
template <class T>
void CheckTypedRead(kaPluginRingBuffer& ring, RingBufferModel& model, int step) {
  T value;
  std::memset(&value, 0xA5, sizeof value);
  uint8_t expected[sizeof(T)];
  std::memset(expected, 0xA5, sizeof expected);
  model.ReadAndSeek(expected, sizeof(T));
  ring >> value;
  FUZZ_CHECK(std::memcmp(&value, expected, sizeof(T)) == 0, "step %d: typed read of %zu bytes", step, sizeof(T));
}

template <class T>
void TypedWrite(kaPluginRingBuffer& ring, RingBufferModel& model, FuzzedDataProvider& input, int64_t now) {
  const T value = input.ConsumeIntegral<T>();
  uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  model.Write(bytes, sizeof(T), now);
  ring << value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static zTestClock clock(1'000'000);
  FuzzedDataProvider input(data, size);
  const uint32_t capacity = input.ConsumeIntegralInRange<uint32_t>(1, kMaxCapacity);
  kaPluginRingBuffer ring(capacity, true);
  RingBufferModel model(capacity);
  CheckState(ring, model, -1);
  FUZZ_CHECK(ring.ElapseTimeSinceLastWrite() == -1, "a new ring was never written");

  std::vector<uint8_t> scratch;
  std::vector<uint8_t> expected;
  for (int step = 0; step < kMaxOperations && input.remaining_bytes() > 0; ++step) {
    clock.Advance(input.ConsumeIntegralInRange<int64_t>(0, 1000));
    const int64_t now = clock.Now();
    switch (input.ConsumeIntegralInRange<int>(0, 13)) {
      case 0: {  // Write of arbitrary bytes, possibly longer than the space
        const uint32_t length = std::min<uint32_t>(PickLength(input, model), 4 * kMaxCapacity);
        scratch.resize(length);
        for (auto& byte : scratch) byte = input.ConsumeIntegral<uint8_t>();
        const uint32_t want = model.Write(scratch.data(), length, now);
        const uint32_t got = ring.Write(scratch.data(), length);
        FUZZ_CHECK(got == want, "step %d: Write(%u) gave %u, model %u", step, length, got, want);
        break;
      }
      case 1: {  // Write from a null source
        const uint32_t length = PickLength(input, model);
        const uint32_t want = model.Write(nullptr, length, now);
        FUZZ_CHECK(ring.Write(nullptr, length) == want, "step %d: null Write(%u)", step, length);
        break;
      }
      case 2:
      case 3: {  // Read and ReadAndSeek, into a destination exactly as long as asked
        const bool consume = input.ConsumeBool();
        const uint32_t length = std::min<uint32_t>(PickLength(input, model), 4 * kMaxCapacity);
        scratch.assign(length, 0xEE);
        expected.assign(length, 0xEE);
        uint8_t* destination = length ? scratch.data() : nullptr;
        const uint32_t want = consume ? model.ReadAndSeek(length ? expected.data() : nullptr, length)
                                      : model.Read(length ? expected.data() : nullptr, length);
        const uint32_t got = consume ? ring.ReadAndSeek(destination, length) : ring.Read(destination, length);
        FUZZ_CHECK(got == want, "step %d: read of %u gave %u, model %u", step, length, got, want);
        FUZZ_CHECK(scratch == expected, "step %d: bytes read differ from the model", step);
        break;
      }
      case 4: {  // Read with a null destination
        const uint32_t length = PickLength(input, model);
        FUZZ_CHECK(ring.Read(nullptr, length) == 0, "step %d", step);
        FUZZ_CHECK(ring.ReadAndSeek(nullptr, length) == 0, "step %d", step);
        break;
      }
      case 5: {
        const long long distance = PickDistance(input, model);
        const bool want = model.SeekRelative(distance);
        FUZZ_CHECK(ring.SeekRelative(distance) == want, "step %d: SeekRelative(%lld)", step, distance);
        break;
      }
      case 6: {
        const uint32_t position = input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>()
                                                      : model.write + input.ConsumeIntegralInRange<uint32_t>(0, 3);
        model.Seek(position);
        ring.Seek(position);
        break;
      }
      case 7: {
        const uint32_t distance = input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>()
                                                      : input.ConsumeIntegralInRange<uint32_t>(0, model.wrap + 2);
        const bool want = model.SeekBackwards(distance);
        FUZZ_CHECK(ring.SeekBackwardsRelativeToWritePosition(distance) == want, "step %d: back %u", step,
                   distance);
        break;
      }
      case 8:
        model.MakeEmpty();
        ring.MakeEmpty();
        break;
      case 9: {
        const uint32_t wrap = input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>()
                                                  : input.ConsumeIntegralInRange<uint32_t>(0, capacity + 1);
        model.SetWrap(wrap);
        ring.SetWrapBufferSize(wrap);
        break;
      }
      case 10:  // typed writes
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
          case 0: TypedWrite<unsigned char>(ring, model, input, now); break;
          case 1: TypedWrite<short>(ring, model, input, now); break;
          case 2: TypedWrite<unsigned int>(ring, model, input, now); break;
          default: TypedWrite<long long>(ring, model, input, now); break;
        }
        break;
      case 11:  // typed reads
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
          case 0: CheckTypedRead<char>(ring, model, step); break;
          case 1: CheckTypedRead<unsigned short>(ring, model, step); break;
          case 2: CheckTypedRead<int>(ring, model, step); break;
          default: CheckTypedRead<unsigned long long>(ring, model, step); break;
        }
        break;
      case 12: {  // a string written without terminator
        const std::string text = input.ConsumeRandomLengthString(2 * kMaxCapacity);
        model.Write(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), now);
        ring << zString(text.data(), static_cast<int64_t>(text.size()));
        break;
      }
      default: {  // a string read up to the next zero byte or the end of the data
        const std::string want = model.ReadString();
        zString text("stale");
        ring >> text;
        FUZZ_CHECK(text.String() == want, "step %d: string read differs from the model", step);
        break;
      }
    }
    CheckState(ring, model, step);
    const long long elapsed = ring.ElapseTimeSinceLastWrite();
    FUZZ_CHECK(elapsed == (model.lastWrite == 0 ? -1 : now - model.lastWrite), "step %d: elapsed %lld", step,
               elapsed);
  }
  return 0;
}
