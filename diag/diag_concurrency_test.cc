// Threads tracing while another rewrites the command file: every checked
// call, trace-log switch and dump must stay whole and race-free. Built for
// the thread sanitizer run; runs in a private mount namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "diag/cmd_file.h"
#include "diag/diag_internal.h"
#include "diag/report.h"
#include "diag/test_support.h"
#include "diag/trace.h"

namespace skgxn {
namespace {

using namespace test;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);

bool wholeLogLine(const std::string& line) {
  const std::string text = withoutPrefix(line);
  return line == "*** NEW LOGGING STARTED ***" || text.rfind("worker ", 0) == 0 ||
         text.rfind("report: error code", 0) == 0 || text.rfind("checkCmdFile:WARN", 0) == 0;
}

TEST(DiagConcurrency, TracingWhileCommandFileChangesStaysWhole) {
  ScratchDir dir;
  const std::string log = dir.file("log");
  const std::string versions[] = {
      "TRACE ON\nOUTPUT SIZE 4000\nOUTPUT COUNT 2\nOUTPUT ON " + log + "\nSTATS ON\n",
      "TRACE ON CALL\nOUTPUT ON " + log + "\nDUMP " + dir.file("dump") + "\n",
      "TRACE OFF EVT\nOUTPUT OFF\nSTATS OFF\n", ""};
  constexpr int kWorkers = 3;
  std::atomic<bool> done{false};
  std::atomic<int> running{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      running.fetch_add(1);
      for (int i = 0; !done.load(); ++i) {
        checkCmdFile();
        std::string text = "worker " + std::to_string(w) + " line " + std::to_string(i) + "\n";
        traceLine(text.c_str(), (i % 2) != 0 ? TRACE_CALL : TRACE_ERR);
        if (i % 50 == 0) reportError("report", i, false);
        (void)statsSettings();
        (void)severeErrorSeen();
      }
    });
  }
  while (running.load() < kWorkers) std::this_thread::yield();
  // Each round is a new version of the file with a later time, every third
  // one that others may write (and so ignored), and every fifth a round
  // without the file; the workers notice all of them on their next check.
  for (int round = 0; round < 60; ++round) {
    writeFile(kCmdFilePath, versions[round % 4]);
    struct timespec times[2] = {{3000000 + round, 0}, {3000000 + round, 0}};
    ASSERT_EQ(chmod(kCmdFilePath, round % 3 == 2 ? 0666 : 0644), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, kCmdFilePath, times, 0), 0);
    checkCmdFile();
    if (round % 5 == 4) {
      unlink(kCmdFilePath);
      checkCmdFile();
    }
  }
  done.store(true);
  for (std::thread& worker : workers) worker.join();

  unlink(kCmdFilePath);
  checkCmdFile();
  EXPECT_EQ(traceMask.load(), TRACE_DEFAULT);
  EXPECT_FALSE(traceLogOpen.load());
  for (const std::string& path : {log, log + "1", log + "2", dir.file("dump")}) {
    std::string text = readFile(path);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << path;
    for (const std::string& line : splitLines(text)) EXPECT_TRUE(wholeLogLine(line)) << line;
  }
}

}  // namespace
}  // namespace skgxn
