#include "Vel/CPixelDataReference.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "Vel/RObject.h"
#include "VelTestHelpers.h"

namespace Corvane::Vel {
namespace {

// A reference that overrides nothing: every answer is the base's.
class BareReference : public CPixelDataReference {
 public:
  BareReference() = default;
};

// A reference over caller bytes that answers data and stride itself, so the
// base's GetSamplePlanes can be seen to go through the table.
class BytesReference : public CPixelDataReference {
 public:
  static constexpr uint32_t kType = FourCC("tbyt");
  BytesReference(uint8_t* bytes, int32_t stride) : CPixelDataReference(kType), bytes_(bytes), stride_(stride) {}
  bool IsType(uint32_t code) const noexcept override {
    return code == kType || CPixelDataReference::IsType(code);
  }
  uint8_t* GetData() const noexcept override { return bytes_; }
  int32_t GetStride() const noexcept override { return stride_; }

 private:
  uint8_t* bytes_;
  int32_t stride_;
};

using CPixelDataReferenceTest = veltest::VelObjectTest;

TEST_F(CPixelDataReferenceTest, BaseAnswersAsAnEmptyReference) {
  auto reference = RObject<CPixelDataReference>::Adopt(new BareReference());
  EXPECT_EQ(reference->Lock(CPixelDataReference::kLockReadWrite), ResultOK);
  EXPECT_EQ(reference->GetData(), nullptr);
  EXPECT_EQ(reference->GetLength(), 0);
  EXPECT_EQ(reference->GetStride(), 0);
  EXPECT_EQ(reference->GetArea(), (Dimensions{0, 0}));
  reference->Unlock();
  EXPECT_EQ(reference->GetTypeCode(), CPixelDataReference::kType);
}

TEST_F(CPixelDataReferenceTest, EmptyReferenceHasNoSamplePlanes) {
  auto reference = RObject<CPixelDataReference>::Adopt(new BareReference());
  const SamplePlanes planes = reference->GetSamplePlanes(0, false);
  EXPECT_EQ(planes.PlaneCount(), 0);
  for (int i = 0; i < SamplePlanes::kMaxPlanes; ++i) {
    EXPECT_EQ(planes.plane[i], nullptr);
    EXPECT_EQ(planes.stride[i], 0);
  }
}

TEST_F(CPixelDataReferenceTest, SamplePlanesUseTheSubclassDataAndStride) {
  std::vector<uint8_t> bytes(64 * 4);
  auto reference = RObject<CPixelDataReference>::Adopt(new BytesReference(bytes.data(), 64));
  for (bool forWriting : {false, true}) {
    const SamplePlanes planes = reference->GetSamplePlanes(FourCC("2vuy"), forWriting);
    EXPECT_EQ(planes.PlaneCount(), 1);
    EXPECT_EQ(planes.plane[0], bytes.data());
    EXPECT_EQ(planes.stride[0], 64);
    EXPECT_EQ(planes.stride[1], 0);
  }
}

TEST_F(CPixelDataReferenceTest, SetLengthIsNotSupportedAndChangesNothing) {
  std::vector<uint8_t> bytes(16);
  auto reference = RObject<CPixelDataReference>::Adopt(new BytesReference(bytes.data(), 4));
  EXPECT_EQ(reference->SetLength(8), ResultNotSupported);
  EXPECT_EQ(reference->SetLength(-1), ResultNotSupported);
  EXPECT_EQ(reference->GetData(), bytes.data());
  EXPECT_EQ(reference->GetLength(), 0);
}

TEST_F(CPixelDataReferenceTest, ByteOrderIsTheHostOrder) {
  auto reference = RObject<CPixelDataReference>::Adopt(new BareReference());
  const auto expected = std::endian::native == std::endian::little
                            ? CPixelDataReference::ByteOrder::kLittleEndian
                            : CPixelDataReference::ByteOrder::kBigEndian;
  EXPECT_EQ(reference->GetByteOrder(), expected);
}

TEST_F(CPixelDataReferenceTest, IsTypeAnswersItsOwnCodeAndItsBases) {
  auto reference = RObject<CPixelDataReference>::Adopt(new BytesReference(nullptr, 0));
  EXPECT_TRUE(reference->IsType(BytesReference::kType));
  EXPECT_TRUE(reference->IsType(CPixelDataReference::kType));
  EXPECT_TRUE(reference->IsType(CObject::kType));
  EXPECT_FALSE(reference->IsType(FourCC("gsrf")));
  EXPECT_FALSE(reference->IsType(0));
}

}  // namespace
}  // namespace Corvane::Vel
