// Tests of the command file: the tokenizer, every command and its defaults,
// the reset of groups a file no longer holds, and the check's time rule.
// Runs in a private mount namespace: it writes the fixed command file and the
// default files in /var/tmp.
#include "diag/cmd_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "diag/diag_internal.h"
#include "diag/test_support.h"
#include "diag/trace.h"

namespace skgxn {
namespace {

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);

class CmdFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unlink(kCmdFilePath);
    apply("");
    std::lock_guard<std::mutex> guard(traceLock());
    diagSettings().outputSize = 0;
    diagSettings().outputCount = 0;
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

  // Writes the real command file with the given modification time.
  static void writeCmdFile(const std::string& text, time_t mtime) {
    writeFile(kCmdFilePath, text);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, kCmdFilePath, times, 0), 0);
  }

  static uint32_t mask() { return traceMask.load(); }
  static bool logOpen() { return traceLogOpen.load(); }
  static DiagSettings settings() {
    std::lock_guard<std::mutex> guard(traceLock());
    return diagSettings();
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("cmd");
};

TEST_F(CmdFileTest, EmptyFileMeansErrorsOnlyNoLogNoStatistics) {
  apply("TRACE ON\nOUTPUT ON\nSTATS ON\n");
  ASSERT_TRUE(logOpen());
  apply("");
  EXPECT_EQ(mask(), 0x01u);
  EXPECT_FALSE(logOpen());
  EXPECT_FALSE(statsEnabled.load());
  EXPECT_EQ(statsSettings().dir, "");
}

TEST_F(CmdFileTest, TraceOnSetsNamedCategoriesOrAllButVerbose) {
  apply("TRACE ON\n");
  EXPECT_EQ(mask(), 0x1Fu);
  apply("TRACE ON CALL MSG\n");
  EXPECT_EQ(mask(), 0x0Du);
  apply("TRACE ON VER\n");
  EXPECT_EQ(mask(), 0x21u);
  apply("TRACE ON call\n");
  EXPECT_EQ(mask(), 0x01u);
}

TEST_F(CmdFileTest, TraceOffClearsNamedCategoriesButNeverErrors) {
  apply("TRACE ON\nTRACE OFF EVT\n");
  EXPECT_EQ(mask(), 0x1Du);
  apply("TRACE ON\n");
  apply("TRACE OFF EVT\n");
  EXPECT_EQ(mask(), 0x1Du);
  apply("TRACE ON\nTRACE OFF\n");
  EXPECT_EQ(mask(), 0x01u);
  apply("TRACE ON\n");
  apply("TRACE\nTRACE MAYBE CALL\n");  // no TRACE line counts: back to errors only
  EXPECT_EQ(mask(), 0x01u);
}

TEST_F(CmdFileTest, BlanksTabsCarriageReturnsCommentsAndMissingLastNewline) {
  apply("# TRACE ON VER\n #\tSTATS OFF\nTRACE\tON  \t CALL\r\nSTATS   ON\t/some/dir\r");
  EXPECT_EQ(mask(), 0x05u);
  EXPECT_EQ(statsSettings().dir, "/some/dir");
}

