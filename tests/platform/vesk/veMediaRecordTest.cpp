#include "vesk/veMediaRecord.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/AllocationCounter.h"
#include "vesk/veAudioFormat.h"
#include "vesk/veRasterType.h"

namespace {

// The fixed fields in the order the record lays them out.
const zKey kFixedKeys[veMediaRecord::kFixedFieldCount] = {
    veKeyType,         veKeyWidth,       veKeyHeight,        veKeyRasterType,
    veKeyFixedField5,  veKeyFixedField6, veKeyFixedField7,   veKeyBytesPerRow,
    veKeyAudioFormat,  veKeyBitsPerSample, veKeyChannelBuffers, veKeyChannels,
    veKeySampleRate};

// Records every variable that is about to change, with the value it had then.
class WatchedRecord : public veMediaRecord {
 public:
  using veMediaRecord::veMediaRecord;
  void variable_changing(zVariable& variable) override {
    changes.push_back({variable.key, variable.Tag(), variable.AsInt32_full(-1)});
  }
  struct Change {
    zKey key;
    uint8_t tag;
    int32_t before;
  };
  std::vector<Change> changes;
};

class veMediaRecordTest : public ::testing::Test {
 protected:
  static veMediaRecord Video(int32_t width, int32_t height, uint32_t rasterType) {
    veMediaRecord record(veMediaTypeVideo);
    record.SetWidth(width);
    record.SetHeight(height);
    record.SetRasterType(rasterType);
    return record;
  }
  static veMediaRecord Audio(uint32_t format, int32_t channels, int32_t bits) {
    veMediaRecord record(veMediaTypeAudio);
    record.SetAudioFormat(format);
    record.SetChannels(channels);
    record.SetBitsPerSample(bits);
    record.SetSampleRate(48000);
    record.SetChannelBuffers(1);
    return record;
  }
  static void SetFlagBit(veMediaRecord& record, zKey key) {
    zVariable* field = record.Find(key);
    ASSERT_NE(field, nullptr);
    field->type = static_cast<uint8_t>(field->type | zVariable::kFlagBit);
  }
  static bool HasFlagBit(const veMediaRecord& record, zKey key) {
    const zVariable* field = record.Find(key);
    return field != nullptr && (field->type & zVariable::kFlagBit) != 0;
  }
};

// ---- layout and defaults --------------------------------------------------

TEST_F(veMediaRecordTest, NewRecordHasThirteenEmptyFixedFieldsInOrder) {
  const veMediaRecord record;
  ASSERT_EQ(record.FixedFieldCount(), veMediaRecord::kFixedFieldCount);
  EXPECT_EQ(record.Count(), 0);
  for (int i = 0; i < veMediaRecord::kFixedFieldCount; ++i) {
    EXPECT_EQ(record.FixedFieldAt(i).key, kFixedKeys[i]) << i;
    EXPECT_TRUE(record.FixedFieldAt(i).IsEmpty()) << i;
    EXPECT_EQ(record.AsInt32(kFixedKeys[i], 0), 0) << i;
  }
  EXPECT_EQ(record.MediaType(), 0u);
  EXPECT_EQ(record.Width(), 0);
  EXPECT_EQ(record.Height(), 0);
  EXPECT_EQ(record.RasterType(), 0u);
  EXPECT_EQ(record.FixedField5(), 0);
  EXPECT_EQ(record.FixedField6(), 0);
  EXPECT_EQ(record.FixedField7(), 0);
  EXPECT_EQ(record.BytesPerRow(), 0);
  EXPECT_EQ(record.AudioFormat(), 0u);
  EXPECT_EQ(record.BitsPerSample(), 0);
  EXPECT_EQ(record.ChannelBuffers(), 0);
  EXPECT_EQ(record.Channels(), 0);
  EXPECT_EQ(record.SampleRate(), 0);
}

TEST_F(veMediaRecordTest, TypedConstructorSetsOnlyTheMediaType) {
  const veMediaRecord record(veMediaTypeVideo);
  EXPECT_EQ(record.MediaType(), veMediaTypeVideo);
  EXPECT_EQ(record.MediaType(), 0x7669646fu);
  EXPECT_EQ(record.FixedFieldAt(0).Tag(), kzTypeInt32);
  EXPECT_EQ(record.AsInt32(veKeyType, 0), static_cast<int32_t>(0x7669646f));
  for (int i = 1; i < veMediaRecord::kFixedFieldCount; ++i) EXPECT_TRUE(record.FixedFieldAt(i).IsEmpty());
  EXPECT_EQ(veMediaRecord(veMediaTypeAudio).MediaType(), 0x6175646fu);
}

// ---- accessors ------------------------------------------------------------

TEST_F(veMediaRecordTest, SettersStoreInt32sReadBackByAccessorAndByKey) {
  veMediaRecord record;
  record.SetMediaType(veMediaTypeAudio);
  record.SetWidth(1);
  record.SetHeight(-2);
  record.SetRasterType(veRasterType::kV210);
  record.SetBytesPerRow(INT32_MAX);
  record.SetAudioFormat(0xfedcba98u);  // codes above INT32_MAX survive the round trip
  record.SetBitsPerSample(24);
  record.SetChannelBuffers(1);
  record.SetChannels(6);
  record.SetSampleRate(44100);
  EXPECT_EQ(record.MediaType(), veMediaTypeAudio);
  EXPECT_EQ(record.Width(), 1);
  EXPECT_EQ(record.Height(), -2);
  EXPECT_EQ(record.RasterType(), veRasterType::kV210);
  EXPECT_EQ(record.BytesPerRow(), INT32_MAX);
  EXPECT_EQ(record.AudioFormat(), 0xfedcba98u);
  EXPECT_EQ(record.BitsPerSample(), 24);
  EXPECT_EQ(record.ChannelBuffers(), 1);
  EXPECT_EQ(record.Channels(), 6);
  EXPECT_EQ(record.SampleRate(), 44100);
  EXPECT_EQ(record.AsInt32(veKeyHeight, 0), -2);
  EXPECT_EQ(record.AsInt32(veKeySampleRate, 0), 44100);
  EXPECT_EQ(record.AsInt32(veKeyRasterType, 0), static_cast<int32_t>(veRasterType::kV210));
  // Fixed fields never become keyed entries, and none was written twice.
  EXPECT_EQ(record.Count(), 0);
  for (int i = 0; i < veMediaRecord::kFixedFieldCount; ++i) {
    EXPECT_EQ(record.FixedFieldAt(i).key, kFixedKeys[i]);
    if (i < 4 || i > 6) {
      EXPECT_EQ(record.FixedFieldAt(i).Tag(), kzTypeInt32) << i;
    }
  }
  EXPECT_TRUE(record.FixedFieldAt(4).IsEmpty());
}

TEST_F(veMediaRecordTest, FixedFieldsAreWritableThroughTheRecordKeys) {
  veMediaRecord record;
  ASSERT_TRUE(record.SetInt32(veKeyWidth, 1280));
  ASSERT_TRUE(record.SetInt32(veKeyFixedField6, 77));
  EXPECT_EQ(record.Width(), 1280);
  EXPECT_EQ(record.FixedField6(), 77);
  EXPECT_EQ(record.Count(), 0);
  // Values of other types are read through the variable's conversion.
  ASSERT_TRUE(record.SetInt64(veKeyHeight, 5000000000LL));
  EXPECT_EQ(record.Height(), INT32_MAX);
  ASSERT_TRUE(record.SetDouble(veKeyChannels, 2.75));
  EXPECT_EQ(record.Channels(), 2);
  ASSERT_TRUE(record.SetBool(veKeyChannelBuffers, true));
  EXPECT_EQ(record.ChannelBuffers(), 1);
  // Removing a fixed field empties it; it keeps its place and key.
  record.RemoveID(veKeyWidth);
  EXPECT_EQ(record.Width(), 0);
  EXPECT_EQ(record.FixedFieldCount(), veMediaRecord::kFixedFieldCount);
  EXPECT_EQ(record.FixedFieldAt(1).key, veKeyWidth);
}

TEST_F(veMediaRecordTest, SetterCallsVariableChangingBeforeTheChange) {
  WatchedRecord record;
  record.SetWidth(640);
  record.SetWidth(720);
  ASSERT_EQ(record.changes.size(), 2u);
  EXPECT_EQ(record.changes[0].key, veKeyWidth);
  EXPECT_EQ(record.changes[0].tag, kzTypeNone);
  EXPECT_EQ(record.changes[1].key, veKeyWidth);
  EXPECT_EQ(record.changes[1].before, 640);
  EXPECT_EQ(record.Width(), 720);
}

TEST_F(veMediaRecordTest, SetterKeepsTheFlagBitAndFreesOwnedText) {
  veMediaRecord record;
  SetFlagBit(record, veKeyWidth);
  record.SetWidth(32);
  EXPECT_TRUE(HasFlagBit(record, veKeyWidth));
  EXPECT_EQ(record.FixedFieldAt(1).Tag(), kzTypeInt32);
  EXPECT_EQ(record.Width(), 32);

  // An owned value reads as 0 and is freed by the next set (LeakSanitizer
  // reports it otherwise).
  ASSERT_TRUE(record.SetText(veKeyRasterType, "not a number"));
  EXPECT_STREQ(record.AsText(veKeyRasterType), "not a number");
  EXPECT_EQ(record.RasterType(), 0u);
  record.SetRasterType(veRasterType::kBGRA);
  EXPECT_EQ(record.FixedFieldAt(3).Tag(), kzTypeInt32);
  EXPECT_EQ(record.AsText(veKeyRasterType), nullptr);
  EXPECT_EQ(record.RasterType(), veRasterType::kBGRA);
  EXPECT_EQ(record.FixedFieldAt(3).key, veKeyRasterType);
}

// ---- copying --------------------------------------------------------------

TEST_F(veMediaRecordTest, CopyConstructorCopiesEverythingAndStaysIndependent) {
  veMediaRecord source = Video(1920, 1080, veRasterType::k2vuy);
  ASSERT_TRUE(source.SetFloat(veKeyFramesPerSecond, 29.97f));
  ASSERT_TRUE(source.SetText(veKeyFixedField5, "owned"));
  SetFlagBit(source, veKeyHeight);

  veMediaRecord copy(source);
  EXPECT_TRUE(copy.Equals(source));
  EXPECT_EQ(copy.FixedFieldCount(), veMediaRecord::kFixedFieldCount);
  EXPECT_EQ(copy.Width(), 1920);
  EXPECT_FLOAT_EQ(copy.AsFloat(veKeyFramesPerSecond, 0), 29.97f);
  EXPECT_TRUE(HasFlagBit(copy, veKeyHeight));
  ASSERT_NE(copy.AsText(veKeyFixedField5), nullptr);
  EXPECT_STREQ(copy.AsText(veKeyFixedField5), "owned");
  EXPECT_NE(copy.AsText(veKeyFixedField5), source.AsText(veKeyFixedField5));

  // The copy's fixed fields are its own: changing them leaves the source alone.
  copy.SetWidth(640);
  ASSERT_TRUE(copy.SetInt32(veKeyHeight, 480));
  ASSERT_TRUE(copy.SetFloat(veKeyFramesPerSecond, 25.0f));
  copy.RemoveID(veKeyFixedField5);
  EXPECT_EQ(source.Width(), 1920);
  EXPECT_EQ(source.Height(), 1080);
  EXPECT_FLOAT_EQ(source.AsFloat(veKeyFramesPerSecond, 0), 29.97f);
  EXPECT_STREQ(source.AsText(veKeyFixedField5), "owned");
  EXPECT_EQ(copy.Height(), 480);
}

TEST_F(veMediaRecordTest, AssignmentCopiesEverythingAndStaysIndependent) {
  const veMediaRecord source = Audio(veAudioFormat::kFl32, 2, 32);
  veMediaRecord target = Video(320, 240, veRasterType::kRGB);
  ASSERT_TRUE(target.SetBool(veKeyVideoIsInterlaced, true));
  target = source;
  EXPECT_TRUE(target.Equals(source));
  EXPECT_EQ(target.MediaType(), veMediaTypeAudio);
  EXPECT_EQ(target.Width(), 0);
  EXPECT_TRUE(target.FixedFieldAt(1).IsEmpty());
  EXPECT_EQ(target.AudioFormat(), veAudioFormat::kFl32);
  EXPECT_FALSE(target.Has(veKeyVideoIsInterlaced));
  for (int i = 0; i < veMediaRecord::kFixedFieldCount; ++i) EXPECT_EQ(target.FixedFieldAt(i).key, kFixedKeys[i]);

  target.SetChannels(1);
  EXPECT_EQ(source.Channels(), 2);
}

TEST_F(veMediaRecordTest, AssignmentKeepsTheDestinationFlagBit) {
  veMediaRecord flagged = Video(64, 64, veRasterType::kRGBA);
  SetFlagBit(flagged, veKeyWidth);
  veMediaRecord plain = Video(128, 96, veRasterType::kBGRA);
  SetFlagBit(plain, veKeyHeight);

  flagged = plain;
  EXPECT_EQ(flagged.Width(), 128);
  EXPECT_EQ(flagged.Height(), 96);
  EXPECT_TRUE(HasFlagBit(flagged, veKeyWidth));    // kept from the destination
  EXPECT_FALSE(HasFlagBit(flagged, veKeyHeight));  // not taken from the source
  EXPECT_EQ(flagged.FixedFieldAt(1).Tag(), kzTypeInt32);
}

TEST_F(veMediaRecordTest, AssignmentFullCopiesOwnedValuesEitherWay) {
  veMediaRecord source = Video(16, 16, veRasterType::kRGB);
  ASSERT_TRUE(source.SetText(veKeyFixedField7, "seventh"));
  veMediaRecord target = Video(8, 8, veRasterType::kRGB);
  ASSERT_TRUE(target.SetText(veKeyWidth, "old text"));
  SetFlagBit(target, veKeyFixedField7);

  target = source;
  // Source owned, destination not: duplicated, flag bit of the destination kept.
  ASSERT_NE(target.AsText(veKeyFixedField7), nullptr);
  EXPECT_STREQ(target.AsText(veKeyFixedField7), "seventh");
  EXPECT_NE(target.AsText(veKeyFixedField7), source.AsText(veKeyFixedField7));
  EXPECT_TRUE(HasFlagBit(target, veKeyFixedField7));
  // Destination owned, source not: the text is freed and the number copied.
  EXPECT_EQ(target.AsText(veKeyWidth), nullptr);
  EXPECT_EQ(target.Width(), 16);
  EXPECT_EQ(target.FixedFieldAt(1).Tag(), kzTypeInt32);

  // Freeing the source's text leaves the copy readable (ASan checks).
  source.SetWidth(1);
  source.RemoveID(veKeyFixedField7);
  EXPECT_STREQ(target.AsText(veKeyFixedField7), "seventh");
  // Both owned: replaced by a copy of the new text.
  ASSERT_TRUE(source.SetText(veKeyFixedField7, "a longer replacement text"));
  target = source;
  EXPECT_STREQ(target.AsText(veKeyFixedField7), "a longer replacement text");
}

TEST_F(veMediaRecordTest, SelfAssignmentChangesNothing) {
  veMediaRecord record = Video(10, 20, veRasterType::kYM16);
  ASSERT_TRUE(record.SetText(veKeyFixedField5, "kept"));
  ASSERT_TRUE(record.SetInt32(veKeyDisplayWidth, 11, 2));
  const veMediaRecord before(record);
  veMediaRecord& alias = record;
  record = alias;
  EXPECT_TRUE(record.Equals(before));
  EXPECT_STREQ(record.AsText(veKeyFixedField5), "kept");
  EXPECT_EQ(record.Width(), 10);
}

TEST_F(veMediaRecordTest, AssigningARecordOfTheSameShapeAllocatesNothing) {
  veMediaRecord source = Video(1280, 720, veRasterType::k2vuy);
  source.SetBytesPerRowBasedOnFormat();
  source.SetTimeRange(veTimeRange{90000, 3003, 90000, 3003});
  ASSERT_TRUE(source.SetFloat(veKeyFramesPerSecond, 29.97f));
  ASSERT_TRUE(source.SetInt32(veKeyDisplayWidth, 1280, 2));
  ASSERT_TRUE(source.SetInt32(veKeyDisplayHeight, 720, 2));
  // A recycled buffer's record: same keys, other values.
  veMediaRecord target = Video(1920, 1080, veRasterType::kBGRA);
  target.SetTimeRange(veTimeRange{48000, 1, 48000, 2});
  ASSERT_TRUE(target.SetFloat(veKeyFramesPerSecond, 25.0f));
  ASSERT_TRUE(target.SetInt32(veKeyDisplayWidth, 1920, 2));
  ASSERT_TRUE(target.SetInt32(veKeyDisplayHeight, 1080, 2));
  ASSERT_TRUE(target.SetBool(veKeyVideoIsInterlaced, true));  // one entry more

  AllocationCounter counter;
  target = source;
  source.SetWidth(640);
  target = source;
  EXPECT_EQ(counter.Allocations(), 0);
  EXPECT_TRUE(target.Equals(source));
  EXPECT_EQ(target.BytesPerRow(), 1280 * 2);
  EXPECT_EQ(target.Width(), 640);
}

// ---- sizes ----------------------------------------------------------------

TEST_F(veMediaRecordTest, VideoBufferSizeIsRowsTimesRowBytes) {
  EXPECT_EQ(Video(1920, 1080, veRasterType::kRGBA).CalculateBufferSize(1), 1920 * 4 * 1080);
  EXPECT_EQ(Video(640, 480, veRasterType::kI420).CalculateBufferSize(1), 640 * 720);
  EXPECT_EQ(Video(3, 2, veRasterType::k2vuy).CalculateBufferSize(1), 16);
  EXPECT_EQ(Video(49, 2, veRasterType::kV210).CalculateBufferSize(1), 512);
  EXPECT_EQ(Video(5, 5, veRasterType::kNV12).CalculateBufferSize(3), 3 * 5 * 7);

  // A stored row distance wins over the tight one, even when padded.
  veMediaRecord padded = Video(1920, 1080, veRasterType::kRGBA);
  padded.SetBytesPerRow(8192);
  EXPECT_EQ(padded.CalculateBufferSize(1), 8192 * 1080);
  padded.SetBytesPerRow(1920 * 4);
  EXPECT_EQ(padded.CalculateBufferSize(2), 2 * 1920 * 4 * 1080);
}

TEST_F(veMediaRecordTest, UnusableVideoFormatsHaveNoSize) {
  veMediaRecord record = Video(1920, 1080, veRasterType::kRGBA);
  EXPECT_EQ(record.CalculateBufferSize(0), 0);
  EXPECT_EQ(record.CalculateBufferSize(-1), 0);
  // Rows shorter than the pixels they hold, or negative, describe no buffer.
  record.SetBytesPerRow(1920 * 4 - 1);
  EXPECT_EQ(record.CalculateBufferSize(1), 0);
  record.SetBytesPerRow(-16);
  EXPECT_EQ(record.CalculateBufferSize(1), 0);

  EXPECT_EQ(Video(16, 16, zFourCC("abcd")).CalculateBufferSize(1), 0);
  EXPECT_EQ(Video(0, 16, veRasterType::kRGBA).CalculateBufferSize(1), 0);
  EXPECT_EQ(Video(16, 0, veRasterType::kRGBA).CalculateBufferSize(1), 0);
  EXPECT_EQ(Video(-16, 16, veRasterType::kRGBA).CalculateBufferSize(1), 0);
  EXPECT_EQ(Video(16, -16, veRasterType::kRGBA).CalculateBufferSize(1), 0);
  veMediaRecord noType;
  noType.SetWidth(16);
  noType.SetHeight(16);
  noType.SetRasterType(veRasterType::kRGBA);
  EXPECT_EQ(noType.CalculateBufferSize(1), 0);
}

TEST_F(veMediaRecordTest, VideoBufferSizeAboveInt32MaxIsZero) {
  // 65536 bytes per row: 32767 rows fit, 32768 rows are exactly 2^31.
  EXPECT_EQ(Video(0x4000, 0x7fff, veRasterType::kRGBA).CalculateBufferSize(1), 0x4000 * 4 * 0x7fff);
  EXPECT_EQ(Video(0x4000, 0x8000, veRasterType::kRGBA).CalculateBufferSize(1), 0);
  // Large factors whose 32-bit product would wrap to a small number.
  EXPECT_EQ(Video(0x10000, 0x10001, veRasterType::kI420).CalculateBufferSize(1), 0);
  veMediaRecord huge = Video(1, INT32_MAX, veRasterType::kRGB);
  huge.SetBytesPerRow(INT32_MAX);
  EXPECT_EQ(huge.CalculateBufferSize(INT32_MAX), 0);
  // The frame fits, the frame count does not.
  const veMediaRecord frame = Video(1024, 256, veRasterType::kRGBA);  // 1 MiB
  EXPECT_EQ(frame.CalculateBufferSize(2047), 2047 * (1 << 20));
  EXPECT_EQ(frame.CalculateBufferSize(2048), 0);
}

TEST_F(veMediaRecordTest, AudioBufferSizeFollowsTheSampleFormat) {
  EXPECT_EQ(Audio(veAudioFormat::kSowt, 2, 16).CalculateBufferSize(1600), 6400);
  EXPECT_EQ(Audio(veAudioFormat::kIn24, 6, 24).CalculateBufferSize(10), 180);
  // The format code wins over a disagreeing bits-per-sample field.
  EXPECT_EQ(Audio(veAudioFormat::kFl64, 1, 16).CalculateBufferSize(3), 24);
  // Without a code, whole bytes of the stored bits per sample.
  EXPECT_EQ(Audio(0, 2, 24).CalculateBufferSize(10), 60);
  EXPECT_EQ(Audio(0, 2, 12).CalculateBufferSize(10), 40);
  EXPECT_EQ(Audio(0, 255, 8).CalculateBufferSize(1), 255);
}

TEST_F(veMediaRecordTest, UnusableAudioFormatsHaveNoSize) {
  EXPECT_EQ(Audio(veAudioFormat::kSowt, 2, 16).CalculateBufferSize(0), 0);
  EXPECT_EQ(Audio(veAudioFormat::kSowt, 2, 16).CalculateBufferSize(-1600), 0);
  EXPECT_EQ(Audio(veAudioFormat::kSowt, 0, 16).CalculateBufferSize(1600), 0);
  EXPECT_EQ(Audio(veAudioFormat::kSowt, -2, 16).CalculateBufferSize(1600), 0);
  // 256 and 257 channels must not wrap to 0 and 1 channels.
  EXPECT_EQ(Audio(veAudioFormat::kSowt, 256, 16).CalculateBufferSize(1600), 0);
  EXPECT_EQ(Audio(veAudioFormat::kSowt, 257, 16).CalculateBufferSize(1600), 0);
  EXPECT_EQ(Audio(0, 257, 16).CalculateBufferSize(1600), 0);
  EXPECT_EQ(Audio(zFourCC("lpcm"), 2, 16).CalculateBufferSize(1600), 0);
  EXPECT_EQ(Audio(0, 2, 0).CalculateBufferSize(1600), 0);
  EXPECT_EQ(Audio(0, 2, -16).CalculateBufferSize(1600), 0);
}

TEST_F(veMediaRecordTest, AudioBufferSizeAboveInt32MaxIsZero) {
  EXPECT_EQ(Audio(veAudioFormat::kSowt, 2, 16).CalculateBufferSize(0x1fffffff), 0x7ffffffc);
  EXPECT_EQ(Audio(veAudioFormat::kSowt, 2, 16).CalculateBufferSize(0x20000000), 0);
  EXPECT_EQ(Audio(veAudioFormat::kFl64, 255, 16).CalculateBufferSize(INT32_MAX), 0);
  EXPECT_EQ(Audio(0, 8, INT32_MAX).CalculateBufferSize(1), 0);
  EXPECT_EQ(Audio(0, 255, 64).CalculateBufferSize(INT32_MAX), 0);
  EXPECT_EQ(Audio(0, 1, 16).CalculateBufferSize(0x3fffffff), 0x7ffffffe);
  EXPECT_EQ(Audio(0, 1, 16).CalculateBufferSize(0x40000000), 0);
}

TEST_F(veMediaRecordTest, BytesPerRowFromFormatIsTheTightRow) {
  veMediaRecord record = Video(3, 2, veRasterType::k2vuy);
  record.SetBytesPerRowBasedOnFormat();
  EXPECT_EQ(record.BytesPerRow(), 8);
  record.SetRasterType(veRasterType::kV210);
  record.SetWidth(49);
  record.SetBytesPerRowBasedOnFormat();
  EXPECT_EQ(record.BytesPerRow(), 256);
  record.SetRasterType(veRasterType::kRGBA);
  record.SetWidth(17);
  record.SetBytesPerRowBasedOnFormat();
  EXPECT_EQ(record.BytesPerRow(), 68);  // not aligned
  EXPECT_EQ(record.FixedFieldAt(7).Tag(), kzTypeInt32);
}

TEST_F(veMediaRecordTest, BytesPerRowFromUnusableFormatIsZero) {
  veMediaRecord record = Video(16, 16, zFourCC("abcd"));
  record.SetBytesPerRow(64);
  record.SetBytesPerRowBasedOnFormat();
  EXPECT_EQ(record.BytesPerRow(), 0);
  EXPECT_EQ(record.FixedFieldAt(7).Tag(), kzTypeInt32);

  record = Video(0x40000000, 1, veRasterType::kRgba);
  ASSERT_TRUE(record.SetText(veKeyBytesPerRow, "owned"));
  record.SetBytesPerRowBasedOnFormat();
  EXPECT_EQ(record.BytesPerRow(), 0);
  EXPECT_EQ(record.AsText(veKeyBytesPerRow), nullptr);
  record.SetWidth(-5);
  record.SetBytesPerRowBasedOnFormat();
  EXPECT_EQ(record.BytesPerRow(), 0);
}

}  // namespace
