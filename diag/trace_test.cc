// Tests of traceLine: the mask, the prefix, the 511-character cut, and the
// trace log and dump behind it.
#include "diag/trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <regex>
#include <string>
#include <thread>

#include "diag/diag_internal.h"
#include "diag/test_support.h"

namespace skgxn {
namespace {

using namespace test;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);

class TraceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    closeTraceLog();
    traceMask.store(TRACE_DEFAULT);
  }
  ScratchDir dir_;
};

TEST_F(TraceTest, OnlyLinesInMaskAreStoredPrefixedWithTimePidAndThreadId) {
  traceLine("TraceTest:CALL line\n", TRACE_CALL);
  traceLine("TraceTest:ERROR line\n", TRACE_ERR);
  std::vector<std::string> lines = traceRecordLines();
  std::regex expected("[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\[" +
                      std::to_string(getpid()) + ":" + std::to_string(gettid()) +
                      "\\] TraceTest:ERROR line");
  EXPECT_TRUE(std::regex_match(lines.back(), expected)) << lines.back();
  for (const std::string& line : lines) EXPECT_NE(withoutPrefix(line), "TraceTest:CALL line");
}

TEST_F(TraceTest, PrefixWithoutTimeBeginsWithBracket) {
  std::string ids = "[" + std::to_string(getpid()) + ":" + std::to_string(gettid()) + "] ";
  for (time_t now : {time_t{-1}, time_t{LONG_MAX}}) {
    char buf[64];
    EXPECT_EQ(formatTracePrefixAt(now, buf, sizeof buf), ids.size());
    EXPECT_EQ(std::string(buf), ids);
  }
}

TEST_F(TraceTest, ForkedChildAndOtherThreadsPrefixTheirOwnIds) {
  auto ids = [] { return "[" + std::to_string(getpid()) + ":" + std::to_string(gettid()) + "] "; };
  auto prefix = [] {
    char buf[64];
    formatTracePrefixAt(-1, buf, sizeof buf);
    return std::string(buf);
  };
  ASSERT_EQ(prefix(), ids());
  std::string fromThread, threadIds;
  std::thread([&] { fromThread = prefix(), threadIds = ids(); }).join();
  EXPECT_EQ(fromThread, threadIds);
  const pid_t child = fork();
  if (child == 0) _exit(prefix() == ids() ? 0 : 1);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child kept its parent's ids";
}

TEST_F(TraceTest, LongLineIsCutTo511CharactersEndingInNewline) {
  traceLine((std::string(600, 'L') + "\n").c_str(), TRACE_ERR);
  dumpTraceRing(dir_.file("dump").c_str());
  std::string dump = readFile(dir_.file("dump"));
  std::string last = dump.substr(dump.rfind('\n', dump.size() - 2) + 1);
  EXPECT_EQ(last.size(), 511u);
  EXPECT_EQ(withoutPrefix(last), std::string(508 - last.find("] "), 'L') + "\n");
}

TEST_F(TraceTest, OpenLogGetsMarkerAndFlushedLinesUntilReplacedOrClosed) {
  openTraceLog(dir_.file("first").c_str());
  traceLine("TraceTest:first\n", TRACE_ERR);
  traceLine("TraceTest:filtered\n", TRACE_MSG);
  openTraceLog(dir_.file("second").c_str());
  traceLine("TraceTest:second\n", TRACE_ERR);
  closeTraceLog();
  traceLine("TraceTest:after close\n", TRACE_ERR);
  for (const char* name : {"first", "second"}) {
    std::vector<std::string> lines = splitLines(readFile(dir_.file(name)));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "*** NEW LOGGING STARTED ***");
    EXPECT_EQ(withoutPrefix(lines[1]), std::string("TraceTest:") + name);
  }
}

TEST_F(TraceTest, DumpRefusesPlantedSymbolicLinkAndNullPath) {
  std::string target = dir_.file("victim"), link = dir_.file("dump");
  writeFile(target, "precious\n");
  chmod(target.c_str(), 0600);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  dumpTraceRing(link.c_str());
  dumpTraceRing(nullptr);
  EXPECT_EQ(readFile(target), "precious\n");
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(TraceTest, LineAfterReleaseIsDroppedHarmlessly) {
  releaseDiagnostics();
  traceLine("TraceTest:late\n", TRACE_ERR);
  loadDiagnostics();
  for (const std::string& line : traceRecordLines()) {
    EXPECT_NE(withoutPrefix(line), "TraceTest:late");
  }
}

}  // namespace
}  // namespace skgxn
