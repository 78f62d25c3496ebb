// Tests of traceLine and the reports made through it: the mask, the prefix,
// the 511-character cut, the trace log until unload, the error reports with
// their latch, and what sysLog hands to the system log.
#include "diag/trace.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <regex>
#include <string>
#include <thread>

#include "diag/diag_internal.h"
#include "diag/err_code.h"
#include "diag/report.h"
#include "diag/test_support.h"

namespace skgxn {
namespace {

using namespace test;
using Lines = std::vector<std::string>;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);

std::string ids() { return "[" + std::to_string(getpid()) + ":" + std::to_string(gettid()) + "] "; }

std::string prefixWithoutTime() {
  char buf[64];
  formatTracePrefixAt(-1, buf, sizeof buf);
  return buf;
}

TEST(Trace, OnlyLinesInMaskAreStoredPrefixedAndCutTo511CharactersEndingInNewline) {
  TraceCapture capture;
  traceLine("Trace:CALL line\n", TRACE_CALL);
  traceLine((std::string(600, 'L') + "\n").c_str(), TRACE_ERR);
  const std::string last = traceRecordLines().back() + "\n";
  const std::regex prefix("[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\[" +
                          std::to_string(getpid()) + ":" + std::to_string(gettid()) + "\\] L+\n");
  EXPECT_TRUE(std::regex_match(last, prefix)) << last;
  EXPECT_EQ(last.size(), 511u);
  EXPECT_EQ(capture.lines().size(), 1u);
}

TEST(Trace, PrefixCarriesTheIdsOfEachThreadAndForkedChildAndNoUnconvertibleTime) {
  char buf[64];
  EXPECT_EQ(formatTracePrefixAt(LONG_MAX, buf, sizeof buf), ids().size());
  EXPECT_EQ(prefixWithoutTime(), ids());
  std::string fromThread, threadIds;
  std::thread([&] { fromThread = prefixWithoutTime(), threadIds = ids(); }).join();
  EXPECT_EQ(fromThread, threadIds);
  const pid_t child = fork();
  if (child == 0) _exit(prefixWithoutTime() == ids() ? 0 : 1);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child kept its parent's ids";
}

int failingLock(pthread_mutex_t*) { return EINVAL; }
int failingUnlock(pthread_mutex_t*) { return EPERM; }

// The latch never goes back: this case sets it only at its end.
TEST(Report, ReportsNameTheCallAndOnlyAWorkingMutexSetsTheLatch) {
  TraceCapture capture;
  errno = ENOENT;
  reportErrno("stat(REGISTER_PIPE)", false);
  EXPECT_EQ(errno, ENOENT);
  setDiagMutexCalls(failingLock, failingUnlock);
  reportError("fcntl(F_GETFL)", EBADF, true);  // the latch cannot be taken
  lockDiag();
  unlockDiag();
  setDiagMutexCalls(nullptr, nullptr);
  EXPECT_EQ(capture.lines(),
            (Lines{"stat(REGISTER_PIPE): " + std::string(std::strerror(ENOENT)) + ": error code 2",
                   "fcntl(F_GETFL): error code 9", "mutex_lock(): error code 22",
                   "mutex_lock(): error code 22", "mutex_unlock(): error code 1"}));
  EXPECT_FALSE(severeErrorSeen());
  reportError("fork()", EAGAIN, true);
  EXPECT_TRUE(severeErrorSeen());
}

TEST(Report, FirstCodePastTheCatalogueHasTheUnknownName) {
  EXPECT_STREQ(errorName(static_cast<ErrCode>(30)), "??? Error");
}

std::string captured;  // "<ident>|<facility>|<priority>|<text>"

void captureSink(const char* ident, int facility, int priority, const char* text) {
  captured = std::string(ident) + "|" + std::to_string(facility) + "|" + std::to_string(priority) +
             "|" + text;
  errno = EBADF;  // as if opening the system log had failed somewhere inside
}

TEST(SysLog, SelectorChoosesIdentityOnLocal0AndLongTextIsCutKeepingErrno) {
  const SysLogSink previous = setSysLogSink(captureSink);
  const std::string id = "ID[" + std::to_string(getpid()) + " Cluster.KVO.";
  sysLog(LOG_ERR, 2, "x%d", 5);
  EXPECT_EQ(captured, id + "VELKD]|128|3|x5");
  errno = ETIMEDOUT;
  sysLog(LOG_ERR, 1, "%s", std::string(5000, 'm').c_str());
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_EQ(captured, id + "SKGXN]|128|3|" + std::string(1023, 'm'));
  setSysLogSink(previous);
}

// Last: a release leaves the diagnostics mutex gone for the rest of the run.
TEST(TraceLog, GetsMarkerAndLinesUntilReplacedClosedOrUnloaded) {
  ScratchDir dir;
  openTraceLog(dir.file("first").c_str());
  traceLine("Trace:first\n", TRACE_ERR);
  traceLine("Trace:filtered\n", TRACE_MSG);
  openTraceLog(dir.file("second").c_str());
  traceLine("Trace:second\n", TRACE_ERR);
  closeTraceLog();
  traceLine("Trace:after close\n", TRACE_ERR);
  for (const char* name : {"first", "second"}) {
    const Lines lines = splitLines(readFile(dir.file(name)));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0] + "|" + withoutPrefix(lines[1]),
              std::string("*** NEW LOGGING STARTED ***|Trace:") + name);
  }
  const size_t fds = openFdCount();
  openTraceLog(dir.file("third").c_str());
  releaseDiagnostics();  // an unload must not leak the log's descriptor
  EXPECT_EQ(openFdCount(), fds);
  traceLine("Trace:late\n", TRACE_ERR);  // dropped harmlessly
  loadDiagnostics();
  EXPECT_EQ(splitLines(readFile(dir.file("third"))).size(), 1u);
  EXPECT_TRUE(traceRecordLines().empty());
}

}  // namespace
}  // namespace skgxn
