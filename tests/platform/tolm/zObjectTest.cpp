#include "tolm/zObject.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class Node : public zSharedObject {
 public:
  explicit Node(bool* destroyed) : destroyed_(destroyed) {}
  ~Node() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

TEST(zSharedObjectTest, HandsOutSharedPointersToItself) {
  bool destroyed = false;
  std::weak_ptr<zSharedObject> weak;
  {
    auto node = std::make_shared<Node>(&destroyed);
    std::shared_ptr<zSharedObject> self = node->shared_from_this();
    EXPECT_EQ(self.get(), node.get());
    EXPECT_EQ(node.use_count(), 2);
    weak = self;
  }
  EXPECT_TRUE(destroyed);
  EXPECT_TRUE(weak.expired());
}

TEST(zSharedObjectTest, DestroysThroughTheBaseClass) {
  bool destroyed = false;
  std::unique_ptr<zObject> object = std::make_unique<Node>(&destroyed);
  object.reset();
  EXPECT_TRUE(destroyed);
}

}  // namespace
