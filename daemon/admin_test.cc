// Admin answers rendered from the membership core: listings, event requests
// and the refusals the administrator sees for bad or unknown input.
#include "daemon/admin.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "skgxn.h"

namespace skgxn {
namespace {

using nlohmann::json;

class AdminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    join(1, "alpha", 0, ByteData("\x01\xab", 2));
    join(2, "alpha", 5, ByteData());
    join(3, "beta", -1, ByteData());
    facts.startedAt = 100;
    facts.now = 160;
    facts.connections = 4;
    facts.eventsWaiting = [](ConnId c) { return c == 2 ? size_t{3} : size_t{0}; };
  }
  void join(ConnId conn, const std::string& name, int32_t memno, ByteData data) {
    JoinRequest r;
    r.name = name;
    r.memno = memno;
    r.data = std::move(data);
    r.peer = PeerCred{static_cast<pid_t>(1000 + conn), 500, 600};
    r.now = 1234;
    int32_t granted = 0;
    Outbox ignored;
    ASSERT_EQ(core.join(conn, r, granted, ignored), ERR_NONE);
  }
  json ask(const std::string& request) {
    out.clear();
    return json::parse(answerAdmin(request, core, facts, out));
  }
  Membership core;
  AdminFacts facts;
  Outbox out;
};

TEST_F(AdminTest, StatusCountsGroupsMembersAndConnections) {
  json a = ask(R"({"cmd":"status"})");
  EXPECT_TRUE(a["ok"]);
  EXPECT_EQ(a["uptime"], 60);
  EXPECT_EQ(a["groups"], 2);
  EXPECT_EQ(a["members"], 3);
  EXPECT_EQ(a["connections"], 4);
}

TEST_F(AdminTest, GroupsListNamesAndMemberNumbers) {
  json a = ask(R"({"cmd":"groups"})");
  ASSERT_EQ(a["groups"].size(), 2u);
  EXPECT_EQ(a["groups"][0]["name"], "alpha");
  EXPECT_EQ(a["groups"][0]["members"], json::array({0, 5}));
}

TEST_F(AdminTest, MembersShowPeerDataAndWaitingEvents) {
  json a = ask(R"({"cmd":"members","group":"alpha"})");
  ASSERT_TRUE(a["ok"]);
  ASSERT_EQ(a["members"].size(), 2u);
  EXPECT_EQ(a["members"][0]["pid"], 1001);
  EXPECT_EQ(a["members"][0]["data"], "01ab");
  EXPECT_EQ(a["members"][0]["joined_at"], 1234);
  EXPECT_EQ(a["members"][1]["member"], 5);
  EXPECT_EQ(a["members"][1]["events_waiting"], 3);
}

TEST_F(AdminTest, EventToGroupReachesEveryMember) {
  json a = ask(R"({"cmd":"event","group":"alpha","event":"suspend"})");
  EXPECT_TRUE(a["ok"]);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].event, static_cast<uint32_t>(skgxngeSUS));
}

TEST_F(AdminTest, EventToOneMemberReachesOnlyIt) {
  json a = ask(R"({"cmd":"event","group":"alpha","event":"abort","member":5})");
  EXPECT_TRUE(a["ok"]);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].conn, 2u);
  EXPECT_EQ(out[0].event, static_cast<uint32_t>(skgxngeABT));
}

TEST_F(AdminTest, UnknownTargetsAndWordsAreRefusedWithoutEvents) {
  EXPECT_FALSE(ask(R"({"cmd":"event","group":"alpha","event":"resume","member":9})")["ok"]);
  EXPECT_FALSE(ask(R"({"cmd":"event","group":"gamma","event":"resume"})")["ok"]);
  EXPECT_FALSE(ask(R"({"cmd":"event","group":"alpha","event":"explode"})")["ok"]);
  EXPECT_FALSE(ask(R"({"cmd":"members","group":"gamma"})")["ok"]);
  EXPECT_FALSE(ask(R"({"cmd":"reboot"})")["ok"]);
  EXPECT_TRUE(out.empty());
}

TEST_F(AdminTest, MalformedRequestsAnswerWithAnError) {
  for (const char* bad : {"", "{", "[1,2]", R"({"cmd":7})", R"({"cmd":"members","group":3})",
                          R"({"cmd":"event","group":"alpha","event":"abort","member":"x"})"}) {
    json a = ask(bad);
    EXPECT_FALSE(a["ok"]) << bad;
    EXPECT_TRUE(a.contains("error")) << bad;
  }
}

}  // namespace
}  // namespace skgxn
