#pragma once
#include <cstdint>

#include "tolm/zFourCC.h"
#include "tolm/zRecord.h"
#include "tolm/zVariable.h"
#include "vesk/veMediaType.h"
#include "vesk/veTimeRange.h"
#include "vesk/veskExport.h"

// Keys of the media record.
inline constexpr zKey veKeyType = zFourCC("type");
inline constexpr zKey veKeyWidth = zFourCC("mwid");
inline constexpr zKey veKeyHeight = zFourCC("mhei");
inline constexpr zKey veKeyRasterType = zFourCC("mcol");
inline constexpr zKey veKeyFixedField5 = zFourCC("mfd5");
inline constexpr zKey veKeyFixedField6 = zFourCC("mfd6");
inline constexpr zKey veKeyFixedField7 = zFourCC("mfd7");
inline constexpr zKey veKeyBytesPerRow = zFourCC("mbpr");
inline constexpr zKey veKeyAudioFormat = zFourCC("mafo");
inline constexpr zKey veKeyBitsPerSample = zFourCC("mbps");
inline constexpr zKey veKeyChannelBuffers = zFourCC("mcbu");
inline constexpr zKey veKeyChannels = zFourCC("mcha");
inline constexpr zKey veKeySampleRate = zFourCC("msmr");
// Keyed entries (not fixed fields).
inline constexpr zKey veKeyTimeScale = zFourCC("tmsc");
inline constexpr zKey veKeyTime = zFourCC("mtim");
inline constexpr zKey veKeyDuration = zFourCC("dura");
inline constexpr zKey veKeyFramesPerSecond = zFourCC("mfps");
inline constexpr zKey veKeyVideoIsInterlaced = zFourCC("vidI");
inline constexpr zKey veKeyDisplayWidth = zFourCC("veSQ");
inline constexpr zKey veKeyDisplayHeight = zFourCC("veSH");

// Format description of audio or video: a zRecord followed by thirteen fixed
// fields, each carrying its own key. Fixed fields are read and written as
// 32-bit integers, by the accessors below or by key through zRecord; the other
// keys are ordinary record entries. Copying a record of the same shape into an
// existing one allocates nothing. The record owns its fixed fields and any
// owned value stored in them. Not thread-safe: its owner guards it.
class VESK_EXPORT veMediaRecord : public zRecord {
 public:
  static constexpr int kFixedFieldCount = 13;

  // Every fixed field empty (reads 0).
  veMediaRecord();
  // Media type set, every other fixed field empty.
  explicit veMediaRecord(veMediaType type);
  // Keyed entries and fixed fields copied, owned values included.
  veMediaRecord(const veMediaRecord& other);
  // zRecord::Copy(source, true, true, {}) for the keyed entries, then each
  // fixed field: full_copy when either side holds an owned value, else
  // type (keeping this side's flag bit), key and value (the value's flags
  // included). Self-assignment changes nothing. When memory runs short while
  // copying an owned value, that field is left empty.
  veMediaRecord& operator=(const veMediaRecord& other);
  ~veMediaRecord() override;

  // Fixed fields as 32-bit integers: the value itself for tag 6, else
  // AsInt32_full(0).
  veMediaType MediaType() const { return static_cast<veMediaType>(Read(kTypeField)); }
  int32_t Width() const { return Read(kWidthField); }
  int32_t Height() const { return Read(kHeightField); }
  uint32_t RasterType() const { return static_cast<uint32_t>(Read(kRasterTypeField)); }
  int32_t FixedField5() const { return Read(kFixedField5Field); }
  int32_t FixedField6() const { return Read(kFixedField6Field); }
  int32_t FixedField7() const { return Read(kFixedField7Field); }
  int32_t BytesPerRow() const { return Read(kBytesPerRowField); }
  uint32_t AudioFormat() const { return static_cast<uint32_t>(Read(kAudioFormatField)); }
  int32_t BitsPerSample() const { return Read(kBitsPerSampleField); }
  int32_t ChannelBuffers() const { return Read(kChannelBuffersField); }
  int32_t Channels() const { return Read(kChannelsField); }
  int32_t SampleRate() const { return Read(kSampleRateField); }

