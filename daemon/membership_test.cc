// Membership policy without sockets: numbers granted and refused, the life
// of a group, private data, and which members hear of each change.
#include "daemon/membership.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "skgxn.h"

namespace skgxn {
namespace {

JoinRequest req(const std::string& name, int32_t memno, ByteData data = {}) {
  JoinRequest r;
  r.name = name;
  r.memno = memno;
  r.data = std::move(data);
  return r;
}

std::set<ConnId> receivers(const Outbox& out) {
  std::set<ConnId> set;
  for (const auto& d : out) set.insert(d.conn);
  return set;
}

class MembershipTest : public ::testing::Test {
 protected:
  int32_t joinAs(ConnId conn, const std::string& name, int32_t memno) {
    int32_t granted = -2;
    EXPECT_EQ(core.join(conn, req(name, memno), granted, out), ERR_NONE);
    return granted;
  }
  Membership core;
  Outbox out;
};

TEST_F(MembershipTest, AskedFreeNumberIsGranted) {
  EXPECT_EQ(joinAs(1, "g", 42), 42);
  EXPECT_TRUE(hasMember(core.query("g"), 42));
}

TEST_F(MembershipTest, TakenNumberIsRefusedWithExistenceErrorAndEchoed) {
  joinAs(1, "g", 5);
  int32_t memno = 0;
  EXPECT_EQ(core.join(2, req("g", 5), memno, out), ERR_EXIST);
  EXPECT_EQ(memno, 5);
  EXPECT_EQ(core.memberOf(2), nullptr);
}

TEST_F(MembershipTest, NumberOutsideRangeAsksForLowestFree) {
  joinAs(1, "g", 0);
  joinAs(2, "g", 2);
  EXPECT_EQ(joinAs(3, "g", -1), 1);
  EXPECT_EQ(joinAs(4, "g", 128), 3);
  EXPECT_EQ(joinAs(5, "g", INT32_MIN), 4);
}

TEST_F(MembershipTest, FullGroupRefusesWithMaximumMembers) {
  for (ConnId c = 1; c <= 128; ++c) EXPECT_EQ(joinAs(c, "g", -1), static_cast<int32_t>(c - 1));
  int32_t memno = 0;
  EXPECT_EQ(core.join(999, req("g", -1), memno, out), ERR_MAX_MEMBERS);
  EXPECT_EQ(core.join(999, req("g", 3), memno, out), ERR_MAX_MEMBERS);
  EXPECT_EQ(core.memberCount(), 128u);
}

TEST_F(MembershipTest, NameLongerThanEighteenIsInvalid) {
  int32_t memno = 0;
  EXPECT_EQ(core.join(1, req(std::string(19, 'x'), -1), memno, out), ERR_INVALID);
  EXPECT_EQ(joinAs(2, std::string(18, 'x'), -1), 0);
}

TEST_F(MembershipTest, SecondJoinOnOneConnectionIsInUse) {
  joinAs(1, "g", -1);
  out.clear();
  int32_t memno = 0;
  EXPECT_EQ(core.join(1, req("other", -1), memno, out), ERR_IN_USE);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(core.query("other"), MemberBitmap{});
}

TEST_F(MembershipTest, GroupExistsFromFirstJoinUntilLastLeave) {
  joinAs(1, "g", -1);
  joinAs(2, "g", -1);
  EXPECT_EQ(core.groupCount(), 1u);
  EXPECT_EQ(core.leave(1, out), ERR_NONE);
  EXPECT_EQ(core.groupCount(), 1u);
  EXPECT_EQ(core.leave(2, out), ERR_NONE);
  EXPECT_EQ(core.groupCount(), 0u);
  EXPECT_EQ(core.query("g"), MemberBitmap{});
}

TEST_F(MembershipTest, LeaveWithoutMembershipIsBadState) {
  EXPECT_EQ(core.leave(7, out), ERR_BAD_STATE);
  joinAs(7, "g", -1);
  EXPECT_EQ(core.leave(7, out), ERR_NONE);
  EXPECT_EQ(core.leave(7, out), ERR_BAD_STATE);
}

TEST_F(MembershipTest, LeftNumberIsFreeForRejoin) {
  joinAs(1, "g", 9);
  EXPECT_EQ(core.leave(1, out), ERR_NONE);
  EXPECT_EQ(joinAs(1, "g", 9), 9);
}

TEST_F(MembershipTest, JoinTellsEveryMemberIncludingJoiner) {
  joinAs(1, "g", -1);
  joinAs(2, "other", -1);
  out.clear();
  joinAs(3, "g", -1);
  EXPECT_EQ(receivers(out), (std::set<ConnId>{1, 3}));
  for (const auto& d : out) {
    EXPECT_EQ(d.event, static_cast<uint32_t>(skgxngeRCFG));
    EXPECT_TRUE(hasMember(d.bitmap, 0));
    EXPECT_TRUE(hasMember(d.bitmap, 1));
  }
}

TEST_F(MembershipTest, FirstJoinerSeesItselfAlone) {
  joinAs(1, "g", 3);
  ASSERT_EQ(out.size(), 1u);
  MemberBitmap expect{};
  addMember(expect, 3);
  EXPECT_EQ(out[0].bitmap, expect);
}

TEST_F(MembershipTest, LeaveTellsOnlyRemainingMembers) {
  joinAs(1, "g", -1);
  joinAs(2, "g", -1);
  out.clear();
  EXPECT_EQ(core.leave(1, out), ERR_NONE);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].conn, 2u);
  EXPECT_FALSE(hasMember(out[0].bitmap, 0));
  EXPECT_TRUE(hasMember(out[0].bitmap, 1));
}

