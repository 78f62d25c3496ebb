// velkctl's rewriting of the runtime command file: which lines a request
// replaces, and a write that always moves the modification time forward.
#include "tools/cmd_file_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>

namespace skgxn {
namespace {

TEST(CmdFileContent, RequestsReplaceOnlyTheirOwnLines) {
  const std::string old =
      "# site settings\nOUTPUT SIZE 5000\nTRACE ON EVT\nOUTPUT ON /tmp/a.log\n"
      "STATS ON /var/tmp/s\nDUMP\n  TRACE OFF\nOUTPUT OFF\n";
  const struct {
    std::string got, want;
  } rows[] = {
      {traceOnContent(old, {"CALL", "MSG"}, "/tmp/b.log"),
       "# site settings\nOUTPUT SIZE 5000\nSTATS ON /var/tmp/s\nTRACE ON CALL MSG\n"
       "OUTPUT ON /tmp/b.log\n"},
      {traceOnContent("", {}, ""), "TRACE ON\n"},
      {traceOffContent("TRACE ON\nOUTPUT ON\nSTATS ON\n#TRACE ON\n"),
       "STATS ON\n#TRACE ON\nTRACE OFF\n"},
      {dumpContent("TRACE ON EVT\nDUMP /tmp/old\n", "/tmp/new"), "TRACE ON EVT\nDUMP /tmp/new\n"},
      {dumpContent("", ""), "DUMP\n"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.got, row.want);
}

TEST(CmdFileContent, OnlyAbsoluteUnbrokenPathsAndKnownCategoriesPass) {
  EXPECT_TRUE(isCmdFilePath("/var/tmp/x.log"));
  for (const char* bad : {"relative.log", "/var/tmp/with blank", ""})
    EXPECT_FALSE(isCmdFilePath(bad));
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
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  int64_t mtime() const {
    struct stat st {};
    EXPECT_EQ(stat(path().c_str(), &st), 0);
    return st.st_mtim.tv_sec;
  }
  std::string path() const { return dir + "/skgxn_client_cmd"; }
  size_t entries() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
  }
  std::string dir, step;
};

TEST_F(CmdFileWrite, EveryWriteReplacesContentAndMovesTimeForward) {
  ASSERT_EQ(writeCmdFile(path(), "TRACE ON\n", 1700000000, step), 0);
  EXPECT_EQ(mtime(), 1700000000);
  ASSERT_EQ(writeCmdFile(path(), "TRACE OFF\n", 1700000000, step), 0);
  EXPECT_EQ(mtime(), 1700000001);
  ASSERT_EQ(writeCmdFile(path(), "DUMP\n", 1600000000, step), 0);
  EXPECT_EQ(mtime(), 1700000002);
  EXPECT_EQ(readCmdFile(path()), "DUMP\n");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(CmdFileWrite, MissingDirectoriesAreMadeReadableToAllAndAFileInTheWayIsNamed) {
  const mode_t old = umask(077);
  EXPECT_EQ(writeCmdFile(dir + "/cluster/velk/skgxn_client_cmd", "A\n", 1, step), 0);
  umask(old);
  for (const char* sub : {"/cluster", "/cluster/velk"}) {
    struct stat st {};
    ASSERT_EQ(stat((dir + sub).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u) << sub;
  }
  EXPECT_NE(writeCmdFile(dir + "/cluster/velk/skgxn_client_cmd/d/x", "A\n", 1, step), 0);
  EXPECT_EQ(step, "mkdir");
}

}  // namespace
}  // namespace skgxn
