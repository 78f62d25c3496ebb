// Tests of the exported context and library calls, the deprecated calls and
// the calls not yet served, through the whole frame: result record, error
// lines, exit lines and the trace callback. Runs in the private mount
// namespace, switching the trace mask with the real command file.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "api/frame.h"
#include "diag/trace.h"
#include "group/diag_test_support.h"
#include "skgxn.h"

namespace skgxn {
namespace {

using testsupport::TraceCapture;

std::string ptr(const void* p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

struct CallbackLog {
  std::vector<std::string> lines;
};

void recordCallback(void* cbctx, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const char* function = va_arg(args, const char*);
  const char* line = va_arg(args, const char*);
  va_end(args);
  static_cast<CallbackLog*>(cbctx)->lines.push_back(std::string(fmt) + "|" + function + "|" +
                                                    line);
}

class LibraryCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::writeCmdFile("TRACE ON CALL\n");
    std::memset(&err_, 'x', sizeof err_);
  }
  void TearDown() override {
    if (ctx_.object != nullptr) (void)skgxncdel(nullptr, &ctx_, nullptr, 0);
  }

  // Switches the process-wide mask to errors only for the following calls.
  static void errorsOnly() { testsupport::writeCmdFile("TRACE OFF\n"); }

  void createContext() {
    ASSERT_EQ(skgxncin(&err_, &ctx_, &callbacks_, &log_, nullptr, 0), 1);
  }

  void expectFailure(uint32_t code, const char* function) {
    EXPECT_EQ(err_.code, code);
    EXPECT_STREQ(err_.function, function);
    EXPECT_STREQ(err_.text2, "");
    EXPECT_STREQ(err_.text3, "");
    EXPECT_EQ(err_.mark, 99u);
  }
  void expectSuccess() {
    EXPECT_EQ(err_.code, 0u);
    EXPECT_STREQ(err_.function, "");
    EXPECT_STREQ(err_.text2, "");
    EXPECT_STREQ(err_.text3, "");
    EXPECT_EQ(err_.mark, 0u);
  }

