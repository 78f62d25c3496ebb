// The per-member event queue: merging of waiting reconfigurations, the
// overflow bound, and gap-free numbering.
#include "daemon/event_queue.h"

#include <gtest/gtest.h>

#include "skgxn.h"

namespace skgxn {
namespace {

MemberBitmap mapOf(uint32_t n) {
  MemberBitmap map{};
  addMember(map, n);
  return map;
}

TEST(EventQueue, ConsecutiveReconfigurationsMergeIntoNewest) {
  EventQueue q(4);
  ASSERT_TRUE(q.push(skgxngeRCFG, mapOf(1)));
  ASSERT_TRUE(q.push(skgxngeRCFG, mapOf(2)));
  ASSERT_TRUE(q.push(skgxngeRCFG, mapOf(3)));
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q.front().bitmap, mapOf(3));
}

TEST(EventQueue, OtherEventsSeparateReconfigurations) {
  EventQueue q(4);
  ASSERT_TRUE(q.push(skgxngeRCFG, mapOf(1)));
  ASSERT_TRUE(q.push(skgxngeSUS, mapOf(1)));
  ASSERT_TRUE(q.push(skgxngeRCFG, mapOf(2)));
  ASSERT_TRUE(q.push(skgxngeSUS, mapOf(2)));
  EXPECT_EQ(q.size(), 4u);
  EXPECT_EQ(q.front().event, static_cast<uint32_t>(skgxngeRCFG));
  EXPECT_EQ(q.front().bitmap, mapOf(1));
}

TEST(EventQueue, PushPastBoundFailsAndQueuesNothing) {
  EventQueue q(2);
  ASSERT_TRUE(q.push(skgxngeSUS, mapOf(0)));
  ASSERT_TRUE(q.push(skgxngeRES, mapOf(0)));
  EXPECT_FALSE(q.push(skgxngeSUS, mapOf(0)));
  EXPECT_EQ(q.size(), 2u);
}

TEST(EventQueue, ReconfigurationStillMergesAtBound) {
  EventQueue q(2);
  ASSERT_TRUE(q.push(skgxngeSUS, mapOf(0)));
  ASSERT_TRUE(q.push(skgxngeRCFG, mapOf(0)));
  EXPECT_TRUE(q.push(skgxngeRCFG, mapOf(5)));
  EXPECT_EQ(q.size(), 2u);
}

TEST(EventQueue, NumbersStartAtOneAndCountOnlyWrittenEvents) {
  EventQueue q;
  EXPECT_EQ(q.nextSeq(), 1u);
  ASSERT_TRUE(q.push(skgxngeRCFG, mapOf(1)));
  ASSERT_TRUE(q.push(skgxngeRCFG, mapOf(2)));
  q.commitFront();
  EXPECT_EQ(q.nextSeq(), 2u);
  EXPECT_TRUE(q.empty());
  ASSERT_TRUE(q.push(skgxngeSUS, mapOf(2)));
  q.commitFront();
  EXPECT_EQ(q.nextSeq(), 3u);
}

}  // namespace
}  // namespace skgxn
