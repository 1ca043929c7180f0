#include "Vel/CComponentInventory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "VelTestHelpers.h"

namespace Corvane::Vel {
namespace {

using veltest::VelObjectTest;

// A converter double that records which factory made it.
class TaggedConverter final : public CAudioConverter {
 public:
  TaggedConverter(uint32_t type, int tag) noexcept : CAudioConverter(type), tag_(tag) {}
  int Tag() const { return tag_; }

 protected:
  int32_t OnStart(const AudioStreamDescription&) noexcept override { return 2; }
  void OnStop() noexcept override {}
  Result Convert(const uint8_t*, int32_t, CAudioSample&) noexcept override { return ResultError; }

 private:
  int tag_;
};

class TaggedFactory final : public CComponentFactory<CAudioConverter> {
 public:
  TaggedFactory(uint32_t type, int tag) : type_(type), tag_(tag) {}
  uint32_t GetType() const noexcept override { return type_; }
  CAudioConverter* CreateInstance() noexcept override {
    ++made;
    return new (std::nothrow) TaggedConverter(type_, tag_);
  }
  int made = 0;

 private:
  uint32_t type_;
  int tag_;
};

int TagOf(CAudioConverter* converter) {
  return converter == nullptr ? -1 : static_cast<TaggedConverter*>(converter)->Tag();
}

class CComponentInventoryTest : public VelObjectTest {
 protected:
  void TearDown() override {
    // Leave the process-wide inventory as the test found it.
    for (TaggedFactory* factory : registered_) CAudioConverterInventory::Unregister(factory);
    EXPECT_EQ(CAudioConverterInventory::GetFactoryCount(), countBefore_);
    VelObjectTest::TearDown();
  }
  void Register(TaggedFactory* factory, InventoryPosition where) {
    ASSERT_FALSE(CAudioConverterInventory::Register(factory, where).Failed());
    registered_.push_back(factory);
  }
  static RObject<CAudioConverter> Create(uint32_t type) {
    return RObject<CAudioConverter>::Adopt(CAudioConverterInventory::CreateInstance(type));
  }

  const int countBefore_ = CAudioConverterInventory::GetFactoryCount();
  std::vector<TaggedFactory*> registered_;
};

TEST_F(CComponentInventoryTest, BuiltInsAreRegisteredOnFirstUse) {
  EXPECT_GE(countBefore_, 2);
  auto format = Create(FourCC("afc "));
  auto rate = Create(FourCC("asrc"));
  ASSERT_TRUE(format);
  ASSERT_TRUE(rate);
  EXPECT_TRUE(format->IsType(FourCC("afc ")));
  EXPECT_TRUE(format->IsType(CAudioConverter::kType));
  EXPECT_TRUE(format->IsType(CAudioFilter::kType));
  EXPECT_FALSE(format->IsType(FourCC("asrc")));
  EXPECT_EQ(rate->GetTypeCode(), FourCC("asrc"));
  EXPECT_EQ(format->GetReferenceCount(), 1);  // the caller's reference only
}

TEST_F(CComponentInventoryTest, UnknownTypeGivesNull) {
  EXPECT_EQ(CAudioConverterInventory::CreateInstance(FourCC("none")), nullptr);
  EXPECT_EQ(CAudioConverterInventory::CreateInstance(0), nullptr);
}

TEST_F(CComponentInventoryTest, FirstMatchingFactoryInOrderMakesTheInstance) {
  TaggedFactory first(FourCC("tst1"), 1);
  TaggedFactory second(FourCC("tst1"), 2);
  Register(&first, InventoryPosition::kBack);
  Register(&second, InventoryPosition::kBack);
  EXPECT_EQ(TagOf(Create(FourCC("tst1")).Get()), 1);
  EXPECT_EQ(second.made, 0);

  ASSERT_FALSE(CAudioConverterInventory::Unregister(&first).Failed());
  EXPECT_EQ(TagOf(Create(FourCC("tst1")).Get()), 2);
}

TEST_F(CComponentInventoryTest, FrontRegistrationShadowsABuiltIn) {
  TaggedFactory shadow(FourCC("afc "), 7);
  Register(&shadow, InventoryPosition::kFront);
  EXPECT_EQ(TagOf(Create(FourCC("afc ")).Get()), 7);
  ASSERT_FALSE(CAudioConverterInventory::Unregister(&shadow).Failed());
  auto builtIn = Create(FourCC("afc "));
  ASSERT_TRUE(builtIn);
  EXPECT_EQ(shadow.made, 1);
}

TEST_F(CComponentInventoryTest, BadRegistrationsFailAndChangeNothing) {
  TaggedFactory factory(FourCC("tst2"), 3);
  EXPECT_TRUE(CAudioConverterInventory::Register(nullptr).Failed());
  Register(&factory, InventoryPosition::kBack);
  EXPECT_TRUE(CAudioConverterInventory::Register(&factory).Failed());
  EXPECT_EQ(CAudioConverterInventory::GetFactoryCount(), countBefore_ + 1);
  ASSERT_FALSE(CAudioConverterInventory::Unregister(&factory).Failed());
  EXPECT_TRUE(CAudioConverterInventory::Unregister(&factory).Failed());
  EXPECT_TRUE(CAudioConverterInventory::Unregister(nullptr).Failed());
  EXPECT_EQ(CAudioConverterInventory::GetFactoryCount(), countBefore_);
}

TEST_F(CComponentInventoryTest, RegistrationStopsAtTheListsCapacity) {
  std::vector<TaggedFactory> factories;
  factories.reserve(CAudioConverterInventory::kMaxFactories);
  for (int i = 0; i < CAudioConverterInventory::kMaxFactories; ++i) {
    factories.emplace_back(FourCC("tst3"), i);
  }
  int accepted = 0;
  for (TaggedFactory& factory : factories) {
    if (CAudioConverterInventory::Register(&factory).Failed()) break;
    registered_.push_back(&factory);
    ++accepted;
  }
  EXPECT_EQ(accepted, CAudioConverterInventory::kMaxFactories - countBefore_);
  EXPECT_EQ(CAudioConverterInventory::GetFactoryCount(), CAudioConverterInventory::kMaxFactories);
  EXPECT_EQ(TagOf(Create(FourCC("tst3")).Get()), 0);
}

TEST_F(CComponentInventoryTest, CreatesWhileOtherThreadsRegisterAndUnregister) {
  TaggedFactory churn(FourCC("tst4"), 4);
  std::atomic<bool> stop{false};
  std::thread registrar([&] {
    for (int i = 0; i < 2000; ++i) {
      CAudioConverterInventory::Register(&churn, i % 2 == 0 ? InventoryPosition::kFront
                                                            : InventoryPosition::kBack);
      CAudioConverterInventory::Unregister(&churn);
    }
    stop = true;
  });
  int made = 0;
  int missing = 0;
  // At least one lookup runs even when the registrar finishes first.
  do {
    auto converter = Create(FourCC("afc "));
    if (converter) {
      ++made;
    } else {
      ++missing;
    }
  } while (!stop);
  registrar.join();
  EXPECT_GT(made, 0);
  EXPECT_EQ(missing, 0);  // the built-in stays findable throughout
  EXPECT_EQ(CAudioConverterInventory::GetFactoryCount(), countBefore_);
}

}  // namespace
}  // namespace Corvane::Vel
