// Tests of per-group statistics files switched by the command file. Runs in
// the private mount namespace: it writes the command file and /var/tmp.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "diag/cmd_file.h"
#include "diag/diag_state.h"
#include "diag/test_support.h"
#include "group/group_handle.h"
#include "group/stats_ring.h"

namespace skgxn {
namespace {

const std::string kMarker = "*** NEW LOGGING STARTED ***\n";

class GroupStatsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    createStatsRing();
    loadDiagnostics();
  }
  void SetUp() override { ctx_.object = &contextStandIn_; }
  void TearDown() override { releaseGroupList(list_); }

  // A new group handle with the given name, created under the current settings.
  skgxn_group named(const char* name) {
    skgxn_group handle{};
    EXPECT_EQ(createGroupHandle("skgxnreg", &ctx_, &list_, &handle), ERR_NONE);
    setGroupName(&handle, name);
    return handle;
  }
  static void switchStats(const std::string& commands) {
    test::writeCmdFile(commands);
    checkCmdFile();
  }
  static LogFile* fileOf(const skgxn_group& handle) {
    return static_cast<GroupState*>(handle.state)->statsFile.get();
  }

  int contextStandIn_ = 0;
  skgxn_context ctx_{};
  GroupList list_;
};

TEST_F(GroupStatsTest, DirectoryGetsSlashOnlyWhenMissing) {
  ::mkdir("/var/tmp/st", 0755);
  const struct {
    const char* commands;
    const char* name;
    std::string path;
  } rows[] = {{"STATS ON /var/tmp/st\n", "G:0", "/var/tmp/st/skgxn_G:0.pstat"},
              {"STATS ON\n", "DBGRP:3", "/var/tmp/skgxn_DBGRP:3.pstat"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.commands);
    switchStats(row.commands);
    skgxn_group handle = named(row.name);
    ASSERT_NE(fileOf(handle), nullptr);
    EXPECT_EQ(fileOf(handle)->path(), row.path);
    writeGroupStats(&handle, "line\n");
    EXPECT_EQ(test::readFile(row.path), kMarker + "line\n");
  }
}

TEST_F(GroupStatsTest, SwitchingOffOrOnAgainActsAtTheNextLine) {
  const std::string path = "/var/tmp/skgxn_G:5.pstat";
  switchStats("STATS ON /var/tmp\n");
  skgxn_group handle = named("G:5");
  writeGroupStats(&handle, "first\n");
  switchStats("STATS OFF\n");
  EXPECT_NE(fileOf(handle), nullptr);  // nothing happens before the next line
  writeGroupStats(&handle, "lost\n");
  EXPECT_EQ(fileOf(handle), nullptr);
  EXPECT_EQ(test::readFile(path), kMarker + "first\n");
  switchStats("STATS ON /var/tmp\n");
  writeGroupStats(&handle, "kept\n");
  EXPECT_EQ(test::readFile(path), kMarker + "first\n" + kMarker + "kept\n");
}

TEST_F(GroupStatsTest, ReleaseClosesFileWithoutAnotherLine) {
  switchStats("STATS ON /var/tmp\n");
  skgxn_group handle = named("G:7");
  writeGroupStats(&handle, "only\n");
  releaseGroupHandle(&handle);
  EXPECT_EQ(test::readFile("/var/tmp/skgxn_G:7.pstat"), kMarker + "only\n");
}

}  // namespace
}  // namespace skgxn