TEST_F(MembershipTest, PrivateDataRoundTripsEmptyAndFull) {
  uint8_t full[96];
  for (int i = 0; i < 96; ++i) full[i] = static_cast<uint8_t>(i * 3);
  int32_t memno = 0;
  ASSERT_EQ(core.join(1, req("g", 0, ByteData()), memno, out), ERR_NONE);
  ASSERT_EQ(core.join(2, req("g", 1, ByteData(full, 96)), memno, out), ERR_NONE);
  ByteData got(full, 5);
  EXPECT_EQ(core.privateData(2, 0, got), ERR_NONE);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(core.privateData(1, 1, got), ERR_NONE);
  ASSERT_EQ(got.size(), 96u);
  EXPECT_EQ(0, memcmp(got.data(), full, 96));
}

TEST_F(MembershipTest, PrivateDataOfMissingMemberOrWithoutJoinIsRefused) {
  joinAs(1, "g", -1);
  joinAs(2, "other", 4);
  ByteData got;
  EXPECT_EQ(core.privateData(1, 4, got), ERR_EXIST);
  EXPECT_EQ(core.privateData(1, -1, got), ERR_EXIST);
  EXPECT_EQ(core.privateData(3, 0, got), ERR_BAD_STATE);
}

TEST_F(MembershipTest, SignalReachesGroupOrOneMember) {
  joinAs(1, "g", -1);
  joinAs(2, "g", -1);
  joinAs(3, "h", -1);
  out.clear();
  EXPECT_EQ(core.signal("g", skgxngeSUS, std::nullopt, out), ERR_NONE);
  EXPECT_EQ(receivers(out), (std::set<ConnId>{1, 2}));
  out.clear();
  EXPECT_EQ(core.signal("g", skgxngeRES, 1, out), ERR_NONE);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].conn, 2u);
  EXPECT_EQ(out[0].event, static_cast<uint32_t>(skgxngeRES));
  EXPECT_EQ(core.signal("g", skgxngeRES, 7, out), ERR_EXIST);
  EXPECT_EQ(core.signal("none", skgxngeRES, std::nullopt, out), ERR_EXIST);
}

TEST_F(MembershipTest, SignalAllReachesEveryMember) {
  joinAs(1, "g", -1);
  joinAs(2, "h", -1);
  out.clear();
  core.signalAll(skgxngeABT, out);
  EXPECT_EQ(receivers(out), (std::set<ConnId>{1, 2}));
}

TEST_F(MembershipTest, MemberRecordKeepsPeerAndJoinTime) {
  JoinRequest r = req("g", -1);
  r.peer = PeerCred{123, 1000, 1001};
  r.now = 1700000000;
  int32_t memno = 0;
  ASSERT_EQ(core.join(5, r, memno, out), ERR_NONE);
  const Member* m = core.memberOf(5);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->peer.pid, 123);
  EXPECT_EQ(m->peer.uid, 1000u);
  EXPECT_EQ(m->joinedAt, 1700000000);
}

}  // namespace
}  // namespace skgxn
