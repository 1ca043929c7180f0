#include "vesk/veMediaRecord.h"

#include <cstdint>

#include "vesk/veAudioFormat.h"
#include "vesk/veRasterType.h"

namespace {

// Channel counts a record can describe: BytesForSamples takes them as 8 bits.
constexpr int32_t kMaxChannels = 255;
constexpr int64_t kBitsPerByte = 8;

// Narrows a non-negative 64-bit size; 0 (unusable) above INT32_MAX.
int32_t SizeOrZero(int64_t size) {
  return size < 0 || size > INT32_MAX ? 0 : static_cast<int32_t>(size);
}

}  // namespace

veMediaRecord::veMediaRecord() { AttachFields(); }

veMediaRecord::veMediaRecord(veMediaType type) {
  AttachFields();
  fields_[kTypeField].SetInt32(static_cast<int32_t>(type));
}

veMediaRecord::veMediaRecord(const veMediaRecord& other) : zRecord(other) {
  AttachFields();
  // zVariable's copy is a full one: owned values are duplicated, and the new
  // record takes the source's flag bits, as a fresh copy should.
  for (int i = 0; i < kFixedFieldCount; ++i) fields_[i] = other.fields_[i];
}

veMediaRecord& veMediaRecord::operator=(const veMediaRecord& other) {
  if (this == &other) return *this;
  // Keyed entries only: the fixed fields follow their own rule below. A
  // failure here (memory short) leaves the entries partly copied; the
  // assignment has no way to report it and the record stays consistent.
  (void)zRecord::Copy(other, true, true, {});
  for (int i = 0; i < kFixedFieldCount; ++i) {
    zVariable& destination = fields_[i];
    const zVariable& source = other.fields_[i];
    if (destination.Tag() == kzTypeOwned || source.Tag() == kzTypeOwned) {
      if (!destination.full_copy(source.type, source)) {
        // Out of memory: an empty field reads 0, which is better than a stale
        // value passing for the source's.
        destination.Clear();
      }
    } else {
      // Plain values: no allocation, so a same-shape copy costs nothing.
      destination.type = static_cast<uint8_t>((destination.type & zVariable::kFlagBit) |
                                              (source.type & zVariable::kTagMask));
      destination.flags = source.flags;
      destination.value = source.value;
    }
    destination.key = source.key;
  }
  return *this;
}

veMediaRecord::~veMediaRecord() {
  // The fields die before zRecord's destructor runs; leave it nothing to see.
  AttachFixedFields(nullptr, 0);
}

void veMediaRecord::AttachFields() {
  AttachFixedFields(fields_, static_cast<uint32_t>(kFixedFieldCount));
}

void veMediaRecord::Write(FixedField index, int32_t value) {
  zVariable& field = fields_[index];
  variable_changing(field);
  // SetInt32 frees owned bytes and keeps the slot's key and flag bit; the
  // value's flags stay as they were.
  field.SetInt32(value, field.flags);
}

int32_t veMediaRecord::CalculateBufferSize(int32_t count) const {
  if (count <= 0) return 0;
  const veMediaType type = MediaType();
  if (type == veMediaTypeVideo) {
    const uint32_t rasterType = RasterType();
    const int32_t active = veRasterType::ActiveBytesPerRow(Width(), rasterType);
    const int32_t rows = veRasterType::RowCount(Height(), rasterType);
    if (active < 1 || rows < 1) return 0;
    const int32_t stored = BytesPerRow();
    // A stored row distance shorter than the pixels of a row would make rows
    // overlap; such a record does not describe a usable buffer.
    if (stored < 0 || (stored > 0 && stored < active)) return 0;
    const int64_t bytesPerRow = stored == 0 ? active : stored;
    // Each factor is below 2^31; check after every product so none exceeds
    // 62 bits.
    const int64_t frame = bytesPerRow * rows;
    if (frame > INT32_MAX) return 0;
    return SizeOrZero(frame * count);
  }
  if (type == veMediaTypeAudio) {
    const int32_t channels = Channels();
    if (channels < 1 || channels > kMaxChannels) return 0;
    const uint32_t format = AudioFormat();
    if (format != 0) {
      return SizeOrZero(veAudioFormat::BytesForSamples(format, static_cast<uint8_t>(channels),
                                                       static_cast<uint32_t>(count)));
    }
    const int32_t bits = BitsPerSample();
    if (bits < 1) return 0;
    const int64_t bytesPerSample = (static_cast<int64_t>(bits) + kBitsPerByte - 1) / kBitsPerByte;
    const int64_t frame = bytesPerSample * channels;
    if (frame > INT32_MAX) return 0;
    return SizeOrZero(frame * count);
  }
  return 0;
}

void veMediaRecord::SetBytesPerRowBasedOnFormat() {
  const int32_t bytesPerRow = veRasterType::BytesPerRow(Width(), RasterType(), false);
  SetBytesPerRow(bytesPerRow > 0 ? bytesPerRow : 0);
}