TEST_F(CmdFileTest, OutputOnWithoutPathUsesDefaultLog) {
  unlink("/var/tmp/skgxn_client.log");
  apply("OUTPUT ON\n");
  EXPECT_TRUE(logOpen());
  traceLine("CmdFileTest:default log\n", TRACE_ERR);
  std::vector<std::string> lines = splitLines(readFile("/var/tmp/skgxn_client.log"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "*** NEW LOGGING STARTED ***");
  EXPECT_EQ(withoutPrefix(lines[1]), "CmdFileTest:default log");
}

TEST_F(CmdFileTest, OutputOnWithPathUsesItAndReopensAtEveryProcessing) {
  std::string log = dir_.file("trace.log");
  apply("OUTPUT ON " + log + " ignored words\n");
  apply("OUTPUT ON " + log + "\n");
  EXPECT_EQ(readFile(log), "*** NEW LOGGING STARTED ***\n*** NEW LOGGING STARTED ***\n");
  apply("OUTPUT OFF\n");
  EXPECT_FALSE(logOpen());
}

TEST_F(CmdFileTest, OutputSizeAloneIsStoredAndClosesLog) {
  apply("OUTPUT ON " + dir_.file("log") + "\n");
  apply("OUTPUT SIZE 100000\n");
  EXPECT_EQ(settings().outputSize, 100000u);
  EXPECT_FALSE(logOpen());
}

TEST_F(CmdFileTest, SizeAfterOutputOnAppliesFromNextProcessing) {
  auto file = [](const std::string& log) {
    return "OUTPUT COUNT 1\nOUTPUT ON " + log + "\nOUTPUT SIZE 100\n";
  };
  std::string text(80, 'w');
  text += '\n';
  std::string first = dir_.file("first");
  apply(file(first));
  traceLine(text.c_str(), TRACE_ERR);  // well past 100 bytes: no limit yet
  EXPECT_FALSE(exists(first + "1"));
  std::string second = dir_.file("second");
  apply(file(second));
  traceLine(text.c_str(), TRACE_ERR);  // the newly opened log has the limit
  EXPECT_TRUE(exists(second + "1"));
}

TEST_F(CmdFileTest, NumbersConvertLikeAtoi) {
  apply("OUTPUT SIZE 12abc\nOUTPUT COUNT -1\nSTATS SIZE\nSTATS COUNT 99999999999999999999\n");
  DiagSettings now = settings();
  EXPECT_EQ(now.outputSize, 12u);
  EXPECT_EQ(now.outputCount, 0xFFFFFFFFu);
  EXPECT_EQ(now.stats.size, 0u);
  EXPECT_EQ(now.stats.count, 0x7FFFFFFFu);  // saturated, not overflowed
}

TEST_F(CmdFileTest, StatsOnOffAndDefaultDirectory) {
  apply("STATS ON\nSTATS SIZE 500\nSTATS COUNT 3\n");
  StatsSettings stats = statsSettings();
  EXPECT_EQ(stats.dir, "/var/tmp/");
  EXPECT_EQ(stats.size, 500u);
  EXPECT_EQ(stats.count, 3u);
  EXPECT_TRUE(statsEnabled.load());
  apply("STATS OFF\n");
  EXPECT_FALSE(statsEnabled.load());
  EXPECT_EQ(statsSettings().size, 500u);
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
  writeCmdFile("TRACE ON CALL\n", 1000000);
  checkCmdFile();
  EXPECT_EQ(mask(), 0x05u);
  writeCmdFile("TRACE ON MSG\n", 1000000);  // same second: not seen
  checkCmdFile();
  EXPECT_EQ(mask(), 0x05u);
  writeCmdFile("TRACE ON EVT\n", 999999);  // older: not seen either
  checkCmdFile();
  EXPECT_EQ(mask(), 0x05u);
  writeCmdFile("TRACE ON MSG\n", 1000001);
  checkCmdFile();
  EXPECT_EQ(mask(), 0x09u);
}

TEST_F(CmdFileTest, DeletingFileClosesLogAndResetsMaskButKeepsStatistics) {
  writeCmdFile("TRACE ON\nOUTPUT ON " + dir_.file("log") + "\nSTATS ON\n", 2000000);
  checkCmdFile();
  ASSERT_TRUE(logOpen());
  unlink(kCmdFilePath);
  checkCmdFile();
  EXPECT_EQ(mask(), 0x01u);
  EXPECT_FALSE(logOpen());
  EXPECT_EQ(statsSettings().dir, "/var/tmp/");
}

TEST_F(CmdFileTest, CommandFileThatIsFifoIsNotWaitedFor) {
  ASSERT_EQ(mkfifo(kCmdFilePath, 0600), 0);
  checkCmdFile();
  EXPECT_EQ(mask(), 0x01u);
}

}  // namespace
}  // namespace skgxn
