// Tests of traceLine and what stands behind it: the ring's storing rule, the
// log file's mode, rotation and refusals, the mask, the prefix, the cut, the
// trace log until unload, the error reports with their latch, and sysLog.
#include "diag/trace.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <regex>
#include <thread>
#include <tuple>

#include "diag/diag_internal.h"
#include "diag/err_code.h"
#include "diag/log_file.h"
#include "diag/report.h"
#include "diag/test_support.h"
#include "diag/trace_ring.h"

namespace skgxn {
namespace {

using namespace test;
using Lines = std::vector<std::string>;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);
const std::string kMarker = "*** NEW LOGGING STARTED ***\n";

// What writeTo gives back, then next and oldest: "text|next|oldest".
std::string contents(const TraceRing& ring) {
  ScratchDir dir;
  ring.writeTo(FileOwner(std::fopen(dir.file("ring").c_str(), "w")).get());
  return readFile(dir.file("ring")) + "|" + std::to_string(ring.next()) + "|" +
         std::to_string(ring.oldest());
}

// A line of length n (its NUL makes n + 1 bytes in the ring) made of c.
std::string line(size_t n, char c) { return std::string(n - 1, c) + "\n"; }

TEST(TraceRing, StoresWholeLinesAndWrapsOverTheOldest) {
  const std::string a = line(19, 'a'), b = line(19, 'b'), c = line(19, 'c'), d = line(19, 'd'),
                    d24 = line(24, 'd'), e24 = line(24, 'e'), y31 = line(31, 'y');
  const std::tuple<uint32_t, Lines, std::string> rows[] = {
      {64, {"one\n", "two\n", "three\n"}, "one\ntwo\nthree\n|17|0"},
      {64, {line(32, 'x'), y31}, y31 + "|32|0"},       // half the capacity is refused
      {64, {a, b, c, d24}, c + d24 + "|25|40"},        // d24 goes to 0 and drops a and b
      {64, {a, b, c, d, e24}, d + e24 + "|45|60"},     // e24 ends inside c: the rest of c goes
      {16, {"aaaaaa\n", "bbbbbb\n"}, "bbbbbb\n|0|8"},  // ends at the end: next wraps
      {16, {"aaaaaa\n", "bbbbbb\n", "cc\n"}, "bbbbbb\ncc\n|4|8"}};
  for (const auto& [capacity, lines, expected] : rows) {
    TraceRing ring(capacity);
    ring.store(nullptr);  // never stored
    for (const std::string& text : lines) ring.store(text.c_str());
    EXPECT_EQ(contents(ring), expected);
  }
  // Many wraps keep a whole-line tail of everything stored, oldest first.
  TraceRing ring(256);
  std::string all;
  for (int i = 0; i < 1000; ++i) {
    all += "line " + std::to_string(i) + std::string(i % 37, '.') + "\n";
    ring.store(all.substr(all.rfind('\n', all.size() - 2) + 1).c_str());
  }
  const std::string kept = contents(ring).substr(0, contents(ring).find('|'));
  ASSERT_GT(kept.size(), 100u);
  EXPECT_EQ(all.substr(all.size() - kept.size() - 1), "\n" + kept);
}

int modeOf(const std::string& path) { return int(std::filesystem::status(path).permissions()); }

// The contents of path, path1, path2, ... up to the first that is missing.
Lines generations(const std::string& path) {
  Lines found{readFile(path)};
  for (int i = 1; std::filesystem::exists(path + std::to_string(i)); ++i)
    found.push_back(readFile(path + std::to_string(i)));
  return found;
}

// A file that was there keeps its mode and its content counts towards the
// limit; only files made here, first or by rotation, get the mode.
TEST(LogFile, OnlyAFileItCreatesGetsTheModeAndAnExistingOneIsContinued) {
  ScratchDir dir;
  const std::string made = dir.file("made"), kept = dir.file("kept");
  const std::string old(980 - kMarker.size(), 'x'), text = std::string(19, 't') + "\n";
  writeFile(kept, old);
  writeFile(kept + "1", "one\n");
  ASSERT_EQ(chmod(kept.c_str(), 0600), 0);
  const mode_t umaskBefore = umask(077);
  {
    LogFile log(made, 0666, 0, 0);
    LogFile existing(kept, 0666, 1000, 2);
    EXPECT_EQ(existing.size(), 980u);
    existing.write(text.c_str());  // 980 + 20 reaches 1000 and fits
    existing.write(text.c_str());  // past 1000: rotate first, no new marker
    EXPECT_EQ(existing.size(), 20u);
  }
  umask(umaskBefore);
  EXPECT_EQ(generations(kept), (Lines{text, old + kMarker + text, "one\n"}));
  EXPECT_EQ(readFile(made), kMarker);
  EXPECT_EQ((std::vector{modeOf(made), modeOf(kept), modeOf(kept + "1")}),
            (std::vector{0666, 0666, 0600}));
  // A host process without standard input logs through descriptor 0.
  EXPECT_EXIT((close(0), _exit(LogFile(dir.file("fd0"), 0666, 0, 0).isOpen() ? 0 : 1)),
              ::testing::ExitedWithCode(0), "");
}

TEST(LogFile, RotationKeepsCountGenerationsButAtLeastOneAndClosesEach) {
  // The largest count keeps every generation, without a pass over 2^32 names.
  for (uint32_t count : {0u, 1u, 3u, UINT32_MAX}) {
    SCOPED_TRACE(count);
    ScratchDir dir;
    const size_t fdsBefore = openFdCount();
    {
      LogFile log(dir.file("log"), 0666, 10, count);  // the marker alone passes the limit
      for (char c : std::string("abcde")) log.write((std::string(9, c) + "\n").c_str());
    }
    EXPECT_EQ(openFdCount(), fdsBefore);
    Lines expected{
        "eeeeeeeee\n", "ddddddddd\n", "ccccccccc\n", "bbbbbbbbb\n", "aaaaaaaaa\n", kMarker, ""};
    expected.resize(std::min(std::max(count, 1u), 6u) + 1);
    EXPECT_EQ(generations(dir.file("log")), expected);
  }
}

TEST(LogFile, MissingDirectoryPlantedLinkOrFifoIsRefusedAndSwallowsWrites) {
  ScratchDir dir;
  const std::string target = dir.file("victim"), link = dir.file("link"), fifo = dir.file("fifo");
  writeFile(target, "precious\n");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()) | mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {link, fifo, dir.file("absent/log")}) {
    LogFile log(path, 0666, 10, 2);  // a FIFO must not block here
    log.write("intruder\n");
    EXPECT_FALSE(log.isOpen()) << path;
  }
  EXPECT_EQ(readFile(target), "precious\n");
}

