// velkctl's plain output: aligned columns and the fields each table shows.
#include "tools/admin_render.h"

#include <gtest/gtest.h>

namespace skgxn {
namespace {

using nlohmann::json;

TEST(AdminRender, TableAlignsColumnsWithoutTrailingBlanks) {
  EXPECT_EQ(formatTable({{"A", "BB", "C"}, {"long", "x", ""}}), "A     BB  C\nlong  x\n");
}

TEST(AdminRender, GroupsListCountsAndNumbers) {
  json a = json::parse(R"({"ok":true,"groups":[{"name":"alpha","count":2,"members":[0,5]}]})");
  EXPECT_EQ(renderGroups(a), "GROUP  COUNT  MEMBERS\nalpha  2      0,5\n");
}

TEST(AdminRender, MembersShowDataAndWaitingEvents) {
  json a = json::parse(R"({"ok":true,"members":[{"member":3,"pid":42,"uid":0,
      "joined_at":0,"events_waiting":7,"data":"01ab"}]})");
  const std::string text = renderMembers(a);
  EXPECT_NE(text.find("MEMBER  PID  UID  JOINED"), std::string::npos);
  EXPECT_NE(text.find("  7       01ab\n"), std::string::npos) << text;
}

TEST(AdminRender, StatusShowsUptimeInSeconds) {
  json a = json::parse(R"({"ok":true,"uptime":61,"groups":1,"members":2,"connections":3})");
  EXPECT_EQ(renderStatus(a), "uptime       61s\ngroups       1\nmembers      2\nconnections  3\n");
}

}  // namespace
}  // namespace skgxn
