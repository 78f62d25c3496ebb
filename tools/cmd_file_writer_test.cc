// velkctl's rewriting of the runtime command file: which lines a request
// replaces, and a write that always moves the modification time forward.
#include "tools/cmd_file_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fstream>

namespace skgxn {
namespace {

TEST(CmdFileContent, TraceOnReplacesTraceOutputAndDumpLinesOnly) {
  const std::string old =
      "# site settings\nOUTPUT SIZE 5000\nTRACE ON EVT\nOUTPUT ON /tmp/a.log\n"
      "STATS ON /var/tmp/s\nDUMP\n  TRACE OFF\n";
  EXPECT_EQ(traceOnContent(old, {"CALL", "MSG"}, "/tmp/b.log"),
            "# site settings\nOUTPUT SIZE 5000\nSTATS ON /var/tmp/s\n"
            "TRACE ON CALL MSG\nOUTPUT ON /tmp/b.log\n");
}

TEST(CmdFileContent, TraceOnWithoutCategoriesOrOutputIsBareOn) {
  EXPECT_EQ(traceOnContent("", {}, ""), "TRACE ON\n");
}

TEST(CmdFileContent, TraceOffDropsOutputOnAndKeepsStats) {
  EXPECT_EQ(traceOffContent("TRACE ON\nOUTPUT ON\nSTATS ON\n"), "STATS ON\nTRACE OFF\n");
}

TEST(CmdFileContent, DumpReplacesEarlierDumpKeepingTrace) {
  EXPECT_EQ(dumpContent("TRACE ON EVT\nDUMP /tmp/old\n", "/tmp/new"),
            "TRACE ON EVT\nDUMP /tmp/new\n");
  EXPECT_EQ(dumpContent("", ""), "DUMP\n");
}

TEST(CmdFileContent, CommentMentioningTraceIsKept) {
  EXPECT_EQ(traceOffContent("#TRACE ON\n"), "#TRACE ON\nTRACE OFF\n");
}

TEST(CmdFileContent, PathsAndCategoriesAreValidated) {
  EXPECT_TRUE(isCmdFilePath("/var/tmp/x.log"));
  EXPECT_FALSE(isCmdFilePath("relative.log"));
  EXPECT_FALSE(isCmdFilePath("/var/tmp/with blank"));
  EXPECT_FALSE(isCmdFilePath(""));
  EXPECT_TRUE(isTraceCategory("VER"));
  EXPECT_FALSE(isTraceCategory("evt"));
  EXPECT_FALSE(isTraceCategory("ERR"));
}

class CmdFileWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velkctl_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/skgxn_client_cmd";
  }
  void TearDown() override {
    std::string cmd = "rm -rf " + dir;
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  int64_t mtime() const {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mtim.tv_sec;
  }
  size_t entries() const {
    size_t n = 0;
    DIR* d = opendir(dir.c_str());
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n - 2;
  }
  std::string dir, path, step;
};

TEST_F(CmdFileWrite, NewFileGetsContentAndNow) {
  ASSERT_EQ(writeCmdFile(path, "TRACE ON\n", 1700000000, step), 0);
  EXPECT_EQ(readCmdFile(path), "TRACE ON\n");
  EXPECT_EQ(mtime(), 1700000000);
  EXPECT_EQ(entries(), 1u);
}

TEST_F(CmdFileWrite, SecondWriteInSameSecondStillMovesForward) {
  ASSERT_EQ(writeCmdFile(path, "TRACE ON\n", 1700000000, step), 0);
  ASSERT_EQ(writeCmdFile(path, "TRACE OFF\n", 1700000000, step), 0);
  EXPECT_EQ(mtime(), 1700000001);
  EXPECT_EQ(readCmdFile(path), "TRACE OFF\n");
}

TEST_F(CmdFileWrite, FileDatedInFutureStillMovesForward) {
  ASSERT_EQ(writeCmdFile(path, "A\n", 1800000000, step), 0);
  ASSERT_EQ(writeCmdFile(path, "B\n", 1700000000, step), 0);
  EXPECT_EQ(mtime(), 1800000001);
}

TEST_F(CmdFileWrite, UnwritableDirectoryNamesFailingStep) {
  EXPECT_NE(writeCmdFile(dir + "/missing/skgxn_client_cmd", "A\n", 1, step), 0);
  EXPECT_EQ(step, "mkstemp");
  EXPECT_EQ(entries(), 0u);
}

}  // namespace
}  // namespace skgxn
