// Tests of the exported context and library calls and the deprecated calls,
// through the whole frame: result record, error lines, exit lines and the
// trace callback. Runs in the private mount namespace, switching the trace
// mask with the real command file.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "api/frame.h"
#include "diag/trace.h"
#include "diag/test_support.h"
#include "skgxn.h"

namespace skgxn {
namespace {

using test::TraceCapture;
using Lines = std::vector<std::string>;

std::string ptr(const void* p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

// cbctx is the Lines that collects "<format>|<function>|<line>".
void recordCallback(void* cbctx, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  const char* function = va_arg(args, const char*);
  const char* line = va_arg(args, const char*);
  va_end(args);
  static_cast<Lines*>(cbctx)->push_back(std::string(fmt) + "|" + function + "|" + line);
}

// The captured lines apart from the entry lines, which one case checks.
Lines afterEntry(const TraceCapture& trace) {
  Lines found;
  for (const std::string& line : trace.lines()) {
    if (line.find(":ENTER") == std::string::npos) found.push_back(line);
  }
  return found;
}

class LibraryCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeCmdFile("TRACE ON CALL\n");
    std::memset(&err_, 'x', sizeof err_);
  }
  void TearDown() override {
    if (ctx_.object != nullptr) (void)skgxncdel(nullptr, &ctx_, nullptr, 0);
  }

  void createContext() { ASSERT_EQ(skgxncin(&err_, &ctx_, &callbacks_, &log_, nullptr, 0), 1); }

  // The result record: code 0 leaves it all clear, a failure names the call.
  void expectResult(uint32_t code, const char* function = "") {
    EXPECT_EQ(std::to_string(err_.code) + "|" + err_.function + "|" + err_.text2 + "|" +
                  err_.text3 + "|" + std::to_string(err_.mark),
              std::to_string(code) + "|" + function + "|||" + (code == 0 ? "0" : "99"));
  }

  // Asks for version cvers with vendsz, starting from overs -7.-7 and vendstr
  // "untouched"; out is "<overs> <vendstr>" afterwards. An error line means
  // the call fails with it.
  void expectVersion(skgxn_version cvers, uint32_t vendsz, const std::string& out,
                     const std::string& error, const std::string& exitArgs) {
    skgxn_version overs{-7, -7};
    char vendstr[64] = "untouched";
    TraceCapture trace;
    EXPECT_EQ(skgxnever(&err_, &cvers, &overs, vendstr, vendsz, nullptr, 0), error.empty());
    expectResult(error.empty() ? 0 : 4, error.empty() ? "" : "skgxnever");
    EXPECT_EQ(std::to_string(overs.major) + "." + std::to_string(overs.minor) + " " + vendstr, out);
    Lines expected = error.empty() ? Lines{} : Lines{error};
    expected.push_back("skgxnever:EXIT " + exitArgs + ", ext(i)=0, flags(i)=0 : " +
                       (error.empty() ? "SKGXN_SUCC" : "SKGXN_FAIL(EINVAL)"));
    EXPECT_EQ(afterEntry(trace), expected);
  }

