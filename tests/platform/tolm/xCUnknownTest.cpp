#include "tolm/xCUnknown.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tolm/zRefCount.h"

namespace {

// Counts its destructions so that tests see exactly when it dies.
class Counted : public xCUnknown {
 public:
  explicit Counted(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
  ~Counted() override { destroyed_->fetch_add(1); }

 private:
  std::atomic<int>* destroyed_;
};

// Keeps itself alive at zero, as a recycled buffer does: the first time its
// count reaches zero it adds a reference back and parks itself; the second
// time it deletes itself.
class Resurrecting : public xCUnknown {
 public:
  explicit Resurrecting(std::atomic<int>* destroyed) : destroyed_(destroyed) {}
  ~Resurrecting() override { destroyed_->fetch_add(1); }
  void DeleteObject() override {
    ++deleteCalls;
    if (deleteCalls == 1) {
      Concrete_AddRef();
      parked = true;
      return;
    }
    delete this;
  }
  int deleteCalls = 0;
  bool parked = false;

 private:
  std::atomic<int>* destroyed_;
};

// Never deletes itself; records how often DeleteObject ran.
class Undying : public xCUnknown {
 public:
  void DeleteObject() override { ++deleteCalls; }
  int deleteCalls = 0;
};

// An interface of its own, answered before the base's names.
class xIWidget : public xIUnknown {
 public:
  virtual int32_t Answer() = 0;
};

class Widget : public xCUnknown, public xIWidget {
 public:
  int32_t QueryInterface(const char* name, void** out) override { return xCUnknown::QueryInterface(name, out); }
  int32_t AddRef() override { return xCUnknown::AddRef(); }
  int32_t Release() override { return xCUnknown::Release(); }
  int32_t Answer() override { return 42; }
  int32_t Concrete_QueryInterface(const char* name, void** out) override {
    if (out) *out = nullptr;
    if (CompareInterfaceName(name, "xIWidget")) return GetInterface(static_cast<xIWidget*>(this), out);
    return xCUnknown::Concrete_QueryInterface(name, out);
  }
};

TEST(xCUnknownTest, StartsWithOneReferenceAndDiesAtTheLastRelease) {
  std::atomic<int> destroyed{0};
  const int64_t liveBefore = xCUnknown::LiveObjectsForTesting();
  auto* object = new Counted(&destroyed);
  EXPECT_EQ(object->RefCountForTesting(), 1);
  EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveBefore + 1);
  EXPECT_EQ(object->AddRef(), 2);
  EXPECT_EQ(object->AddRef(), 3);
  EXPECT_EQ(object->Release(), 2);
  EXPECT_EQ(object->Release(), 1);
  EXPECT_EQ(destroyed.load(), 0);
  EXPECT_EQ(object->Release(), 0);
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveBefore);
}

TEST(xCUnknownTest, DeleteObjectOverrideDecidesTheFate) {
  Undying object;
  EXPECT_EQ(object.Release(), 0);
  EXPECT_EQ(object.deleteCalls, 1);
  EXPECT_EQ(object.RefCountForTesting(), 0);
}

TEST(xCUnknownTest, ReleaseAtZeroIsIgnoredAndDoesNotDeleteTwice) {
  Undying object;
  object.Release();
  EXPECT_EQ(object.Release(), 0);
  EXPECT_EQ(object.Concrete_Release(), 0);
  EXPECT_EQ(object.deleteCalls, 1);
  EXPECT_EQ(object.RefCountForTesting(), 0);
}

