// Tests of the command file: the tokenizer, every command and its defaults,
// the reset of groups a file no longer holds, the check's time rule and whose
// file it obeys.
// Runs in a private mount namespace: it writes the fixed command file and the
// default files in /var/tmp.
#include "diag/cmd_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>

#include "diag/diag_internal.h"
#include "diag/test_support.h"
#include "diag/trace.h"

namespace skgxn {
namespace {

using namespace test;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);
const std::string kMarkerLine = "*** NEW LOGGING STARTED ***";

class CmdFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unlink(kCmdFilePath);
    apply("OUTPUT SIZE 0\nOUTPUT COUNT 0\n");
    setStatsSettings(StatsSettings{});
  }
  void TearDown() override {
    apply("");
    unlink(kCmdFilePath);
    resetCmdFileState();
  }

  // Processes a command file holding text, as a changed file is processed.
  void apply(const std::string& text) {
    writeFile(path_, text);
    processCmdFile(path_.c_str());
  }

  // Makes the real command file anew with the given modification time, owner
  // and mode, and checks it as a process whose effective user is caller.
  static void check(const std::string& text, time_t mtime, uid_t owner = 0, mode_t mode = 0644,
                    uid_t caller = 0) {
    unlink(kCmdFilePath);
    writeFile(kCmdFilePath, text);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(chown(kCmdFilePath, owner, owner) | chmod(kCmdFilePath, mode) |
                  utimensat(AT_FDCWD, kCmdFilePath, times, 0) | seteuid(caller),
              0);
    checkCmdFile();
    ASSERT_EQ(seteuid(0), 0);
  }

  static uint32_t mask() { return traceMask.load(); }

  // Everything a processed file sets, as one comparable line.
  static std::string state() {
    std::lock_guard<std::mutex> guard(traceLock());
    const DiagSettings& s = diagSettings();
    char text[512];
    std::snprintf(text, sizeof text, "mask=%#x log=%d out=%u/%u stats='%s' %u/%u %d", mask(),
                  traceLogOpen.load(), s.outputSize, s.outputCount, s.stats.dir.c_str(),
                  s.stats.size, s.stats.count, statsEnabled.load());
    return text;
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("cmd");
};

TEST_F(CmdFileTest, EmptyFileMeansErrorsOnlyNoLogNoStatistics) {
  apply("TRACE ON\nOUTPUT ON\nSTATS ON\n");
  ASSERT_TRUE(traceLogOpen.load());
  apply("");
  EXPECT_EQ(state(), "mask=0x1 log=0 out=0/0 stats='' 0/0 0");
}

TEST_F(CmdFileTest, TraceLinesSetTheMaskFromTheirWordsAndNeverDropErrors) {
  // The previous file always held TRACE ON; the last row adds tabs, CRs and comments.
  const std::pair<const char*, uint32_t> rows[] = {
      {"TRACE ON\n", 0x1F},
      {"TRACE ON CALL MSG\n", 0x0D},
      {"TRACE ON VER\n", 0x21},
      {"TRACE ON call\n", 0x01},
      {"TRACE OFF EVT\n", 0x1D},
      {"TRACE ON\nTRACE OFF\n", 0x01},
      {"TRACE\nTRACE MAYBE CALL\n", 0x01},
      {"# TRACE ON VER\n #\tSTATS OFF\nTRACE\tON  \t CALL\r\nSTATS   ON\t/some/dir\r", 0x05}};
  for (const auto& [text, expected] : rows) {
    SCOPED_TRACE(text);
    apply("TRACE ON\n");
    apply(text);
    EXPECT_EQ(mask(), expected);
  }
  EXPECT_EQ(statsSettings().dir, "/some/dir");  // the last row: tab and CR end the word
}