  skgxn_result err_;
  skgxn_context ctx_{};
  Lines log_;
  skgxn_callbacks callbacks_{recordCallback};
};

TEST_F(LibraryCallsTest, TypeSizeQueryAnswersEachTypeWithItsLinesAndRecord) {
  const struct {
    int32_t type;
    int result;
    const char* name;
  } rows[] = {{SKGXN_TYPE_CONTEXT, 16, "Context"},
              {SKGXN_TYPE_GROUP_HANDLE, 16, "Group Handle"},
              {SKGXN_TYPE_SLAVE_HANDLE, 0, "Slave Handle"},
              {0, 0, "???"},
              {4, 0, "???"},
              {-1, 0, "???"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.type);
    const bool known = row.name[0] != '?';
    setFailure(&err_, 4, "earlier", "t2", "t3");  // a success clears it
    TraceCapture trace;
    EXPECT_EQ(skgxnqtsz(&err_, row.type, nullptr, 3), row.result);
    expectResult(known ? 0 : 4, known ? "" : "skgxnqtsz");
    Lines expected{"skgxnqtsz:ENTER"};
    if (!known) expected.push_back("skgxnqtsz:ERROR unknown type " + std::to_string(row.type));
    expected.push_back("skgxnqtsz:EXIT type(i)=" + std::string(row.name) +
                       ", ext(i)=0, flags(i)=3 : " + std::to_string(row.result) + " - " +
                       (known ? "SKGXN_SUCC" : "SKGXN_FAIL(EINVAL)"));
    EXPECT_EQ(trace.lines(), expected);
  }
  TraceCapture trace;
  EXPECT_EQ(skgxnqtsz(nullptr, 0, nullptr, 0), 0);  // no record to write is tolerated
  EXPECT_EQ(trace.count("skgxnqtsz:EXIT type(i)=???, ext(i)=0, flags(i)=0 : 0 - SKGXN_FAIL"), 1u);
  test::writeCmdFile("TRACE OFF\n");
  TraceCapture quiet;
  EXPECT_EQ(skgxnqtsz(&err_, SKGXN_TYPE_CONTEXT, nullptr, 3), 16);
  EXPECT_TRUE(quiet.lines().empty());
}

TEST_F(LibraryCallsTest, AttributeQueryAnswersEachLimitAndRefusesUnknownOnes) {
  createContext();
  const struct {
    int32_t attr;
    int result;
    const char* name;
  } rows[] = {{SKGXN_ATTR_NODE_NAME_LEN, 257, "Max len of node name"},
              {SKGXN_ATTR_MAX_MEMBERS, 128, "Max group member(and bitmap) size"},
              {SKGXN_ATTR_MAX_CLUSTER, 64, "Max cluster size"},
              {0, -1, "???"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.attr);
    const bool known = row.result > 0;
    TraceCapture trace;
    EXPECT_EQ(skgxnqat(&err_, &ctx_, row.attr, nullptr, 5), row.result);
    expectResult(known ? 0 : 4, known ? "" : "skgxnqat");
    Lines expected = known ? Lines{} : Lines{"skgxnqat:ERROR unknown attribute 0"};
    expected.push_back("skgxnqat:EXIT ctx(i)=" + ptr(&ctx_) + ", attr(i)=" + row.name +
                       ", ext(i)=0, flags(i)=5 : " + std::to_string(row.result) + " - " +
                       (known ? "SKGXN_SUCC" : "SKGXN_FAIL(EINVAL)"));
    EXPECT_EQ(afterEntry(trace), expected);
  }
  EXPECT_NE(ctx_.object, nullptr);  // a bad attribute leaves the context alone
}

TEST_F(LibraryCallsTest, VersionCheckAnswersTwoZeroToTwoZeroAndLater) {
  const std::string bad = "skgxnevers:ERROR bad parameters";
  expectVersion({2, 0}, 64, "2.0 Corvid Cluster", "",
                "cvers(i)=2.0, overs(o)=2.0, vendstr(o)=Corvid Cluster, vendsz(i)=64");
  expectVersion({2, 0}, 5, "2.0 Corv", "",
                "cvers(i)=2.0, overs(o)=2.0, vendstr(o)=Corv, vendsz(i)=5");
  expectVersion({2, 0}, 4, "2.0 untouched", bad,
                "cvers(i)=2.0, overs(o)=2.0, vendstr(o)=, vendsz(i)=4");
  expectVersion({1, 9}, 64, "-7.-7 untouched", "skgxnevers:ERROR incompatible version (pre 2.0)",
                "cvers(i)=1.9, overs(o)=0.0, vendstr(o)=, vendsz(i)=64");
  expectVersion({3, 0}, 64, "2.0 Corvid Cluster", "",
                "cvers(i)=3.0, overs(o)=2.0, vendstr(o)=Corvid Cluster, vendsz(i)=64");

  skgxn_version version{2, 0};
  char vendstr[64];
  TraceCapture trace;
  EXPECT_EQ(skgxnever(&err_, nullptr, &version, vendstr, 64, nullptr, 0), 0);
  EXPECT_EQ(skgxnever(&err_, &version, nullptr, vendstr, 64, nullptr, 0), 0);
  EXPECT_EQ(skgxnever(&err_, &version, &version, nullptr, 64, nullptr, 0), 0);
  expectResult(4, "skgxnever");
  EXPECT_EQ(trace.count(bad), 3u);
  EXPECT_EQ(trace.count("skgxnever:EXIT cvers(i)=0.0, overs(o)=0.0, vendstr(o)=, vendsz(i)=64, "
                        "ext(i)=0, flags(i)=0 : SKGXN_FAIL(EINVAL)"),
            1u);
}

TEST_F(LibraryCallsTest, ContextIsCreatedOnceAndDeletedOnce) {
  TraceCapture trace;
  createContext();
  expectResult(0);
  skgxn_context copy = ctx_;
  EXPECT_EQ(skgxncdel(&err_, &ctx_, &log_, 9), 1);
  EXPECT_EQ(ctx_.object, nullptr);
  EXPECT_EQ(skgxncdel(&err_, &ctx_, nullptr, 0), 0);
  expectResult(4, "skgxncdel");
  EXPECT_EQ(skgxncdel(&err_, &copy, nullptr, 0), 0);  // a stale copy is refused, not read
  EXPECT_EQ(copy.object, nullptr);
  EXPECT_EQ(skgxncin(&err_, nullptr, nullptr, nullptr, nullptr, 0), 0);
  expectResult(1, "skgxncin");
  const std::string invalid = "skgxncdel:ERROR: context is NULL or invalid";
  const std::string failed = ", ext(i)=0, flags(i)=0 : SKGXN_FAIL(EINVAL)";
  EXPECT_EQ(
      afterEntry(trace),
      (Lines{"skgxncin:EXIT ctx(i)=" + ptr(&ctx_) + ", callbacks(i)=" + ptr(&callbacks_) +
                 ", cbctx(i)=" + ptr(&log_) + ", ext(i)=0, flags(i)=0 : SKGXN_SUCC",
             "skgxncdel:EXIT ctx(i)=" + ptr(&ctx_) + ", ext(i)=" + ptr(&log_) +
                 ", flags(i)=9 : SKGXN_SUCC",
             invalid, "skgxncdel:EXIT ctx(i)=" + ptr(&ctx_) + failed, invalid,
             "skgxncdel:EXIT ctx(i)=" + ptr(&copy) + failed, "skgxncin:ERROR: creating context",
             "skgxncin:EXIT ctx(i)=0, callbacks(i)=0, cbctx(i)=0, ext(i)=0, flags(i)=0 : "
             "SKGXN_FAIL(EUNK)"}));
}

TEST_F(LibraryCallsTest, TraceFlagsLineShowsHexAndReportsItselfToCallback) {
  createContext();
  TraceCapture trace;
  EXPECT_EQ(skgxntrace(&err_, &ctx_, nullptr, SKGXN_CTX_TRACE_TRACE), 1);
  const std::string exit = "skgxntrace:EXIT ctx(i)=" + ptr(&ctx_) + ", trace_flags(i)=0x";
  EXPECT_EQ(log_, Lines{"%s: %s|skgxntrace|" + exit + "10000, ext(i)=0 : SKGXN_SUCC\n"});
  skgxn_context altered = ctx_;  // an invalid context is cleared
  altered.check ^= 0x8000;
  EXPECT_EQ(skgxntrace(&err_, &altered, nullptr, 0xabc), 0);
  expectResult(4, "skgxntrace");
  EXPECT_EQ(altered.object, nullptr);
  EXPECT_EQ(
      afterEntry(trace),
      (Lines{exit + "10000, ext(i)=0 : SKGXN_SUCC", "skgxntrace:ERROR: context is NULL or invalid",
             "skgxntrace:EXIT ctx(i)=" + ptr(&altered) +
                 ", trace_flags(i)=0xabc, ext(i)=0 : SKGXN_FAIL(EINVAL)"}));
}

TEST_F(LibraryCallsTest, CallbackGetsExitLinesOfTheBitsLastSetWithoutCallCategory) {
  createContext();
  EXPECT_EQ(skgxntrace(&err_, &ctx_, nullptr, SKGXN_CTX_TRACE_QUERY), 1);
  test::writeCmdFile("TRACE OFF\n");
  TraceCapture trace;
  EXPECT_EQ(skgxnqat(&err_, &ctx_, SKGXN_ATTR_MAX_MEMBERS, nullptr, 0), 128);
  EXPECT_TRUE(trace.lines().empty());
  EXPECT_EQ(log_, Lines{"%s: %s|skgxnqat|skgxnqat:EXIT ctx(i)=" + ptr(&ctx_) +
                        ", attr(i)=Max group member(and bitmap) size, ext(i)=0, "
                        "flags(i)=0 : 128 - SKGXN_SUCC\n"});
  EXPECT_EQ(traceMask.load(), TRACE_ERR);  // the context's flags never touch the mask
  // New flags replace the old ones rather than adding to them.
  EXPECT_EQ(skgxntrace(&err_, &ctx_, nullptr, SKGXN_CTX_TRACE_REG), 1);
  log_.clear();
  EXPECT_EQ(skgxnqat(&err_, &ctx_, SKGXN_ATTR_MAX_MEMBERS, nullptr, 0), 128);
  EXPECT_TRUE(log_.empty());
}

TEST_F(LibraryCallsTest, NoCallbackWithoutTraceFunctionCbctxOrCallbacks) {
  skgxn_callbacks noFunction{nullptr};
  const std::pair<skgxn_callbacks*, void*> setups[] = {
      {&noFunction, &log_}, {&callbacks_, nullptr}, {nullptr, &log_}};
  for (const auto& [callbacks, cbctx] : setups) {
    skgxn_context ctx{};
    ASSERT_EQ(skgxncin(&err_, &ctx, callbacks, cbctx, nullptr, 0), 1);
    ASSERT_EQ(skgxntrace(&err_, &ctx, nullptr, 0xFFFFFFFFu), 1);
    EXPECT_EQ(skgxnqat(&err_, &ctx, SKGXN_ATTR_MAX_MEMBERS, nullptr, 0), 128);
    EXPECT_EQ(skgxncdel(&err_, &ctx, nullptr, 0), 1);
  }
  EXPECT_TRUE(log_.empty());
}

TEST_F(LibraryCallsTest, DeprecatedCallsWarnFailUnavailableAndListTheirArguments) {
  int slave = 0;
  uint32_t len = 0;
  TraceCapture trace;
  EXPECT_EQ(skgxnpbdata(&err_, &ctx_, nullptr, 3, &slave, 8, &len, nullptr, 2), 0);
  expectResult(5, "skgxnpbdata");
  EXPECT_EQ(skgxnsrg(&err_, &ctx_, "DBGRP", 4, &slave, nullptr, 1), 0);
  expectResult(5, "skgxnsrg");
  EXPECT_EQ(skgxnsdr(&err_, &slave, nullptr, 0), 0);
  expectResult(5, "skgxnsdr");
  EXPECT_EQ(skgxnsdr(nullptr, &slave, nullptr, 0), 0);
  const std::string warn = ":WARN deprecated api being called!";
  const std::string sdrExit =
      "skgxnsdr:EXIT slvm_hdl(i)=" + ptr(&slave) + ", ext(i)=0, flags(i)=0 : ";
  EXPECT_EQ(
      afterEntry(trace),
      (Lines{"skgxnpbdata" + warn,
             "skgxnpbdata:EXIT ctx(i)=" + ptr(&ctx_) +
                 ", pgroup(i)=(null), memno(i)=3, "
                 "public_data(i)=" +
                 ptr(&slave) + ", bufsz(i)=8, len(i)=" + ptr(&len) +
                 ", ext(i)=0, flags(i)=2 : SKGXN_FAIL(EUNAVAIL)",
             "skgxnsrg" + warn,
             "skgxnsrg:EXIT slvm_hdl(i)=" + ptr(&slave) + ", ctx(i)=" + ptr(&ctx_) +
                 ", pgroup(i)=DBGRP, memnum(i)=4, ext(i)=0, flags(i)=1 : SKGXN_FAIL(EUNAVAIL)",
             "skgxnsdr" + warn, sdrExit + "SKGXN_FAIL(EUNAVAIL)", "skgxnsdr" + warn,
             sdrExit + "SKGXN_FAIL"}));
}

}  // namespace
}  // namespace skgxn