  skgxn_result err_;
  skgxn_context ctx_{};
  CallbackLog log_;
  skgxn_callbacks callbacks_{recordCallback};
};

// --- frame -----------------------------------------------------------------

TEST_F(LibraryCallsTest, SuccessClearsEarlierFailureFromRecord) {
  setFailure(&err_, 4, "earlier", "t2", "t3");
  EXPECT_EQ(skgxnqtsz(&err_, SKGXN_TYPE_CONTEXT, nullptr, 0), 16);
  expectSuccess();
}

TEST_F(LibraryCallsTest, EntryAndExitLinesFollowCallCategory) {
  TraceCapture trace;
  (void)skgxnqtsz(&err_, SKGXN_TYPE_CONTEXT, nullptr, 3);
  EXPECT_EQ(trace.lines(), (std::vector<std::string>{
                               "skgxnqtsz:ENTER",
                               "skgxnqtsz:EXIT type(i)=Context, ext(i)=0, flags(i)=3 : 16 - "
                               "SKGXN_SUCC"}));
  errorsOnly();
  TraceCapture quiet;
  (void)skgxnqtsz(&err_, SKGXN_TYPE_CONTEXT, nullptr, 3);
  EXPECT_TRUE(quiet.lines().empty());
}

TEST_F(LibraryCallsTest, NullResultRecordIsToleratedAndNamedPlainFail) {
  TraceCapture trace;
  EXPECT_EQ(skgxnqtsz(nullptr, 0, nullptr, 0), 0);
  EXPECT_EQ(trace.count("skgxnqtsz:EXIT type(i)=???, ext(i)=0, flags(i)=0 : 0 - SKGXN_FAIL"), 1u);
}

// --- skgxnqtsz -------------------------------------------------------------

TEST_F(LibraryCallsTest, QueryTypeSizeReportsRecordSizes) {
  EXPECT_EQ(skgxnqtsz(&err_, SKGXN_TYPE_CONTEXT, nullptr, 0), 16);
  EXPECT_EQ(skgxnqtsz(&err_, SKGXN_TYPE_GROUP_HANDLE, nullptr, 0), 16);
  TraceCapture trace;
  EXPECT_EQ(skgxnqtsz(&err_, SKGXN_TYPE_SLAVE_HANDLE, nullptr, 0), 0);
  expectSuccess();
  EXPECT_EQ(trace.count("skgxnqtsz:EXIT type(i)=Slave Handle, ext(i)=0, flags(i)=0 : 0 - "
                        "SKGXN_SUCC"),
            1u);
}

TEST_F(LibraryCallsTest, QueryTypeSizeRejectsUnknownTypes) {
  for (int32_t type : {0, 4, -1}) {
    TraceCapture trace;
    EXPECT_EQ(skgxnqtsz(&err_, type, nullptr, 0), 0);
    expectFailure(4, "skgxnqtsz");
    EXPECT_EQ(trace.count("skgxnqtsz:ERROR unknown type " + std::to_string(type)), 1u);
    EXPECT_EQ(trace.count("skgxnqtsz:EXIT type(i)=???, ext(i)=0, flags(i)=0 : 0 - "
                          "SKGXN_FAIL(EINVAL)"),
              1u);
  }
}

// --- skgxnqat --------------------------------------------------------------

TEST_F(LibraryCallsTest, QueryAttributeReportsLimits) {
  createContext();
  EXPECT_EQ(skgxnqat(&err_, &ctx_, SKGXN_ATTR_NODE_NAME_LEN, nullptr, 0), 257);
  EXPECT_EQ(skgxnqat(&err_, &ctx_, SKGXN_ATTR_MAX_MEMBERS, nullptr, 0), 128);
  TraceCapture trace;
  EXPECT_EQ(skgxnqat(&err_, &ctx_, SKGXN_ATTR_MAX_CLUSTER, nullptr, 5), 64);
  expectSuccess();
  EXPECT_EQ(trace.count("skgxnqat:EXIT ctx(i)=" + ptr(&ctx_) +
                        ", attr(i)=Max cluster size, ext(i)=0, flags(i)=5 : 64 - SKGXN_SUCC"),
            1u);
}

TEST_F(LibraryCallsTest, QueryAttributeRejectsUnknownAttribute) {
  createContext();
  TraceCapture trace;
  EXPECT_EQ(skgxnqat(&err_, &ctx_, 0, nullptr, 0), -1);
  expectFailure(4, "skgxnqat");
  EXPECT_EQ(trace.count("skgxnqat:ERROR unknown attribute 0"), 1u);
  EXPECT_EQ(trace.count("skgxnqat:EXIT ctx(i)=" + ptr(&ctx_) +
                        ", attr(i)=???, ext(i)=0, flags(i)=0 : -1 - SKGXN_FAIL(EINVAL)"),
            1u);
  EXPECT_NE(ctx_.object, nullptr);  // a bad attribute leaves the context alone
}

TEST_F(LibraryCallsTest, QueryAttributeClearsInvalidContext) {
  createContext();
  skgxn_context altered = ctx_;
  altered.check = 33;
  TraceCapture trace;
  EXPECT_EQ(skgxnqat(&err_, &altered, SKGXN_ATTR_MAX_MEMBERS, nullptr, 0), -1);
  expectFailure(4, "skgxnqat");
  EXPECT_EQ(altered.object, nullptr);
  EXPECT_EQ(altered.check, 0);
  EXPECT_EQ(trace.count("skgxnqat:ERROR: context is NULL or invalid"), 1u);
  EXPECT_EQ(skgxnqat(&err_, nullptr, SKGXN_ATTR_MAX_MEMBERS, nullptr, 0), -1);
  expectFailure(4, "skgxnqat");
}

// --- skgxnever -------------------------------------------------------------

struct VersionCase {
  skgxn_version overs{-7, -7};
  char vendstr[64];
  VersionCase() { std::strcpy(vendstr, "untouched"); }
};

TEST_F(LibraryCallsTest, VersionTwoGetsVersionAndVendorText) {
  VersionCase out;
  skgxn_version cvers{2, 0};
  TraceCapture trace;
  EXPECT_EQ(skgxnever(&err_, &cvers, &out.overs, out.vendstr, 64, nullptr, 0), 1);
  expectSuccess();
  EXPECT_EQ(out.overs.major, 2);
  EXPECT_EQ(out.overs.minor, 0);
  EXPECT_STREQ(out.vendstr, "Corvid Cluster");
  EXPECT_EQ(trace.count("skgxnever:EXIT cvers(i)=2.0, overs(o)=2.0, vendstr(o)=Corvid Cluster, "
                        "vendsz(i)=64, ext(i)=0, flags(i)=0 : SKGXN_SUCC"),
            1u);
}

TEST_F(LibraryCallsTest, VersionVendorTextIsCutToBuffer) {
  VersionCase out;
  skgxn_version cvers{2, 0};
  EXPECT_EQ(skgxnever(&err_, &cvers, &out.overs, out.vendstr, 5, nullptr, 0), 1);
  EXPECT_STREQ(out.vendstr, "Corv");
}

TEST_F(LibraryCallsTest, VersionBufferOfFourFailsAfterWritingVersion) {
  VersionCase out;
  skgxn_version cvers{2, 0};
  TraceCapture trace;
  EXPECT_EQ(skgxnever(&err_, &cvers, &out.overs, out.vendstr, 4, nullptr, 0), 0);
  expectFailure(4, "skgxnever");
  EXPECT_EQ(out.overs.major, 2);
  EXPECT_EQ(out.overs.minor, 0);
  EXPECT_STREQ(out.vendstr, "untouched");
  EXPECT_EQ(trace.count("skgxnevers:ERROR bad parameters"), 1u);
  EXPECT_EQ(trace.count("skgxnever:EXIT cvers(i)=2.0, overs(o)=2.0, vendstr(o)=, vendsz(i)=4, "
                        "ext(i)=0, flags(i)=0 : SKGXN_FAIL(EINVAL)"),
            1u);
}

TEST_F(LibraryCallsTest, VersionBelowTwoIsIncompatibleAndWritesNothing) {
  VersionCase out;
  skgxn_version cvers{1, 9};
  TraceCapture trace;
  EXPECT_EQ(skgxnever(&err_, &cvers, &out.overs, out.vendstr, 64, nullptr, 0), 0);
  expectFailure(4, "skgxnever");
  EXPECT_EQ(out.overs.major, -7);
  EXPECT_STREQ(out.vendstr, "untouched");
  EXPECT_EQ(trace.count("skgxnevers:ERROR incompatible version (pre 2.0)"), 1u);
  EXPECT_EQ(trace.count("skgxnever:EXIT cvers(i)=1.9, overs(o)=0.0, vendstr(o)=, vendsz(i)=64, "
                        "ext(i)=0, flags(i)=0 : SKGXN_FAIL(EINVAL)"),
            1u);
}

TEST_F(LibraryCallsTest, VersionThreeIsAnsweredWithTwo) {
  VersionCase out;
  skgxn_version cvers{3, 0};
  EXPECT_EQ(skgxnever(&err_, &cvers, &out.overs, out.vendstr, 64, nullptr, 0), 1);
  EXPECT_EQ(out.overs.major, 2);
  EXPECT_EQ(out.overs.minor, 0);
}

TEST_F(LibraryCallsTest, VersionMissingRecordsAreBadParameters) {
  VersionCase out;
  skgxn_version cvers{2, 0};
  TraceCapture trace;
  EXPECT_EQ(skgxnever(&err_, nullptr, &out.overs, out.vendstr, 64, nullptr, 0), 0);
  EXPECT_EQ(out.overs.major, -7);
  EXPECT_EQ(skgxnever(&err_, &cvers, nullptr, out.vendstr, 64, nullptr, 0), 0);
  EXPECT_EQ(skgxnever(&err_, &cvers, &out.overs, nullptr, 64, nullptr, 0), 0);
  expectFailure(4, "skgxnever");
  EXPECT_EQ(trace.count("skgxnevers:ERROR bad parameters"), 3u);
  EXPECT_EQ(trace.count("skgxnever:EXIT cvers(i)=0.0, overs(o)=0.0, vendstr(o)=, vendsz(i)=64, "
                        "ext(i)=0, flags(i)=0 : SKGXN_FAIL(EINVAL)"),
            1u);
}

// --- skgxncin / skgxncdel --------------------------------------------------

TEST_F(LibraryCallsTest, CreateAndDeleteWriteTheirExitLines) {
  TraceCapture trace;
  createContext();
  expectSuccess();
  EXPECT_EQ(trace.count("skgxncin:EXIT ctx(i)=" + ptr(&ctx_) + ", callbacks(i)=" +
                        ptr(&callbacks_) + ", cbctx(i)=" + ptr(&log_) +
                        ", ext(i)=0, flags(i)=0 : SKGXN_SUCC"),
            1u);
  EXPECT_EQ(skgxncdel(&err_, &ctx_, &log_, 9), 1);
  EXPECT_EQ(ctx_.object, nullptr);
  EXPECT_EQ(trace.count("skgxncdel:EXIT ctx(i)=" + ptr(&ctx_) + ", ext(i)=" + ptr(&log_) +
                        ", flags(i)=9 : SKGXN_SUCC"),
            1u);
}

TEST_F(LibraryCallsTest, CreateOnNullRecordFailsWithUnknown) {
  TraceCapture trace;
  EXPECT_EQ(skgxncin(&err_, nullptr, nullptr, nullptr, nullptr, 0), 0);
  expectFailure(1, "skgxncin");
  EXPECT_EQ(trace.count("skgxncin:ERROR: creating context"), 1u);
}

TEST_F(LibraryCallsTest, CreateOnUsedRecordWarnsAndSucceeds) {
  createContext();
  skgxn_context earlier = ctx_;
  TraceCapture trace;
  EXPECT_EQ(skgxncin(&err_, &ctx_, nullptr, nullptr, nullptr, 0), 1);
  EXPECT_EQ(trace.count("skgxncin:WARN context not clean - possibly in use"), 1u);
  EXPECT_EQ(skgxncdel(&err_, &earlier, nullptr, 0), 1);
}

TEST_F(LibraryCallsTest, SecondDeleteFailsWithInvalid) {
  createContext();
  EXPECT_EQ(skgxncdel(&err_, &ctx_, nullptr, 0), 1);
  TraceCapture trace;
  EXPECT_EQ(skgxncdel(&err_, &ctx_, nullptr, 0), 0);
  expectFailure(4, "skgxncdel");
  EXPECT_EQ(trace.count("skgxncdel:ERROR: context is NULL or invalid"), 1u);
}

TEST_F(LibraryCallsTest, DeleteThroughStaleCopyIsRefusedWithoutCrash) {
  createContext();
  skgxn_context copy = ctx_;
  EXPECT_EQ(skgxncdel(&err_, &ctx_, nullptr, 0), 1);
  EXPECT_EQ(skgxncdel(&err_, &copy, nullptr, 0), 0);
  expectFailure(4, "skgxncdel");
  EXPECT_EQ(copy.object, nullptr);
}

// --- skgxntrace and the callback ------------------------------------------

TEST_F(LibraryCallsTest, TraceFlagsLineShowsHexAndReportsItselfToCallback) {
  createContext();
  TraceCapture trace;
  EXPECT_EQ(skgxntrace(&err_, &ctx_, nullptr, SKGXN_CTX_TRACE_TRACE), 1);
  std::string exitLine = "skgxntrace:EXIT ctx(i)=" + ptr(&ctx_) +
                         ", trace_flags(i)=0x10000, ext(i)=0 : SKGXN_SUCC";
  EXPECT_EQ(trace.count(exitLine), 1u);
  ASSERT_EQ(log_.lines.size(), 1u);
  EXPECT_EQ(log_.lines[0], "%s: %s|skgxntrace|" + exitLine + "\n");
}

TEST_F(LibraryCallsTest, QueryBitSendsExitLineToCallbackWithoutCallCategory) {
  createContext();
  EXPECT_EQ(skgxntrace(&err_, &ctx_, nullptr, SKGXN_CTX_TRACE_QUERY), 1);
  errorsOnly();
  TraceCapture trace;
  EXPECT_EQ(skgxnqat(&err_, &ctx_, SKGXN_ATTR_MAX_MEMBERS, nullptr, 0), 128);
  EXPECT_TRUE(trace.lines().empty());
  ASSERT_EQ(log_.lines.size(), 1u);
  EXPECT_EQ(log_.lines[0], "%s: %s|skgxnqat|skgxnqat:EXIT ctx(i)=" + ptr(&ctx_) +
                               ", attr(i)=Max group member(and bitmap) size, ext(i)=0, "
                               "flags(i)=0 : 128 - SKGXN_SUCC\n");
  EXPECT_EQ(traceMask.load(), TRACE_ERR);  // the context's flags never touch the mask

  EXPECT_EQ(skgxntrace(&err_, &ctx_, nullptr, 0), 1);
  log_.lines.clear();
  EXPECT_EQ(skgxnqat(&err_, &ctx_, SKGXN_ATTR_MAX_MEMBERS, nullptr, 0), 128);
  EXPECT_TRUE(log_.lines.empty());
}

TEST_F(LibraryCallsTest, TraceOnInvalidContextFailsAndClearsIt) {
  createContext();
  skgxn_context altered = ctx_;
  altered.check ^= 0x8000;
  TraceCapture trace;
  EXPECT_EQ(skgxntrace(&err_, &altered, nullptr, 0xabc), 0);
  expectFailure(4, "skgxntrace");
  EXPECT_EQ(altered.object, nullptr);
  EXPECT_EQ(trace.count("skgxntrace:ERROR: context is NULL or invalid"), 1u);
  EXPECT_EQ(trace.count("skgxntrace:EXIT ctx(i)=" + ptr(&altered) +
                        ", trace_flags(i)=0xabc, ext(i)=0 : SKGXN_FAIL(EINVAL)"),
            1u);
}

// --- deprecated calls ------------------------------------------------------

TEST_F(LibraryCallsTest, DeprecatedCallsWarnRecordUnavailableAndReturnZero) {
  errorsOnly();
  TraceCapture trace;
  EXPECT_EQ(skgxnpbdata(&err_, nullptr, "G", 1, nullptr, 8, nullptr, nullptr, 0), 0);
  expectFailure(5, "skgxnpbdata");
  EXPECT_EQ(skgxnsrg(&err_, nullptr, "G", 1, nullptr, nullptr, 0), 0);
  expectFailure(5, "skgxnsrg");
  EXPECT_EQ(skgxnsdr(&err_, nullptr, nullptr, 0), 0);
  expectFailure(5, "skgxnsdr");
  EXPECT_EQ(trace.lines(), (std::vector<std::string>{
                               "skgxnpbdata:WARN deprecated api being called!",
                               "skgxnsrg:WARN deprecated api being called!",
                               "skgxnsdr:WARN deprecated api being called!"}));
}

TEST_F(LibraryCallsTest, DeprecatedExitLinesListArgumentsAndPrintNullGroup) {
  int slave = 0;
  uint32_t len = 0;
  TraceCapture trace;
  (void)skgxnpbdata(&err_, &ctx_, nullptr, 3, &slave, 8, &len, nullptr, 2);
  (void)skgxnsrg(&err_, &ctx_, "DBGRP", 4, &slave, nullptr, 1);
  (void)skgxnsdr(nullptr, &slave, nullptr, 0);
  std::vector<std::string> pb = trace.startingWith("skgxnpbdata:EXIT");
  ASSERT_EQ(pb.size(), 1u);
  EXPECT_EQ(pb[0], "skgxnpbdata:EXIT ctx(i)=" + ptr(&ctx_) + ", pgroup(i)=(null), memno(i)=3, "
                   "public_data(i)=" + ptr(&slave) + ", bufsz(i)=8, len(i)=" + ptr(&len) +
                   ", ext(i)=0, flags(i)=2 : SKGXN_FAIL(EUNAVAIL)");
  EXPECT_EQ(trace.count("skgxnsrg:EXIT slvm_hdl(i)=" + ptr(&slave) + ", ctx(i)=" + ptr(&ctx_) +
                        ", pgroup(i)=DBGRP, memnum(i)=4, ext(i)=0, flags(i)=1 : "
                        "SKGXN_FAIL(EUNAVAIL)"),
            1u);
  EXPECT_EQ(trace.count("skgxnsdr:EXIT slvm_hdl(i)=" + ptr(&slave) +
                        ", ext(i)=0, flags(i)=0 : SKGXN_FAIL"),
            1u);
}

}  // namespace
}  // namespace skgxn
