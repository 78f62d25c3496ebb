// velkctl's plain output: aligned columns and the fields each table shows.
#include "tools/admin_render.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace skgxn {
namespace {

using nlohmann::json;

TEST(AdminRender, EveryAnswerBecomesAnAlignedTableWithoutTrailingBlanks) {
  setenv("TZ", "UTC", 1);  // joining times are shown in the local zone
  tzset();
  EXPECT_EQ(formatTable({{"A", "BB", "C"}, {"long", "x", ""}}), "A     BB  C\nlong  x\n");
  EXPECT_EQ(renderStatus(json::parse(R"({"engine":"local","quorate":true,"ring":0,"nodes":1,
      "uptime":61,"groups":1,"members":2,"connections":3})")),
            "engine       local\nquorate      yes\nring         0\nnodes        1\n"
            "uptime       61s\ngroups       1\nmembers      2\nconnections  3\n");
  EXPECT_EQ(renderNodes(json::parse(R"({"nodes":[{"id":1,"name":"node1","state":"member",
      "members":2},{"id":23,"name":"23","state":"down","members":0}]})")),
            "NODE  NAME   STATE   MEMBERS\n1     node1  member  2\n23    23     down    0\n");
  EXPECT_EQ(renderGroups(json::parse(R"({"groups":[{"name":"alpha","count":2,"members":[0,5]}]})")),
            "GROUP  COUNT  MEMBERS\nalpha  2      0,5\n");
  EXPECT_EQ(renderMembers(json::parse(R"({"members":[{"member":3,"node":2,"pid":42,"uid":0,
      "joined_at":86400,"events_waiting":7,"data":"01ab"}]})")),
            "MEMBER  NODE  PID  UID  JOINED               EVENTS  DATA\n"
            "3       2     42   0    1970-01-02 00:00:00  7       01ab\n");
}

}  // namespace
}  // namespace skgxn