TEST_F(CmdFileTest, OutputOnUsesGivenOrDefaultLogAndReopensAtEveryProcessing) {
  unlink("/var/tmp/skgxn_client.log");
  apply("OUTPUT ON\n");
  traceLine("CmdFileTest:default log\n", TRACE_ERR);
  std::string log = dir_.file("trace.log");
  apply("OUTPUT ON " + log + " ignored words\n");
  apply("OUTPUT ON " + log + "\n");
  apply("OUTPUT OFF\n");
  EXPECT_FALSE(traceLogOpen.load());
  traceLine("CmdFileTest:no log\n", TRACE_ERR);
  EXPECT_EQ(readFile(log), kMarkerLine + "\n" + kMarkerLine + "\n");
  std::vector<std::string> lines = splitLines(readFile("/var/tmp/skgxn_client.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], kMarkerLine);
  EXPECT_EQ(withoutPrefix(lines[1]), "CmdFileTest:default log");
}

TEST_F(CmdFileTest, SizeBeforeOnLimitsThatLogAndSizeAfterOnOnlyTheNext) {
  const std::string text = std::string(80, 'w') + "\n";
  std::string after = dir_.file("after"), before = dir_.file("before");
  apply("OUTPUT COUNT 1\nOUTPUT ON " + after + "\nOUTPUT SIZE 100\n");
  traceLine(text.c_str(), TRACE_ERR);  // well past 100 bytes: no limit yet
  EXPECT_FALSE(exists(after + "1"));
  apply("OUTPUT SIZE 100000\n");  // stored alone, and the log is closed
  EXPECT_EQ(state(), "mask=0x1 log=0 out=100000/1 stats='' 0/0 0");
  apply("OUTPUT COUNT 1\nOUTPUT SIZE 100\nOUTPUT ON " + before + "\n");
  traceLine(text.c_str(), TRACE_ERR);
  EXPECT_TRUE(exists(before + "1"));
}

TEST_F(CmdFileTest, NumbersConvertLikeAtoiAndStatsOnDefaultsToVarTmp) {
  apply(
      "OUTPUT SIZE 12abc\nOUTPUT COUNT -1\nSTATS SIZE\nSTATS COUNT 99999999999999999999\n"
      "STATS ON\n");  // the count saturates, not overflows
  EXPECT_EQ(state(), "mask=0x1 log=0 out=12/4294967295 stats='/var/tmp/' 0/2147483647 1");
  apply("STATS SIZE 500\nSTATS COUNT 3\nSTATS OFF\n");
  EXPECT_EQ(state(), "mask=0x1 log=0 out=12/4294967295 stats='' 500/3 0");
}

TEST_F(CmdFileTest, DumpWritesRecordToDefaultOrGivenPath) {
  writeFile("/var/tmp/skgxn_client_dump.log", std::string(70000, 'o'));
  traceLine("CmdFileTest:dumped\n", TRACE_ERR);
  std::string given = dir_.file("dump");
  apply("DUMP\nDUMP " + given + "\n");
  std::string dump = readFile("/var/tmp/skgxn_client_dump.log");
  EXPECT_EQ(dump.find(std::string(100, 'o')), std::string::npos);
  EXPECT_EQ(withoutPrefix(splitLines(dump).back()), "CmdFileTest:dumped");
  EXPECT_EQ(readFile(given), dump);
}

TEST_F(CmdFileTest, CheckProcessesOnlyWhenTimeMovesForward) {
  check("TRACE ON CALL\n", 1000000);
  EXPECT_EQ(mask(), 0x05u);
  check("TRACE ON MSG\n", 1000000);  // same second: not seen
  check("TRACE ON EVT\n", 999999);   // older: not seen either
  EXPECT_EQ(mask(), 0x05u);
  check("TRACE ON MSG\n", 1000001);
  EXPECT_EQ(mask(), 0x09u);
}

TEST_F(CmdFileTest, DeletingFileClosesLogAndResetsMaskButKeepsStatistics) {
  check("TRACE ON\nOUTPUT ON " + dir_.file("log") + "\nSTATS ON\n", 2000000);
  ASSERT_TRUE(traceLogOpen.load());
  unlink(kCmdFilePath);
  checkCmdFile();
  EXPECT_EQ(state(), "mask=0x1 log=0 out=0/0 stats='/var/tmp/' 0/0 1");
}

TEST_F(CmdFileTest, OnlyFileOfRootOrOwnUserThatNoOneElseMayWriteIsObeyed) {
  constexpr uid_t kUser = 65534, kOther = 65533;
  // Owner, mode, the process's user, and the mask after "TRACE ON CALL".
  const std::tuple<uid_t, mode_t, uid_t, uint32_t> rows[] = {
      {0, 0644, 0, 0x05},         {0, 0644, kUser, 0x05}, {kUser, 0600, kUser, 0x05},
      {0, 0664, 0, 0x01},         {0, 0646, kUser, 0x01}, {kUser, 0644, 0, 0x01},
      {kOther, 0644, kUser, 0x01}};
  time_t mtime = 3000000;
  for (const auto& [owner, mode, caller, expected] : rows) {
    SCOPED_TRACE(::testing::Message() << owner << " " << mode << " " << caller);
    apply("");
    check("TRACE ON CALL\n", ++mtime, owner, mode, caller);
    EXPECT_EQ(mask(), expected);
  }
}

TEST_F(CmdFileTest, IgnoredFileClosesLogSaysWhyOncePerChangeAndCountsOnceFixed) {
  const std::string log = dir_.file("log"), text = "TRACE ON CALL\nOUTPUT ON " + log + "\n";
  const std::string warning = "checkCmdFile:WARN " + std::string(kCmdFilePath) +
                              " ignored: mode 0666 lets group or others write it";
  auto warnings = [&] {
    std::vector<std::string> lines = traceRecordLines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return withoutPrefix(line) == warning; });
  };
  check(text, 4000000);
  const auto before = warnings();
  check(text, 4000001, 0, 0666);
  checkCmdFile();
  EXPECT_EQ(warnings(), before + 1);
  EXPECT_EQ(state(), "mask=0x1 log=0 out=0/0 stats='' 0/0 0");
  ASSERT_EQ(chmod(kCmdFilePath, 0644), 0);  // the modification time stays
  checkCmdFile();
  EXPECT_EQ(state(), "mask=0x5 log=1 out=0/0 stats='' 0/0 0");
  std::vector<std::string> lines = splitLines(readFile(log));  // marker, warning, marker
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(withoutPrefix(lines[1]), warning);
}

TEST_F(CmdFileTest, CommandFileThatIsFifoIsNotWaitedFor) {
  ASSERT_EQ(mkfifo(kCmdFilePath, 0600), 0);
  checkCmdFile();
  EXPECT_EQ(mask(), 0x01u);
}

}  // namespace
}  // namespace skgxn
