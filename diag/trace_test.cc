// Tests of traceLine: the mask, the prefix, the 511-character cut, and the
// trace log and dump behind it.
#include "diag/trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <regex>
#include <string>

#include "diag/diag_internal.h"
#include "diag/test_support.h"

namespace skgxn {
namespace {

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);

class TraceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    closeTraceLog();
    traceMask.store(TRACE_DEFAULT);
  }
};

TEST_F(TraceTest, LineOutsideMaskIsNotStoredAndErrorLineIsStoredWithoutLog) {
  traceLine("TraceTest:CALL line\n", TRACE_CALL);
  traceLine("TraceTest:ERROR line\n", TRACE_ERR);
  std::vector<std::string> lines = traceRecordLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(withoutPrefix(lines.back()), "TraceTest:ERROR line");
  for (const std::string& line : lines) EXPECT_NE(withoutPrefix(line), "TraceTest:CALL line");
}

TEST_F(TraceTest, LineStartsWithTimePidAndThreadId) {
  traceLine("TraceTest:prefix\n", TRACE_ERR);
  std::string last = traceRecordLines().back();
  std::regex expected("[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\[" +
                      std::to_string(getpid()) + ":" + std::to_string(gettid()) +
                      "\\] TraceTest:prefix");
  EXPECT_TRUE(std::regex_match(last, expected)) << last;
}

TEST_F(TraceTest, PrefixWithoutTimeBeginsWithBracket) {
  char buf[64];
  std::string ids = "[" + std::to_string(getpid()) + ":" + std::to_string(gettid()) + "] ";
  EXPECT_EQ(formatTracePrefixAt(-1, buf, sizeof buf), ids.size());
  EXPECT_EQ(std::string(buf), ids);
  EXPECT_EQ(formatTracePrefixAt(LONG_MAX, buf, sizeof buf), ids.size());
  EXPECT_EQ(std::string(buf), ids);
}

TEST_F(TraceTest, LongLineIsCutTo511CharactersEndingInNewline) {
  std::string text(600, 'L');
  text += '\n';
  traceLine(text.c_str(), TRACE_ERR);
  ScratchDir dir;
  std::string path = dir.file("dump");
  dumpTraceRing(path.c_str());
  std::string dump = readFile(path);
  size_t start = dump.rfind('\n', dump.size() - 2) + 1;
  std::string last = dump.substr(start);
  EXPECT_EQ(last.size(), 511u);
  EXPECT_EQ(last.back(), '\n');
  EXPECT_EQ(last[509], 'L');
}

TEST_F(TraceTest, OpenLogGetsMarkerAndFlushedLines) {
  ScratchDir dir;
  std::string path = dir.file("log");
  openTraceLog(path.c_str());
  traceLine("TraceTest:to log\n", TRACE_ERR);
  traceLine("TraceTest:filtered\n", TRACE_MSG);
  std::vector<std::string> lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "*** NEW LOGGING STARTED ***");
  EXPECT_EQ(withoutPrefix(lines[1]), "TraceTest:to log");
  closeTraceLog();
  traceLine("TraceTest:after close\n", TRACE_ERR);
  EXPECT_EQ(splitLines(readFile(path)).size(), 2u);
}

TEST_F(TraceTest, OpeningAgainReplacesTheEarlierLog) {
  ScratchDir dir;
  openTraceLog(dir.file("first").c_str());
  openTraceLog(dir.file("second").c_str());
  traceLine("TraceTest:where\n", TRACE_ERR);
  EXPECT_EQ(splitLines(readFile(dir.file("first"))).size(), 1u);
  EXPECT_EQ(splitLines(readFile(dir.file("second"))).size(), 2u);
}

TEST_F(TraceTest, DumpRefusesPlantedSymbolicLinkAndNullPath) {
  ScratchDir dir;
  std::string target = dir.file("victim");
  std::string link = dir.file("dump");
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
