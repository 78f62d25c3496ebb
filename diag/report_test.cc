// Tests of the error catalogue, the error reports and their latch, a failing
// diagnostics mutex, and what sysLog hands to the system log.
#include "diag/report.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "diag/diag_internal.h"
#include "diag/err_code.h"
#include "diag/test_support.h"

namespace skgxn {
namespace {

using namespace test;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);

TEST(ErrorCatalogue, CodeAboveLastHasUnknownName) {
  for (uint32_t code : {30u, 31u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_STREQ(errorName(static_cast<ErrCode>(code)), "??? Error") << code;
  }
}

// The latch never goes back; these cases run in order within one process.
TEST(Report, ErrnoReportNamesCallReasonAndNumberWithoutLatch) {
  errno = ENOENT;
  reportErrno("stat(REGISTER_PIPE)", false);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(withoutPrefix(traceRecordLines().back()),
            "stat(REGISTER_PIPE): " + std::string(std::strerror(ENOENT)) + ": error code 2");
  EXPECT_FALSE(severeErrorSeen());
}

int failingLock(pthread_mutex_t*) { return EINVAL; }
int failingUnlock(pthread_mutex_t*) { return EPERM; }

TEST(Report, BrokenMutexIsReportedOncePerCallAndOnlyAWorkingOneSetsTheLatch) {
  setDiagMutexCalls(failingLock, failingUnlock);
  reportError("fcntl(F_GETFL)", EBADF, true);  // the latch cannot be taken
  lockDiag();
  unlockDiag();
  setDiagMutexCalls(nullptr, nullptr);
  std::vector<std::string> lines = traceRecordLines();
  ASSERT_GE(lines.size(), 4u);
  lines.erase(lines.begin(), lines.end() - 4);
  for (std::string& line : lines) line = withoutPrefix(line);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "fcntl(F_GETFL): error code 9", "mutex_lock(): error code 22",
                       "mutex_lock(): error code 22", "mutex_unlock(): error code 1"}));
  EXPECT_FALSE(severeErrorSeen());
}

std::string captured;  // "<ident>|<facility>|<priority>|<text>"

void captureSink(const char* ident, int facility, int priority, const char* text) {
  captured = std::string(ident) + "|" + std::to_string(facility) + "|" + std::to_string(priority) +
             "|" + text;
  errno = EBADF;  // as if opening the system log had failed somewhere inside
}

class SysLogTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = setSysLogSink(captureSink); }
  void TearDown() override { setSysLogSink(previous_); }
  const std::string id_ = "ID[" + std::to_string(getpid()) + " Cluster.KVO.";

 private:
  SysLogSink previous_ = nullptr;
};

TEST_F(SysLogTest, SelectorChoosesIdentityOnLocal0) {
  sysLog(LOG_ERR, 1, "vemo_cluster_open failed: %d", 5);
  EXPECT_EQ(captured, id_ + "SKGXN]|128|3|vemo_cluster_open failed: 5");
  sysLog(LOG_ERR, 2, "x");
  EXPECT_EQ(captured, id_ + "VELKD]|128|3|x");
}

TEST_F(SysLogTest, LongMessageIsCutTo1023CharactersAndErrnoKept) {
  errno = ETIMEDOUT;
  sysLog(LOG_ERR, 1, "%s", std::string(5000, 'm').c_str());
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_EQ(captured, id_ + "SKGXN]|128|3|" + std::string(1023, 'm'));
}

}  // namespace
}  // namespace skgxn
