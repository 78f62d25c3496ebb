// Membership policy without sockets: numbers granted and refused, a group's life, a node's
// members going at once, who hears of each change. Signals are checked via the admin answers.
#include "daemon/membership.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "skgxn.h"

namespace skgxn {
namespace {

class MembershipTest : public ::testing::Test {
 protected:
  // The number the join answers with, after checking its code.
  int32_t joinAs(MemberKey key, const std::string& name, int32_t memno, ErrCode rc = ERR_NONE) {
    int32_t granted = -2;
    EXPECT_EQ(core.join(key, JoinRequest{name, memno, {}, {}, 0}, granted, out), rc);
    return granted;
  }
  // The deliveries since the last call as "node/conn:event[members]"; clears them.
  std::string sent() {
    std::string text;
    for (const auto& d : out) {
      text += std::to_string(d.key.node) + "/" + std::to_string(d.key.conn) + ":" +
              std::to_string(d.event) + "[";
      for (uint32_t n = 0; n < kMaxMembers; ++n) {
        if (hasMember(d.bitmap, n)) text += std::to_string(n) + ",";
      }
      text += "] ";
    }
    out.clear();
    return text;
  }
  Membership core;
  Outbox out;
};

TEST_F(MembershipTest, JoinsGrantRefuseOrPickLowestFree) {
  // key, number asked, result, number granted
  const std::tuple<MemberKey, int32_t, ErrCode, int32_t> rows[] = {
      {{0, 1}, 0, ERR_NONE, 0},   {{0, 2}, 2, ERR_NONE, 2},         {{1, 1}, -1, ERR_NONE, 1},
      {{0, 4}, 128, ERR_NONE, 3}, {{0, 5}, INT32_MIN, ERR_NONE, 4}, {{0, 6}, 2, ERR_EXIST, 2}};
  for (const auto& [key, asked, rc, granted] : rows) {
    SCOPED_TRACE(std::to_string(key.conn) + " " + std::to_string(asked));
    EXPECT_EQ(joinAs(key, "g", asked, rc), granted);
    const std::string events = sent();
    EXPECT_TRUE(rc == ERR_NONE || events.empty()) << events;
  }
  EXPECT_EQ(core.memberOf({0, 6}), nullptr);
}

TEST_F(MembershipTest, FullGroupRefusesTheNextJoiner) {
  for (uint64_t conn = 1; conn <= kMaxMembers; ++conn) joinAs({0, conn}, "full", -1);
  EXPECT_EQ(joinAs({1, 1}, "full", -1, ERR_MAX_MEMBERS), -1);
}

TEST_F(MembershipTest, ChangesReachEveryMemberOfTheGroupOnlyUntilItEnds) {
  joinAs({0, 1}, "g", 3);
  EXPECT_EQ(sent(), "0/1:1[3,] ");
  joinAs({0, 2}, "other", -1);
  sent();
  joinAs({0, 3}, "g", 5);
  EXPECT_EQ(sent(), "0/1:1[3,5,] 0/3:1[3,5,] ");
  EXPECT_EQ(core.leave({0, 1}, out), ERR_NONE);
  EXPECT_EQ(sent(), "0/3:1[5,] ");
  EXPECT_EQ(core.leave({0, 1}, out), ERR_BAD_STATE);
  EXPECT_EQ(core.leave({0, 3}, out), ERR_NONE);
  EXPECT_EQ(core.groupCount(), 1u);
  EXPECT_EQ(core.query("g"), MemberBitmap{});
  EXPECT_EQ(joinAs({0, 1}, "g", 3), 3);
}

// Connection numbers repeat across nodes; only the node's own go.
TEST_F(MembershipTest, NodeGoneDropsItsMembersWithOneReconfigurationPerGroup) {
  for (const auto& [node, conn, name] :
       {std::tuple{1u, 1u, "g"}, {2u, 1u, "g"}, {1u, 2u, "g"}, {1u, 3u, "h"}, {2u, 2u, "k"}})
    joinAs({node, conn}, name, -1);
  sent();
  // node gone, members dropped, deliveries, groups left
  const std::tuple<uint32_t, size_t, std::string, size_t> rows[] = {
      {1, 3, "2/1:1[1,] ", 2}, {1, 0, "", 2}, {3, 0, "", 2}, {2, 2, "", 0}};
  for (const auto& [node, dropped, delivered, groups] : rows) {
    SCOPED_TRACE(node);
    EXPECT_EQ(core.dropNode(node, out), dropped);
    EXPECT_EQ(sent(), delivered);
    EXPECT_EQ(core.groupCount(), groups);
  }
  EXPECT_EQ(core.memberCount(), 0u);
  EXPECT_EQ(joinAs({1, 1}, "g", -1), 0);
}

}  // namespace
}  // namespace skgxn
