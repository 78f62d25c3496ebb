// Tests of context objects and records: validity, clearing, the registry that
// refuses objects this library did not create, release of listed groups, and
// the trace-flag and callback rules.
#include "api/context.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "diag/diag_state.h"
#include "group/diag_test_support.h"
#include "group/group_handle.h"
#include "group/stats_ring.h"

namespace skgxn {
namespace {

struct CallbackLog {
  std::vector<std::string> calls;
};

void recordCallback(void* cbctx, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const char* function = va_arg(args, const char*);
  const char* line = va_arg(args, const char*);
  va_end(args);
  static_cast<CallbackLog*>(cbctx)->calls.push_back(std::string(fmt) + "|" + function + "|" +
                                                    line);
}

class ContextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    createStatsRing();
    loadDiagnostics();
  }

  void SetUp() override { ASSERT_EQ(createContext("skgxncin", &ctx_, &callbacks_, &log_), ERR_NONE); }
  void TearDown() override { releaseContext(&ctx_); }

  CallbackLog log_;
  skgxn_callbacks callbacks_{recordCallback};
  skgxn_context ctx_{};
};

TEST_F(ContextTest, CreatedRecordIsValidWithCheck32) {
  EXPECT_NE(ctx_.object, nullptr);
  EXPECT_EQ(ctx_.check, 32);
  EXPECT_TRUE(isValidContext(&ctx_));
  EXPECT_EQ(sizeof(skgxn_context), 16u);
}

TEST_F(ContextTest, NullAndCleanRecordsAreInvalid) {
  skgxn_context clean{};
  EXPECT_FALSE(isValidContext(nullptr));
  EXPECT_FALSE(isValidContext(&clean));
  EXPECT_FALSE(checkContext(nullptr));
}

TEST_F(ContextTest, AlteredCheckIsInvalidAndCheckingClearsRecordOnly) {
  for (int bit = 0; bit < 16; ++bit) {
    skgxn_context altered = ctx_;
    altered.check = static_cast<uint16_t>(altered.check ^ (1u << bit));
    altered.reserved[0] = 0x5A;
    EXPECT_FALSE(checkContext(&altered)) << bit;
    EXPECT_EQ(altered.object, nullptr);
    EXPECT_EQ(altered.check, 0);
    EXPECT_EQ(altered.reserved[0], 0x5A);  // the reserved bytes are never written
  }
  EXPECT_TRUE(isValidContext(&ctx_));
}

TEST_F(ContextTest, ObjectNeverCreatedHereIsRejectedWithoutReadingIt) {
  // A well-formed look-alike that would pass the check if it were read.
  SkgxnContext lookAlike;
  skgxn_context forged{&lookAlike, contextCheck(lookAlike), {}};
  EXPECT_FALSE(isValidContext(&forged));
  // A pointer to nothing at all: a read through it would crash the test.
  skgxn_context wild{reinterpret_cast<void*>(uintptr_t{0x10}), 32, {}};
  EXPECT_FALSE(checkContext(&wild));
  EXPECT_EQ(wild.object, nullptr);
  EXPECT_FALSE(contextTraceWanted(&forged, 0xFFFFFFFFu));
  EXPECT_EQ(contextGroupList(&forged), nullptr);
  releaseContext(&forged);  // must neither free nor release the look-alike
  EXPECT_EQ(forged.object, nullptr);
}

TEST_F(ContextTest, ReleasedRecordAndEarlierCopyAreRejected) {
  skgxn_context copy = ctx_;
  releaseContext(&ctx_);
  EXPECT_EQ(ctx_.object, nullptr);
  EXPECT_EQ(ctx_.check, 0);
  EXPECT_FALSE(isValidContext(&copy));
  EXPECT_FALSE(contextTraceWanted(&copy, SKGXN_CTX_TRACE_QUERY));
}

