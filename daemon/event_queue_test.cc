// The per-member event queue: merging of waiting reconfigurations, the
// overflow bound, and gap-free numbering.
#include "daemon/event_queue.h"

#include <gtest/gtest.h>

#include <string>

#include "skgxn.h"

namespace skgxn {
namespace {

MemberBitmap mapOf(uint32_t n) {
  MemberBitmap map{};
  addMember(map, n);
  return map;
}

// Writes out every waiting event as "seq:event/member" (the member being the
// lowest in the bitmap), as the server would.
std::string drain(EventQueue& q) {
  std::string text;
  for (; !q.empty(); q.commitFront()) {
    uint32_t n = 0;
    while (n < kMaxMembers && !hasMember(q.front().bitmap, n)) ++n;
    text += std::to_string(q.nextSeq()) + ":" + std::to_string(q.front().event) + "/" +
            std::to_string(n) + " ";
  }
  return text;
}

TEST(EventQueue, ReconfigurationsMergeIntoNewestAndNumbersHaveNoGap) {
  EventQueue q(4);
  for (const auto& [event, member] : {std::pair{skgxngeRCFG, 1u},
                                      {skgxngeRCFG, 2u},
                                      {skgxngeSUS, 2u},
                                      {skgxngeRCFG, 3u},
                                      {skgxngeRCFG, 4u}}) {
    ASSERT_TRUE(q.push(event, mapOf(member)));
  }
  EXPECT_EQ(drain(q), "1:1/2 2:2/2 3:1/4 ");
  ASSERT_TRUE(q.push(skgxngeRES, mapOf(0)));
  EXPECT_EQ(drain(q), "4:4/0 ");
}

TEST(EventQueue, PushPastBoundFailsButReconfigurationStillMerges) {
  EventQueue q(2);
  ASSERT_TRUE(q.push(skgxngeSUS, mapOf(0)));
  ASSERT_TRUE(q.push(skgxngeRCFG, mapOf(0)));
  EXPECT_TRUE(q.push(skgxngeRCFG, mapOf(5)));
  EXPECT_FALSE(q.push(skgxngeRES, mapOf(0)));
  EXPECT_EQ(drain(q), "1:2/0 2:1/5 ");
}

}  // namespace
}  // namespace skgxn
