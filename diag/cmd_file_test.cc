// Tests of the command file: what a processed file sets, the log and dump it opens, which
// files the check obeys, threads tracing as it changes. Private mount namespace: fixed paths.
#include "diag/cmd_file.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <tuple>

#include "diag/diag_internal.h"
#include "diag/report.h"
#include "diag/test_support.h"

namespace skgxn {
namespace {

using namespace test;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);

class CmdFileTest : public ::testing::Test {
 protected:
  void SetUp() override {  // a file lacking the other groups resets them too
    unlink(kCmdFilePath);
    resetCmdFileState();
    apply("OUTPUT SIZE 0\nOUTPUT COUNT 0\nSTATS SIZE 0\nSTATS COUNT 0\n");
  }

  // Processes a file holding text, as a changed command file is processed.
  void apply(const std::string& text) {
    writeFile(path_, text);
    processCmdFile(path_.c_str());
  }

  // Everything a processed file sets, as one comparable line.
  static std::string state() {
    std::lock_guard<std::mutex> guard(traceLock());
    const DiagSettings& s = diagSettings();
    char text[512];
    std::snprintf(text, sizeof text, "%#x log=%d out=%u/%u stats='%s' %u/%u %d", traceMask.load(),
                  traceLogOpen.load(), s.outputSize, s.outputCount, s.stats.dir.c_str(),
                  s.stats.size, s.stats.count, statsEnabled.load());
    return text;
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("cmd"), log_ = dir_.file("log");
};

TEST_F(CmdFileTest, ProcessedFileSetsWhatItHoldsAndResetsTheGroupsItLacks) {
  // Each row follows a file that switched everything on; the tokenizer row
  // has tabs, CRs and comments, and numbers convert as atoi does, saturated.
  const std::pair<std::string, std::string> rows[] = {
      {"", "0x1 log=0 out=0/0 stats='' 0/0 0"},
      {"TRACE ON CALL MSG", "0xd log=0 out=0/0 stats='' 0/0 0"},  // no last newline
      {"TRACE ON VER\nOUTPUT ON " + log_ + " ignored\n", "0x21 log=1 out=0/0 stats='' 0/0 0"},
      {"TRACE ON call\nSTATS ON\n", "0x1 log=0 out=0/0 stats='/var/tmp/' 0/0 1"},
      {"TRACE OFF EVT\n", "0x1d log=0 out=0/0 stats='' 0/0 0"},
      {"TRACE ON\nTRACE OFF\nOUTPUT OFF\n", "0x1 log=0 out=0/0 stats='' 0/0 0"},
      {"TRACE\nTRACE MAYBE CALL\nOUTPUT SIZE 100\n", "0x1 log=0 out=100/0 stats='' 0/0 0"},
      {"# TRACE ON VER\n #\tSTATS OFF\nTRACE\tON  \t CALL\r\nSTATS   ON\t/some/dir\r",
       "0x5 log=0 out=0/0 stats='/some/dir' 0/0 1"},
      {"OUTPUT SIZE 12abc\nOUTPUT COUNT -1\nSTATS SIZE\nSTATS COUNT 99999999999999999999\n",
       "0x1 log=0 out=12/4294967295 stats='' 0/2147483647 0"},
      {"STATS SIZE 500\nSTATS COUNT 3\nSTATS OFF\n", "0x1 log=0 out=0/0 stats='' 500/3 0"}};
  for (const auto& [text, expected] : rows) {
    SCOPED_TRACE(text);
    SetUp();
    apply("TRACE ON\nOUTPUT ON " + log_ + "\nSTATS ON /s\n");
    apply(text);
    EXPECT_EQ(state(), expected);
  }
  // A host process without standard input reads the file through descriptor 0.
  EXPECT_EXIT((close(0), apply("TRACE ON CALL MSG\n"), _exit(traceMask == 0xd ? 0 : 1)),
              ::testing::ExitedWithCode(0), "");
}

TEST_F(CmdFileTest, OutputAndDumpUseTheDefaultOrGivenPathAndTheSizeSetBeforeOn) {
  unlink("/var/tmp/skgxn_client.log");
  writeFile("/var/tmp/skgxn_client_dump.log", std::string(70000, 'o'));  // replaced, not appended
  apply("OUTPUT ON\n");
  traceLine("CmdFileTest:default log\n", TRACE_ERR);
  apply("DUMP\nOUTPUT ON " + log_ + "\nOUTPUT SIZE 100\n");  // the size comes too late for it
  EXPECT_EQ(withoutPrefix(readFile("/var/tmp/skgxn_client.log")), "CmdFileTest:default log\n");
  EXPECT_EQ(splitLines(readFile("/var/tmp/skgxn_client_dump.log")), traceRecordLines());
  traceLine((std::string(80, 'w') + "\n").c_str(), TRACE_ERR);
  EXPECT_FALSE(std::filesystem::exists(log_ + "1"));
  apply("OUTPUT COUNT 1\nOUTPUT SIZE 100\nOUTPUT ON " + log_ + "\nDUMP " + log_ + "d\n");
  EXPECT_TRUE(std::filesystem::exists(log_ + "1"));
  EXPECT_EQ(splitLines(readFile(log_ + "d")), traceRecordLines());
}

TEST_F(CmdFileTest, CheckObeysOnlyANewerFileOfRootOrOwnUserThatNoOneElseMayWrite) {
  constexpr uid_t kUser = 65534, kOther = 65533;
  // Time, owner, mode, the process's user, and the mask after "TRACE ON CALL": a
  // file whose time did not move forward is not looked at, an untrusted one is no file.
  const std::tuple<time_t, uid_t, mode_t, uid_t, uint32_t> rows[] = {
      {1000, 0, 0644, 0, 0x05},         {1000, 0, 0644, 0, 0x01},
      {999, 0, 0644, 0, 0x01},          {1001, 0, 0644, kUser, 0x05},
      {1002, kUser, 0600, kUser, 0x05}, {1003, 0, 0664, 0, 0x01},
      {1004, 0, 0646, kUser, 0x01},     {1005, kUser, 0644, 0, 0x01},
      {1006, kOther, 0644, kUser, 0x01}};
  for (const auto& [mtime, owner, mode, caller, expected] : rows) {
    SCOPED_TRACE(::testing::Message() << mtime << " " << owner << " " << mode << " " << caller);
    apply("");
    writeCmdFile("TRACE ON CALL\n", mtime, mode, owner);
    ASSERT_EQ(seteuid(caller), 0);
    checkCmdFile();
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_EQ(traceMask.load(), expected);
  }
}

TEST_F(CmdFileTest, IgnoredFileSaysWhyOncePerChangeAndMissingOneKeepsOnlyStatistics) {
  const std::string warning = "checkCmdFile:WARN " + std::string(kCmdFilePath) +
                              " ignored: mode 0666 lets group or others write it";
  const std::string text = "TRACE ON CALL\nOUTPUT ON " + log_ + "\nSTATS ON\n";
  TraceCapture capture;
  writeCmdFile(text, 4000000);
  checkCmdFile();
  writeCmdFile(text, 4000001, 0666);
  checkCmdFile();
  checkCmdFile();
  EXPECT_EQ(capture.count(warning), 1u);
  EXPECT_EQ(state(), "0x1 log=0 out=0/0 stats='/var/tmp/' 0/0 1");
  ASSERT_EQ(chmod(kCmdFilePath, 0644), 0);  // the modification time stays
  checkCmdFile();
  EXPECT_EQ(state(), "0x5 log=1 out=0/0 stats='/var/tmp/' 0/0 1");
  unlink(kCmdFilePath);
  checkCmdFile();  // statistics stay: the poll reads its settings only at a group's start
  EXPECT_EQ(state(), "0x1 log=0 out=0/0 stats='/var/tmp/' 0/0 1");
  ASSERT_EQ(mkfifo(kCmdFilePath, 0600), 0);
  checkCmdFile();  // a FIFO in its place must not block the caller
  EXPECT_EQ(withoutPrefix(readFile(log_)), warning + "\n*** NEW LOGGING STARTED ***\n");
}

// Threads tracing while the file changes under them: every checked call,
// trace-log switch and dump stays whole and race-free under the sanitizer.
TEST_F(CmdFileTest, TracingWhileTheFileChangesStaysWhole) {
  const std::string versions[] = {
      "TRACE ON\nOUTPUT SIZE 4000\nOUTPUT COUNT 2\nOUTPUT ON " + log_ + "\nSTATS ON\n",
      "TRACE ON CALL\nOUTPUT ON " + log_ + "\nDUMP " + log_ + "d\n",
      "TRACE OFF EVT\nOUTPUT OFF\nSTATS OFF\n", ""};
  std::atomic<int> running{0};
  std::vector<std::jthread> workers;
  for (int w = 0; w < 3; ++w)
    workers.emplace_back([&](std::stop_token stop) {
      running.fetch_add(1);
      for (int i = 0; !stop.stop_requested(); ++i) {
        checkCmdFile();
        traceLine("worker line\n", (i % 2) != 0 ? TRACE_CALL : TRACE_ERR);
        if (i % 50 == 0) reportError("report", i, false);
        (void)statsSettings();
      }
    });
  while (running.load() < 3) std::this_thread::yield();
  // Every third version is ignored, and every fifth round ends without a file.
  for (int round = 0; round < 60; ++round) {
    writeCmdFile(versions[round % 4], 5000000 + round, round % 3 == 2 ? 0666 : 0644);
    checkCmdFile();
    if (round % 5 == 4 && unlink(kCmdFilePath) == 0) checkCmdFile();
  }
  workers.clear();  // stops and joins them
  unlink(kCmdFilePath);
  checkCmdFile();
  EXPECT_EQ(state(), "0x1 log=0 out=4000/2 stats='' 0/0 0");
  // Every line in the logs is whole.
  const std::regex whole(
      R"(\*{3} NEW LOGGING STARTED \*{3}|worker line|(report: error code|checkCmdFile:WARN).*)");
  for (const std::string& path : {log_, log_ + "1", log_ + "2"})
    for (const std::string& line : splitLines(readFile(path)))
      EXPECT_TRUE(std::regex_match(withoutPrefix(line), whole)) << line;
}

}  // namespace
}  // namespace skgxn
