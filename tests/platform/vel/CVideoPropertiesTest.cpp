#include "Vel/CVideoProperties.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "Vel/RObject.h"
#include "VelTestHelpers.h"
#include "vesk/veVelBridge.h"

namespace Corvane::Vel {
namespace {

using CVideoPropertiesTest = veltest::VelObjectTest;

RObject<CVideoProperties> Describe(int32_t width, int32_t height, uint32_t format, int32_t rowBytes) {
  auto properties = RObject<CVideoProperties>::Adopt(new CVideoProperties());
  EXPECT_EQ(properties->SetWidth(width), ResultOK);
  EXPECT_EQ(properties->SetHeight(height), ResultOK);
  EXPECT_EQ(properties->SetPixelFormat(format), ResultOK);
  EXPECT_EQ(properties->SetBytesPerRow(rowBytes), ResultOK);
  return properties;
}

TEST_F(CVideoPropertiesTest, StartsEmptyAndStoresValidValues) {
  auto properties = RObject<CVideoProperties>::Adopt(new CVideoProperties());
  EXPECT_EQ(properties->GetWidth(), 0);
  EXPECT_EQ(properties->GetHeight(), 0);
  EXPECT_EQ(properties->GetPixelFormat(), 0u);
  EXPECT_EQ(properties->GetBytesPerRow(), 0);
  properties = Describe(CVideoProperties::kMaxDimension, 1, FourCC("I420"), 0);
  EXPECT_EQ(properties->GetWidth(), CVideoProperties::kMaxDimension);
  EXPECT_EQ(properties->GetHeight(), 1);
  EXPECT_EQ(properties->GetPixelFormat(), FourCC("I420"));
  EXPECT_TRUE(properties->IsType(CVideoProperties::kType));
  EXPECT_TRUE(properties->IsType(CObject::kType));
}

TEST_F(CVideoPropertiesTest, OutOfRangeValuesFailAndKeepTheField) {
  auto properties = Describe(640, 480, FourCC("2vuy"), 1280);
  for (int32_t bad : {0, -1, CVideoProperties::kMaxDimension + 1, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(properties->SetWidth(bad), ResultError) << bad;
    EXPECT_EQ(properties->SetHeight(bad), ResultError) << bad;
  }
  EXPECT_EQ(properties->SetBytesPerRow(-1), ResultError);
  EXPECT_EQ(properties->GetWidth(), 640);
  EXPECT_EQ(properties->GetHeight(), 480);
  EXPECT_EQ(properties->GetBytesPerRow(), 1280);
}

TEST_F(CVideoPropertiesTest, BridgeDescribesTheImageInAMediaRecord) {
  auto properties = Describe(64, 32, FourCC("IMC4"), 0);
  veMediaRecord record;
  record.SetChannels(2);  // not a video field: left alone
  ASSERT_EQ(VideoPropertiesToMediaRecord(properties.Get(), record), 0);
  EXPECT_EQ(record.MediaType(), veMediaTypeVideo);
  EXPECT_EQ(record.Width(), 64);
  EXPECT_EQ(record.Height(), 32);
  EXPECT_EQ(record.RasterType(), FourCC("IMC4"));
  EXPECT_EQ(record.BytesPerRow(), 0);
  EXPECT_EQ(record.Channels(), 2);
  EXPECT_EQ(record.CalculateBufferSize(1), 64 * 48);  // tight rows computed from the record

  // A stated row length replaces one already in the record.
  properties = Describe(8, 2, FourCC("BGRA"), 64);
  ASSERT_EQ(VideoPropertiesToMediaRecord(properties.Get(), record), 0);
  EXPECT_EQ(record.BytesPerRow(), 64);
  EXPECT_EQ(record.CalculateBufferSize(1), 128);
}

TEST_F(CVideoPropertiesTest, BridgeRejectsNullPropertiesAndLeavesTheRecord) {
  veMediaRecord record(veMediaTypeAudio);
  record.SetWidth(7);
  EXPECT_EQ(VideoPropertiesToMediaRecord(nullptr, record), -1);
  EXPECT_EQ(record.MediaType(), veMediaTypeAudio);
  EXPECT_EQ(record.Width(), 7);
  EXPECT_EQ(record.RasterType(), 0u);
}

}  // namespace
}  // namespace Corvane::Vel
