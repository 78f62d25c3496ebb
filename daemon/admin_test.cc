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
    join(2, "alpha", 5, {});
    join(3, "beta", -1, {}, 2);
    facts = {100, 160, 4, [](MemberKey m) { return m.conn == 2 ? size_t{3} : size_t{0}; }, {}, {}};
    facts.signal = [this](const std::string& name, uint32_t event, std::optional<int32_t> n) {
      return core.signal(name, event, n, out);
    };
    facts.engine = {"corosync", true, 12, {{0, "here", "member"}, {2, "\x1b]0;", "down"}}};
  }
  void join(ConnId conn, const std::string& name, int32_t memno, ByteData data, uint32_t node = 0) {
    JoinRequest r{name, memno, std::move(data), PeerCred{static_cast<pid_t>(1000 + conn), 500, 600},
                  1234};
    int32_t granted = 0;
    ASSERT_EQ(core.join({node, conn}, r, granted, out), ERR_NONE);
  }
  json ask(const std::string& request) {
    out.clear();
    return json::parse(answerAdmin(request, core, facts));
  }
  Membership core;
  AdminFacts facts;
  Outbox out;
};

TEST_F(AdminTest, ListingsShowStatusNodesGroupsAndMembers) {
  EXPECT_EQ(ask(R"({"cmd":"status"})"), json::parse(R"({"ok":true,"uptime":60,"groups":2,
      "members":3,"connections":4,"engine":"corosync","quorate":true,"ring":12,"nodes":1})"));
  EXPECT_EQ(ask(R"({"cmd":"nodes"})"), json::parse(R"({"ok":true,"nodes":[
      {"id":0,"name":"here","state":"member","members":2},
      {"id":2,"name":"\\x1b]0;","state":"down","members":1}]})"));
  EXPECT_EQ(ask(R"({"cmd":"groups"})"), json::parse(R"({"ok":true,"groups":[
      {"name":"alpha","count":2,"members":[0,5]},{"name":"beta","count":1,"members":[0]}]})"));
  EXPECT_EQ(ask(R"({"cmd":"members","group":"alpha"})"), json::parse(R"({"ok":true,
      "group":"alpha","members":[
      {"member":0,"node":0,"pid":1001,"uid":500,"gid":600,"data":"01ab","joined_at":1234,
       "events_waiting":0},
      {"member":5,"node":0,"pid":1002,"uid":500,"gid":600,"data":"","joined_at":1234,
       "events_waiting":3}]})"));
}

// Names arrive in the notation of escapeText, and are found by it.
TEST_F(AdminTest, HostileGroupNamesAreShownEscapedAndFoundAsShown) {
  join(4, "\x1b]0;\xff", 0, {});
  EXPECT_EQ(ask(R"({"cmd":"groups"})")["groups"][0]["name"], "\\x1b]0;\\xff");
  EXPECT_EQ(ask(R"({"cmd":"members","group":"\\x1b]0;\\xff"})")["group"], "\\x1b]0;\\xff");
  EXPECT_EQ(ask(R"({"cmd":"members","group":"\u001b\\"})")["error"], "no such group: \\x1b\\\\");
}

// An empty list of deliveries stands for a refusal.
TEST_F(AdminTest, EventsReachTheirTargetsAndBadRequestsAreRefused) {
  const std::pair<const char*, std::vector<std::pair<ConnId, uint32_t>>> rows[] = {
      {R"({"cmd":"event","group":"alpha","event":"suspend"})", {{1, skgxngeSUS}, {2, skgxngeSUS}}},
      {R"({"cmd":"event","group":"alpha","event":"abort","member":5})", {{2, skgxngeABT}}},
      {R"({"cmd":"event","group":"alpha","event":"resume","member":9})", {}},
      {R"({"cmd":"event","group":"alpha","event":"explode"})", {}},
      {R"({"cmd":"event","group":"alpha","event":"abort","member":"x"})", {}},
      {R"({"cmd":"members","group":"gamma"})", {}},
      {R"({"cmd":"members","group":3})", {}},
      {R"({"cmd":"reboot"})", {}},
      {R"({"cmd":7})", {}},
      {"[1,2]", {}},
      {"{", {}},
      {"\xff", {}}};
  for (const auto& [request, want] : rows) {
    SCOPED_TRACE(request);
    const json a = ask(request);
    EXPECT_EQ(a["ok"], !want.empty());
    EXPECT_EQ(a.contains("error"), want.empty());
    std::vector<std::pair<ConnId, uint32_t>> sent;
    for (const auto& d : out) sent.emplace_back(d.key.conn, d.event);
    EXPECT_EQ(sent, want);
  }
}

}  // namespace
}  // namespace skgxn
