// velkctl's rewriting of the runtime command file: which lines a request
// replaces, and a write that always moves the modification time forward.
#include "tools/cmd_file_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>
#include <tuple>

namespace skgxn {
namespace {

TEST(CmdFileContent, RequestsReplaceOnlyTheirOwnLines) {
  const std::string old =
      "# site settings\nOUTPUT SIZE 5000\nTRACE ON EVT\nOUTPUT ON /tmp/a.log\n"
      "STATS ON /var/tmp/s\nDUMP\n  TRACE OFF\nOUTPUT OFF\n";
  const std::pair<std::string, std::string> rows[] = {
      {traceOnContent(old, {"CALL", "MSG"}, "/tmp/b.log"),
       "# site settings\nOUTPUT SIZE 5000\nSTATS ON /var/tmp/s\nTRACE ON CALL MSG\n"
       "OUTPUT ON /tmp/b.log\n"},
      {traceOnContent("", {}, ""), "TRACE ON\n"},
      {traceOffContent("TRACE ON\nOUTPUT ON\nSTATS ON\n#TRACE ON\n"),
       "STATS ON\n#TRACE ON\nTRACE OFF\n"},
      {dumpContent("TRACE ON EVT\nDUMP /tmp/old\n", "/tmp/new"), "TRACE ON EVT\nDUMP /tmp/new\n"},
      {dumpContent("", ""), "DUMP\n"},
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

TEST(CmdFileContent, OnlyAbsoluteUnbrokenPathsAndKnownCategoriesPass) {
  EXPECT_TRUE(isCmdFilePath("/var/tmp/x.log") && isTraceCategory("VER"));
  for (const char* bad : {"relative.log", "/tmp/a b", ""}) EXPECT_FALSE(isCmdFilePath(bad)) << bad;
  EXPECT_FALSE(isTraceCategory("evt") || isTraceCategory("ERR"));
}

// Every write replaces the content and moves the time forward, whatever
// the clock says; missing directories are made readable to all, and a file
// in their way is named.
TEST(CmdFileWrite, ReplacesContentMovesTimeForwardAndMakesDirectories) {
  char dir[] = "/tmp/velkctl_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string velk = std::string(dir) + "/cluster/velk", path = velk + "/skgxn_client_cmd";
  std::string step;
  const mode_t old = umask(077);
  for (const auto& [content, now, mtime] : {std::tuple{"TRACE ON\n", 1700000000, 1700000000},
                                            {"TRACE OFF\n", 1700000000, 1700000001},
                                            {"DUMP\n", 1600000000, 1700000002}}) {
    ASSERT_EQ(writeCmdFile(path, content, now, step), 0);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, mtime);
    EXPECT_EQ(readCmdFile(path), content);
  }
  umask(old);
  for (const std::string& made : {velk + "/..", velk})
    EXPECT_EQ(std::filesystem::status(made).permissions(), std::filesystem::perms(0755)) << made;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(velk), {}), 1);
  EXPECT_NE(writeCmdFile(path + "/d/x", "A\n", 1, step), 0);
  EXPECT_EQ(step, "mkdir");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace skgxn