std::string ids() { return "[" + std::to_string(getpid()) + ":" + std::to_string(gettid()) + "] "; }

// The prefix for a clock reading, cut to the length formatTracePrefixAt gives.
std::string prefixAt(time_t now) {
  char buf[64];
  return std::string(buf, formatTracePrefixAt(now, buf, sizeof buf));
}

TEST(Trace, LineIsPrefixedWithTheIdsOfEachThreadAndForkedChildAndCut) {
  traceLine((std::string(600, 'L') + "\n").c_str(), TRACE_ERR);
  const std::string last = traceRecordLines().back() + "\n";  // 511 characters
  EXPECT_TRUE(std::regex_match(last.substr(0, 15), std::regex("[A-Z][a-z]{2} [0-9]{2} [0-9:]{8}")));
  EXPECT_EQ(last.substr(15), ids() + std::string(495 - ids().size(), 'L') + "\n");
  for (time_t bad : {LONG_MAX, -1L}) EXPECT_EQ(prefixAt(bad), ids());  // unconvertible: ids alone
  std::thread([] { EXPECT_EQ(prefixAt(-1), ids()); }).join();
  EXPECT_EXIT(_exit(prefixAt(-1) == ids() ? 0 : 1), ::testing::ExitedWithCode(0), "");  // forked
}

// The latch never goes back: this case sets it only at its end.
TEST(Report, ReportsNameTheCallAndOnlyAWorkingMutexSetsTheLatch) {
  TraceCapture capture;
  errno = ENOENT;
  reportErrno("stat(REGISTER_PIPE)", false);
  EXPECT_EQ(errno, ENOENT);
  setDiagMutexCalls([](pthread_mutex_t*) { return EINVAL; },
                    [](pthread_mutex_t*) { return EPERM; });
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
  EXPECT_STREQ(errorName(static_cast<ErrCode>(30)), "??? Error");  // first past the catalogue
}

TEST(SysLog, SelectorChoosesIdentityOnLocal0AndLongTextIsCutKeepingErrno) {
  static std::string captured;  // "<ident>|<facility>|<priority>|<text>"
  const SysLogSink previous =
      setSysLogSink([](const char* id, int facility, int priority, const char* text) {
        captured = std::string(id) + "|" + std::to_string(facility) + "|" +
                   std::to_string(priority) + "|" + text;
        errno = EBADF;  // as if opening the system log had failed somewhere inside
      });
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
  EXPECT_TRUE(readFile(dir.file("second")).ends_with("Trace:second\n"));  // at once
  closeTraceLog();
  traceLine("Trace:after close\n", TRACE_ERR);
  for (const char* name : {"first", "second"})
    EXPECT_EQ(withoutPrefix(readFile(dir.file(name))), std::string("Trace:") + name + "\n");
  openTraceLog(dir.file("third").c_str());
  releaseDiagnostics();                  // an unload closes the log
  traceLine("Trace:late\n", TRACE_ERR);  // dropped harmlessly
  loadDiagnostics();
  EXPECT_EQ(readFile(dir.file("third")), kMarker);
  EXPECT_TRUE(traceRecordLines().empty());
}

}  // namespace
}  // namespace skgxn
