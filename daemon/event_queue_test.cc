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

// Commits every waiting event as the server would, shown as "seq:event/lowest member".
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

// At the bound only a reconfiguration is taken, merged into the newest.
TEST(EventQueue, ReconfigurationsMergeIntoNewestEvenAtTheBoundAndNumbersHaveNoGap) {
  EventQueue q(3);
  std::string taken;
  const std::pair<uint32_t, uint32_t> pushes[] = {
      {skgxngeRCFG, 1}, {skgxngeRCFG, 2}, {skgxngeSUS, 2}, {skgxngeRCFG, 3},
      {skgxngeRCFG, 4}, {skgxngeRES, 0},  {skgxngeRCFG, 5}};
  for (const auto& [event, member] : pushes) taken += q.push(event, mapOf(member)) ? '+' : '-';
  EXPECT_EQ(taken, "+++++-+");
  EXPECT_EQ(drain(q), "1:1/2 2:2/2 3:1/5 ");
  ASSERT_TRUE(q.push(skgxngeRES, mapOf(0)));
  EXPECT_EQ(drain(q), "4:4/0 ");
}

}  // namespace
}  // namespace skgxn
