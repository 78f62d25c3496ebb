// Tests of per-group statistics files switched by the command file. Runs in
// the private mount namespace: it writes the command file and /var/tmp.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "diag/cmd_file.h"
#include "diag/diag_state.h"
#include "group/diag_test_support.h"
#include "group/group_handle.h"
#include "group/stats_ring.h"

namespace skgxn {
namespace {

constexpr const char* kMarker = "*** NEW LOGGING STARTED ***\n";

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class GroupStatsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    createStatsRing();
    loadDiagnostics();
  }

  void SetUp() override {
    ctx_.object = &contextStandIn_;
    ASSERT_EQ(createGroupHandle("skgxnreg", &ctx_, &list_, &handle_), ERR_NONE);
  }

  void TearDown() override { releaseGroupList(list_); }

  static void switchStats(const std::string& commands) {
    testsupport::writeCmdFile(commands);
    checkCmdFile();
  }

  GroupState& state() { return *static_cast<GroupState*>(handle_.state); }

  int contextStandIn_ = 0;
  skgxn_context ctx_{};
  GroupList list_;
  skgxn_group handle_{};
};

TEST_F(GroupStatsTest, DirectoryWithoutSlashGetsOneAdded) {
  ::mkdir("/var/tmp/st", 0755);
  switchStats("STATS ON /var/tmp/st\n");
  setGroupName(&handle_, "G:0");
  ASSERT_NE(state().statsFile, nullptr);
  EXPECT_EQ(state().statsFile->path(), "/var/tmp/st/skgxn_G:0.pstat");
  writeGroupStats(&handle_, "line\n");
  EXPECT_EQ(readFile("/var/tmp/st/skgxn_G:0.pstat"), std::string(kMarker) + "line\n");
}

TEST_F(GroupStatsTest, DefaultDirectoryKeepsItsSlash) {
  switchStats("STATS ON\n");
  setGroupName(&handle_, "DBGRP:3");
  writeGroupStats(&handle_, "poll line\n");
  EXPECT_EQ(readFile("/var/tmp/skgxn_DBGRP:3.pstat"), std::string(kMarker) + "poll line\n");
}

TEST_F(GroupStatsTest, StatisticsOffClosesOpenFileAtNextLine) {
  switchStats("STATS ON /var/tmp\n");
  setGroupName(&handle_, "G:5");
  writeGroupStats(&handle_, "first\n");
  ASSERT_NE(state().statsFile, nullptr);

  switchStats("STATS OFF\n");
  EXPECT_NE(state().statsFile, nullptr);  // nothing happens before the next line
  writeGroupStats(&handle_, "second\n");
  EXPECT_EQ(state().statsFile, nullptr);
  EXPECT_EQ(readFile("/var/tmp/skgxn_G:5.pstat"), std::string(kMarker) + "first\n");
}

TEST_F(GroupStatsTest, StatisticsOnAgainOpensFreshFileAtNextLine) {
  switchStats("STATS ON /var/tmp\n");
  setGroupName(&handle_, "G:6");
  switchStats("STATS OFF\n");
  writeGroupStats(&handle_, "lost\n");
  switchStats("STATS ON /var/tmp\n");
  writeGroupStats(&handle_, "kept\n");
  std::string text = readFile("/var/tmp/skgxn_G:6.pstat");
  EXPECT_EQ(occurrences(text, kMarker), 2u);
  EXPECT_EQ(text.find("lost"), std::string::npos);
  EXPECT_NE(text.find("kept\n"), std::string::npos);
}

TEST_F(GroupStatsTest, ReleaseClosesFileWithoutAnotherLine) {
  switchStats("STATS ON /var/tmp\n");
  setGroupName(&handle_, "G:7");
  writeGroupStats(&handle_, "only\n");
  releaseGroupHandle(&handle_);
  EXPECT_EQ(readFile("/var/tmp/skgxn_G:7.pstat"), std::string(kMarker) + "only\n");
}

}  // namespace
}  // namespace skgxn