TEST(xCUnknownTest, ObjectResurrectedByDeleteObjectLivesOnUntilItsNextZero) {
  std::atomic<int> destroyed{0};
  auto* object = new Resurrecting(&destroyed);
  EXPECT_EQ(object->Release(), 0);
  ASSERT_TRUE(object->parked);
  EXPECT_EQ(destroyed.load(), 0);
  EXPECT_EQ(object->RefCountForTesting(), 1);
  // Handed out again, then released for good.
  EXPECT_EQ(object->AddRef(), 2);
  EXPECT_EQ(object->Release(), 1);
  EXPECT_EQ(object->Release(), 0);
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(xCUnknownTest, QueryInterfaceAnswersItsBaseNameWithAReference) {
  std::atomic<int> destroyed{0};
  auto* object = new Counted(&destroyed);
  void* out = nullptr;
  EXPECT_EQ(object->QueryInterface("xIUnknown", &out), 0);
  EXPECT_EQ(out, static_cast<xIUnknown*>(object));
  EXPECT_EQ(object->RefCountForTesting(), 2);
  static_cast<xIUnknown*>(out)->Release();
  object->Release();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(xCUnknownTest, QueryInterfaceClearsTheOutPointerOnFailure) {
  std::atomic<int> destroyed{0};
  auto* object = new Counted(&destroyed);
  int sentinel = 0;
  void* out = &sentinel;
  EXPECT_EQ(object->QueryInterface("xIWidget", &out), -1);
  EXPECT_EQ(out, nullptr);
  out = &sentinel;
  EXPECT_EQ(object->QueryInterface(nullptr, &out), -1);
  EXPECT_EQ(out, nullptr);
  // Prefixes and longer names do not match.
  EXPECT_EQ(object->QueryInterface("xIUnknow", &out), -1);
  EXPECT_EQ(object->QueryInterface("xIUnknownX", &out), -1);
  EXPECT_EQ(object->QueryInterface("xIUnknown", nullptr), 0);
  EXPECT_EQ(object->RefCountForTesting(), 1);
  object->Release();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(xCUnknownTest, SubclassAnswersItsOwnInterfaceAndFallsBack) {
  const int64_t liveBefore = xCUnknown::LiveObjectsForTesting();
  auto* widget = new Widget();
  void* out = nullptr;
  ASSERT_EQ(widget->QueryInterface("xIWidget", &out), 0);
  auto* asWidget = static_cast<xIWidget*>(out);
  EXPECT_EQ(asWidget->Answer(), 42);
  EXPECT_EQ(widget->RefCountForTesting(), 2);
  // Through the other interface, AddRef/Release reach the same count.
  EXPECT_EQ(asWidget->AddRef(), 3);
  EXPECT_EQ(asWidget->Release(), 2);
  asWidget->Release();
  ASSERT_EQ(widget->QueryInterface("xIUnknown", &out), 0);
  static_cast<xIUnknown*>(out)->Release();
  EXPECT_EQ(widget->RefCountForTesting(), 1);
  widget->Release();
  EXPECT_EQ(xCUnknown::LiveObjectsForTesting(), liveBefore);
}

TEST(xCUnknownTest, GetInterfaceRefusesANullSubObject) {
  Undying object;
  int sentinel = 0;
  void* out = &sentinel;
  EXPECT_EQ(object.GetInterface(nullptr, &out), -1);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(object.GetInterface(&object, nullptr), 0);
  EXPECT_EQ(object.RefCountForTesting(), 1);
  EXPECT_EQ(object.GetInterface(&object, &out), 0);
  EXPECT_EQ(out, static_cast<xIUnknown*>(&object));
  EXPECT_EQ(object.RefCountForTesting(), 2);
}

TEST(xCUnknownTest, CompareInterfaceNameNeedsTwoEqualNames) {
  EXPECT_TRUE(xCUnknown::CompareInterfaceName("kaXIVideoBuffer", "kaXIVideoBuffer"));
  EXPECT_FALSE(xCUnknown::CompareInterfaceName("kaXIVideoBuffer", "kaXIVideoBuffe"));
  EXPECT_FALSE(xCUnknown::CompareInterfaceName("kaXIVideoBuffer", "kaxivideobuffer"));
  EXPECT_FALSE(xCUnknown::CompareInterfaceName(nullptr, "xIUnknown"));
  EXPECT_FALSE(xCUnknown::CompareInterfaceName("xIUnknown", nullptr));
  EXPECT_FALSE(xCUnknown::CompareInterfaceName(nullptr, nullptr));
}

TEST(xCUnknownTest, CountsStayExactUnderConcurrentAddRefAndRelease) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  std::atomic<int> destroyed{0};
  auto* object = new Counted(&destroyed);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([object] {
      for (int i = 0; i < kRounds; ++i) {
        object->AddRef();
        object->Release();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(object->RefCountForTesting(), 1);
  EXPECT_EQ(destroyed.load(), 0);
  object->Release();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(xCUnknownTest, ConcurrentLastReleasesDeleteExactlyOnce) {
  constexpr int kThreads = 4;
  for (int round = 0; round < 200; ++round) {
    std::atomic<int> destroyed{0};
    auto* object = new Counted(&destroyed);
    for (int t = 1; t < kThreads; ++t) object->AddRef();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([object] { object->Release(); });
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(destroyed.load(), 1) << "round " << round;
  }
}

// ---- zRefCount ------------------------------------------------------------

class CountedRef : public zRefCount {
 public:
  explicit CountedRef(int* destroyed) : destroyed_(destroyed) {}
  ~CountedRef() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(zRefCountTest, LastReleaseDestroysThroughTheVirtualDestructor) {
  int destroyed = 0;
  auto* object = new CountedRef(&destroyed);
  EXPECT_EQ(object->RefCountForTesting(), 1);
  EXPECT_EQ(object->AddRef(), 2);
  EXPECT_EQ(object->Release(), 1);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(object->Release(), 0);
  EXPECT_EQ(destroyed, 1);
}

TEST(zRefCountTest, ConcurrentReleasesDestroyOnce) {
  int destroyed = 0;
  auto* object = new CountedRef(&destroyed);
  constexpr int kThreads = 4;
  constexpr int kRounds = 5000;
  for (int t = 0; t < kThreads * kRounds; ++t) object->AddRef();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([object] {
      for (int i = 0; i < kRounds; ++i) object->Release();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(object->Release(), 0);
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