TEST_F(ContextTest, RecordNotCleanWarnsAndIsReplaced) {
  skgxn_context earlier = ctx_;
  testsupport::TraceCapture trace;
  ASSERT_EQ(createContext("skgxncin", &ctx_, nullptr, nullptr), ERR_NONE);
  EXPECT_EQ(trace.count("skgxncin:WARN context not clean - possibly in use"), 1u);
  EXPECT_NE(ctx_.object, earlier.object);
  EXPECT_TRUE(isValidContext(&earlier));  // left alone, still live
  releaseContext(&earlier);
}

TEST_F(ContextTest, CleanRecordGetsNoWarning) {
  skgxn_context other{};
  testsupport::TraceCapture trace;
  ASSERT_EQ(createContext("skgxncin", &other, nullptr, nullptr), ERR_NONE);
  EXPECT_TRUE(trace.lines().empty());
  releaseContext(&other);
}

TEST_F(ContextTest, NullRecordCreatesNothing) {
  EXPECT_NE(createContext("skgxncin", nullptr, nullptr, nullptr), ERR_NONE);
}

TEST_F(ContextTest, ReleaseClosesDescriptorsOfEveryListedGroup) {
  int fds[4];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::pipe(fds + 2), 0);
  GroupList* list = contextGroupList(&ctx_);
  ASSERT_NE(list, nullptr);
  skgxn_group first{};
  skgxn_group second{};
  ASSERT_EQ(createGroupHandle("skgxnreg", &ctx_, list, &first), ERR_NONE);
  ASSERT_EQ(createGroupHandle("skgxnreg", &ctx_, list, &second), ERR_NONE);
  groupStateOf(&first)->commandFd = fds[0];
  groupStateOf(&first)->eventFd = fds[1];
  groupStateOf(&second)->commandFd = fds[2];
  groupStateOf(&second)->eventFd = fds[3];

  releaseContext(&ctx_);
  for (int fd : fds) EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << fd;
  EXPECT_EQ(ctx_.object, nullptr);
  // The callers' group records now name freed states and are refused.
  EXPECT_FALSE(isValidGroupHandle(&first));
  EXPECT_FALSE(isValidGroupHandle(&second));
}

TEST_F(ContextTest, TraceFlagsAreReplacedNotCombined) {
  setContextTraceFlags(&ctx_, SKGXN_CTX_TRACE_QUERY);
  EXPECT_TRUE(contextTraceWanted(&ctx_, SKGXN_CTX_TRACE_QUERY));
  setContextTraceFlags(&ctx_, SKGXN_CTX_TRACE_REG);
  EXPECT_FALSE(contextTraceWanted(&ctx_, SKGXN_CTX_TRACE_QUERY));
  EXPECT_TRUE(contextTraceWanted(&ctx_, SKGXN_CTX_TRACE_REG));
}

TEST_F(ContextTest, CallbackGetsFunctionAndLineWhenBitIsSet) {
  setContextTraceFlags(&ctx_, SKGXN_CTX_TRACE_QUERY);
  callTraceCallback(&ctx_, SKGXN_CTX_TRACE_QUERY, "skgxnqat", "line\n");
  callTraceCallback(&ctx_, SKGXN_CTX_TRACE_REG, "skgxnreg", "other\n");
  ASSERT_EQ(log_.calls.size(), 1u);
  EXPECT_EQ(log_.calls[0], "%s: %s|skgxnqat|line\n");
}

TEST_F(ContextTest, NoCallbackWithoutTraceFunctionCbctxOrCallbacks) {
  skgxn_callbacks noFunction{nullptr};
  skgxn_context records[3]{};
  ASSERT_EQ(createContext("skgxncin", &records[0], &noFunction, &log_), ERR_NONE);
  ASSERT_EQ(createContext("skgxncin", &records[1], &callbacks_, nullptr), ERR_NONE);
  ASSERT_EQ(createContext("skgxncin", &records[2], nullptr, &log_), ERR_NONE);
  for (skgxn_context& record : records) {
    setContextTraceFlags(&record, 0xFFFFFFFFu);
    callTraceCallback(&record, SKGXN_CTX_TRACE_QUERY, "skgxnqat", "line\n");
    releaseContext(&record);
  }
  EXPECT_TRUE(log_.calls.empty());
}

}  // namespace
}  // namespace skgxn