  // Each writes its fixed field as a 32-bit integer: variable_changing is
  // called first, then owned data is freed and the field gets tag 6 with its
  // flag bit kept, its own key and the value.
  void SetMediaType(veMediaType v) { Write(kTypeField, static_cast<int32_t>(v)); }
  void SetWidth(int32_t v) { Write(kWidthField, v); }
  void SetHeight(int32_t v) { Write(kHeightField, v); }
  void SetRasterType(uint32_t v) { Write(kRasterTypeField, static_cast<int32_t>(v)); }
  void SetBytesPerRow(int32_t v) { Write(kBytesPerRowField, v); }
  void SetAudioFormat(uint32_t v) { Write(kAudioFormatField, static_cast<int32_t>(v)); }
  void SetBitsPerSample(int32_t v) { Write(kBitsPerSampleField, v); }
  void SetChannelBuffers(int32_t v) { Write(kChannelBuffersField, v); }
  void SetChannels(int32_t v) { Write(kChannelsField, v); }
  void SetSampleRate(int32_t v) { Write(kSampleRateField, v); }

  // Writes a time range into the keyed entries (see veTimeRange::WriteTo).
  void SetTimeRange(const veTimeRange& range) { range.WriteTo(*this); }

  // Bytes of a buffer of this format holding `count` frames (1 for video).
  //  - Video: row count × bytes per row × `count`, where bytes per row is the
  //    stored `mbpr`, or the tight bytes per row of the raster type when
  //    `mbpr` is 0. A negative `mbpr`, or one smaller than the active bytes
  //    of a row, makes the format unusable.
  //  - Audio: veAudioFormat::BytesForSamples(`mafo`, channels, `count`), or,
  //    when `mafo` is 0, channels × whole bytes of `mbps` × `count`. Channels
  //    outside 1..255 make the format unusable.
  // Returns 0 when the media type is neither video nor audio, the format is
  // unusable, `count` is not positive or the size exceeds INT32_MAX. The
  // record is never changed.
  int32_t CalculateBufferSize(int32_t count) const;
  // Sets `mbpr` to veRasterType::BytesPerRow(width, raster type, false), or
  // to 0 when that is unusable (unknown raster type, bad width, overflow).
  void SetBytesPerRowBasedOnFormat();

 private:
  // Positions of the fixed fields, in the order the record lays them out.
  enum FixedField : int {
    kTypeField = 0,
    kWidthField,
    kHeightField,
    kRasterTypeField,
    kFixedField5Field,
    kFixedField6Field,
    kFixedField7Field,
    kBytesPerRowField,
    kAudioFormatField,
    kBitsPerSampleField,
    kChannelBuffersField,
    kChannelsField,
    kSampleRateField,
  };

  int32_t Read(FixedField index) const {
    const zVariable& field = fields_[index];
    return field.Tag() == kzTypeInt32 ? field.value.i32 : field.AsInt32_full(0);
  }
  void Write(FixedField index, int32_t value);
  void AttachFields();

  // The thirteen fixed fields, one array so that zRecord can walk them by
  // index. Each keeps its key for the life of the record.
  zVariable fields_[kFixedFieldCount] = {
      zVariable(veKeyType),          zVariable(veKeyWidth),         zVariable(veKeyHeight),
      zVariable(veKeyRasterType),    zVariable(veKeyFixedField5),   zVariable(veKeyFixedField6),
      zVariable(veKeyFixedField7),   zVariable(veKeyBytesPerRow),   zVariable(veKeyAudioFormat),
      zVariable(veKeyBitsPerSample), zVariable(veKeyChannelBuffers), zVariable(veKeyChannels),
      zVariable(veKeySampleRate)};
};
