#include "tolm/zList.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/AllocationCounter.h"

namespace {

// An element that records its releases.
struct Item {
  int id = 0;
  int releases = 0;
  void Release() { ++releases; }
};

std::vector<int> Ids(const zList<Item*>& list) {
  std::vector<int> ids;
  for (auto* node = list.First(); node; node = zList<Item*>::Next(node)) ids.push_back(node->item->id);
  return ids;
}

class zListTest : public ::testing::Test {
 protected:
  Item items[6] = {{0}, {1}, {2}, {3}, {4}, {5}};
};

TEST_F(zListTest, AddAtIndexInsertsBeforeTheElementOrAppends) {
  zList<Item*> list;
  ASSERT_TRUE(list.Add(&items[1]));
  ASSERT_TRUE(list.AddAtIndex(&items[0], 0));   // front
  ASSERT_TRUE(list.AddAtIndex(&items[3], 2));   // index == count: append
  ASSERT_TRUE(list.AddAtIndex(&items[2], 2));   // middle
  ASSERT_TRUE(list.AddAtIndex(&items[4], 99));  // past the end
  ASSERT_TRUE(list.AddAtIndex(&items[5], -1));  // negative: append
  EXPECT_EQ(Ids(list), (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(list.Count(), 6);
  EXPECT_EQ(list.Last()->item, &items[5]);
  EXPECT_EQ(list.Last()->prev->item, &items[4]);
  EXPECT_EQ(list.Get(2), &items[2]);
  EXPECT_EQ(list.Get(6), nullptr);
  EXPECT_EQ(list.Get(-1), nullptr);
}

TEST_F(zListTest, InsertBeforeANodeLinksBothDirections) {
  zList<Item*> list;
  list.Add(&items[0]);
  list.Add(&items[2]);
  auto* second = list.First()->next;
  ASSERT_TRUE(list.InsertBefore(second, &items[1]));
  EXPECT_EQ(Ids(list), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(second->prev->item, &items[1]);
  EXPECT_EQ(second->prev->prev, list.First());
}

TEST_F(zListTest, RemoveHeadReturnsElementsInOrderThenNull) {
  zList<Item*> list;
  list.Add(&items[0]);
  list.Add(&items[1]);
  EXPECT_EQ(list.RemoveHead(), &items[0]);
  EXPECT_EQ(list.First()->prev, nullptr);
  EXPECT_EQ(list.RemoveHead(), &items[1]);
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.First(), nullptr);
  EXPECT_EQ(list.Last(), nullptr);
  EXPECT_EQ(list.RemoveHead(), nullptr);
  EXPECT_EQ(items[0].releases, 0);  // the list does not own its elements
}

TEST_F(zListTest, MoveHeadToAppendsToTheOtherListWithoutAllocating) {
  zList<Item*> from;
  zList<Item*> to;
  from.Add(&items[0]);
  from.Add(&items[1]);
  to.Add(&items[2]);
  AllocationCounter counter;
  ASSERT_TRUE(from.MoveHeadTo(to));
  EXPECT_EQ(counter.Allocations(), 0);
  EXPECT_EQ(Ids(from), (std::vector<int>{1}));
  EXPECT_EQ(Ids(to), (std::vector<int>{2, 0}));
  EXPECT_EQ(from.Count(), 1);
  EXPECT_EQ(to.Count(), 2);
  EXPECT_EQ(to.Last()->item, &items[0]);
  ASSERT_TRUE(from.MoveHeadTo(to));
  EXPECT_TRUE(from.IsEmpty());
  EXPECT_FALSE(from.MoveHeadTo(to));
  EXPECT_EQ(Ids(to), (std::vector<int>{2, 0, 1}));
}

TEST_F(zListTest, RemoveAndReleaseAllReleasesEachElementOnce) {
  zList<Item*> list;
  for (auto& item : items) list.Add(&item);
  list.Add(nullptr);  // a null element is skipped
  list.RemoveAndReleaseAll();
  EXPECT_TRUE(list.IsEmpty());
  for (const auto& item : items) EXPECT_EQ(item.releases, 1) << item.id;
  list.RemoveAndReleaseAll();
  for (const auto& item : items) EXPECT_EQ(item.releases, 1) << item.id;
}

TEST_F(zListTest, RemoveAllLeavesElementsAlone) {
  zList<Item*> list;
  list.Add(&items[0]);
  list.Add(&items[1]);
  list.RemoveAll();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(items[0].releases + items[1].releases, 0);
}

TEST_F(zListTest, SteadyInsertRemoveCyclesReuseNodes) {
  zList<Item*> list;
  for (auto& item : items) list.Add(&item);
  list.RemoveAll();
  AllocationCounter counter;
  for (int round = 0; round < 100; ++round) {
    for (auto& item : items) list.AddAtIndex(&item, 0);
    while (!list.IsEmpty()) list.RemoveHead();
  }
  EXPECT_EQ(counter.Allocations(), 0);
}

}  // namespace
