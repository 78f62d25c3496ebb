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

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);

TEST(ErrorCatalogue, CodeAboveLastHasUnknownName) {
  for (uint32_t code : {30u, 31u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_STREQ(errorName(static_cast<ErrCode>(code)), "??? Error") << code;
  }
}

std::string lastRecordText() { return withoutPrefix(traceRecordLines().back()); }

// The latch never goes back; these cases run in order within one process.
TEST(Report, ErrnoReportNamesCallReasonAndNumberWithoutLatch) {
  errno = ENOENT;
  reportErrno("stat(REGISTER_PIPE)", false);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(lastRecordText(), std::string("stat(REGISTER_PIPE): ") + std::strerror(ENOENT) +
                                  ": error code " + std::to_string(ENOENT));
  EXPECT_FALSE(severeErrorSeen());
}

int failingLock(pthread_mutex_t*) { return EINVAL; }
int failingUnlock(pthread_mutex_t*) { return EPERM; }

TEST(Report, BrokenMutexIsReportedOncePerCallAndLeavesLatchAlone) {
  setDiagMutexCalls(failingLock, failingUnlock);
  reportError("fcntl(F_GETFL)", EBADF, true);  // the latch cannot be taken
  lockDiag();
  unlockDiag();
  setDiagMutexCalls(nullptr, nullptr);
  std::vector<std::string> lines = traceRecordLines();
  ASSERT_GE(lines.size(), 4u);
  std::vector<std::string> last;
  for (size_t i = lines.size() - 4; i < lines.size(); ++i) last.push_back(withoutPrefix(lines[i]));
  EXPECT_EQ(last, (std::vector<std::string>{
                      "fcntl(F_GETFL): error code 9", "mutex_lock(): error code 22",
                      "mutex_lock(): error code 22", "mutex_unlock(): error code 1"}));
  EXPECT_FALSE(severeErrorSeen());
}

TEST(Report, SevereReportSetsLatch) {
  errno = EBADF;
  reportErrno("fcntl(F_SETFL) with O_NONBLOCK", true);
  EXPECT_TRUE(severeErrorSeen());
}

struct Captured {
  std::string ident;
  int facility = -1;
  int priority = -1;
  std::string text;
};
Captured captured;

void captureSink(const char* ident, int facility, int priority, const char* text) {
  captured = Captured{ident, facility, priority, text};
  errno = EBADF;  // as if opening the system log had failed somewhere inside
}

class SysLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    captured = Captured{};
    previous_ = setSysLogSink(captureSink);
  }
  void TearDown() override { setSysLogSink(previous_); }

 private:
  SysLogSink previous_ = nullptr;
};

TEST_F(SysLogTest, SelectorChoosesIdentityOnLocal0) {
  sysLog(LOG_ERR, 1, "vemo_cluster_open failed: %d", 5);
  EXPECT_EQ(captured.ident, "ID[" + std::to_string(getpid()) + " Cluster.KVO.SKGXN]");
  EXPECT_EQ(captured.facility, 128);
  EXPECT_EQ(captured.priority, LOG_ERR);
  EXPECT_EQ(captured.text, "vemo_cluster_open failed: 5");
  sysLog(LOG_ERR, 2, "x");
  EXPECT_EQ(captured.ident, "ID[" + std::to_string(getpid()) + " Cluster.KVO.VELKD]");
}

TEST_F(SysLogTest, LongMessageIsCutTo1023Characters) {
  std::string longText(5000, 'm');
  sysLog(LOG_ERR, 1, "%s", longText.c_str());
  EXPECT_EQ(captured.text, std::string(1023, 'm'));
}

TEST_F(SysLogTest, ErrnoIsTheSameAfterwards) {
  errno = ETIMEDOUT;
  sysLog(LOG_ERR, 1, "message");
  EXPECT_EQ(errno, ETIMEDOUT);
}

}  // namespace
}  // namespace skgxn
