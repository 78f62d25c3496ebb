// The exported calls that need no daemon, through the whole frame: argument checks
// in their order, context and library calls, the trace callback, the deprecated
// calls and the node queries over the configuration library's test double.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <functional>
#include <tuple>

#include "api/context.h"
#include "api/frame.h"
#include "cluster/fake_vemo.h"
#include "diag/test_support.h"
#include "group/group_handle.h"
#include "msg/msg_client.h"
#include "skgxn.h"
#include "vemo.h"

namespace skgxn {
namespace {

using test::TraceCapture;
using Lines = std::vector<std::string>;

std::string ptr(const void* p) { return ::testing::PrintToString(p); }

// cbctx is the Lines that collects each formatted callback line.
void recordCallback(void* cbctx, const char* fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  static_cast<Lines*>(cbctx)->push_back(text);
}

// The captured lines apart from entry and exit lines: what a call complained of.
Lines complaints(const TraceCapture& trace) {
  Lines found = trace.lines();
  std::erase_if(found, [](const std::string& line) {
    return line.find(":ENTER") != std::string::npos || line.find(":EXIT") != std::string::npos;
  });
  return found;
}

class LibraryCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeCmdFile("TRACE ON CALL\n");
    std::memset(&err_, 'x', sizeof err_);
    fake_vemo_reset();
    uint32_t node = 0;
    for (const char* name : {"alpha", "bravo", "charl"}) fake_vemo_add_node(++node, name);
    fake_vemo_set_local(2);
    ASSERT_EQ(skgxncin(&err_, &ctx_, &callbacks_, &log_, nullptr, 0), 1);
  }
  void TearDown() override {
    if (ctx_.object != nullptr) (void)skgxncdel(nullptr, &ctx_, nullptr, 0);
  }

  // The result record: code 0 leaves it all clear, a failure names the call.
  void expectResult(uint32_t code, const char* function = "") {
    EXPECT_EQ(std::to_string(err_.code) + "|" + err_.function + "|" + err_.text2 + "|" +
                  err_.text3 + "|" + std::to_string(err_.mark),
              std::to_string(code) + "|" + function + "|||" + (code == 0 ? "0" : "99"));
  }

  skgxn_result err_;
  skgxn_context ctx_{};
  Lines log_;
  skgxn_callbacks callbacks_{recordCallback};
};

// Each row carries two faults where the call has them: the one checked first
// is the one reported. Outputs of a refused call are left as they were.
TEST_F(LibraryCallsTest, EveryCallChecksItsArgumentsInOrderAndTouchesNothing) {
  skgxn_result* const e = &err_;
  skgxn_context* const c = &ctx_;
  skgxn_context bad{};
  skgxn_group g{}, forged{};
  // A well-formed group state the library never made: refused unread.
  GroupState lookAlike;
  lookAlike.ctxRecord = c;
  uint8_t bitmap[16];
  skgxn_memmap map{bitmap}, noBitmap{nullptr};
  uint32_t n = 99, vect[3] = {42, 42, 42};
  char name[16] = "kept";
  skgxn_version v20{2, 0}, v19{1, 9}, overs{-7, -7};
  const char* const longName = "ABCDEFGHIJKLMNOPQRS";
  const uint32_t unavail = SKGXN_EUNAVAIL;
  const std::string noCtx = ":ERROR: context is NULL or invalid",
                    down = ":ERROR: server not available", big = ":ERROR data too big for buffers",
                    tooLong = ":groupName of length 19 exceeds allowed size of 18",
                    badHdl = ":ERROR NULL or Invalid group_hdl",
                    old = ":WARN deprecated api being called!";
  const bool none = false;  // no registration marker: the daemon is not running
#define CALL(...) [&] { return __VA_ARGS__; }
  const struct {
    std::string complaint;
    std::function<int()> call;
    int result = 0;
    uint32_t code = SKGXN_EINVAL;
    bool marker = true;
  } rows[] = {
      {"skgxnreg" + down, CALL(skgxnreg(e, &bad, 0, &n, 0, 0, 0, 0, &g, 0, 0)), 0, unavail, none},
      {"skgxnreg" + noCtx, CALL(skgxnreg(e, &bad, nullptr, &n, 0, 0, 0, 0, &g, 0, 0))},
      {"skgxnreg:ERROR NULL parameters", CALL(skgxnreg(e, c, "G", &n, 0, 97, 0, 0, nullptr, 0, 0))},
      {"skgxnreg" + tooLong, CALL(skgxnreg(e, c, longName, &n, 0, 97, 0, 0, &g, 0, 0))},
      {"skgxnreg" + big, CALL(skgxnreg(e, c, "G", &n, 0, 97, 0, 0, &g, 0, 0))},
      {"skgxnreg" + big, CALL(skgxnreg(e, c, "G", &n, 0, 0, 0, 256, &g, 0, 0))},
      {"skgxndrg" + down, CALL(skgxndrg(e, nullptr, 0, 0)), 0, unavail, none},
      {"skgxndrg:ERROR NULL or invalid group_hdl", CALL(skgxndrg(e, &forged, 0, 0))},
      {"skgxnpstat:ERROR NULL memmap pointer", CALL(skgxnpstat(e, nullptr, nullptr, 0, 0, 0)),
       skgxngeERR, SKGXN_EINVAL, none},
      {"skgxnpstat" + down, CALL(skgxnpstat(e, nullptr, &map, 0, 0, 0)), skgxngeABT, unavail, none},
      {"skgxnpstat" + badHdl, CALL(skgxnpstat(e, &forged, &map, 0, 0, 0)), skgxngeABT},
      {"skgxnprdata" + down, CALL(skgxnprdata(e, nullptr, 1, name, 8, 0, 0, 0)), 0, unavail, none},
      {"skgxnprdata:ERROR NULL len pointer", CALL(skgxnprdata(e, &forged, 1, name, 8, 0, 0, 0))},
      {"skgxnprdata" + badHdl, CALL(skgxnprdata(e, &forged, 128, name, 8, &n, 0, 0))},
      {"skgxnqgrp" + down, CALL(skgxnqgrp(e, &bad, "G", &map, 0, 0)), 0, unavail, none},
      {"skgxnqgrp" + noCtx, CALL(skgxnqgrp(e, &bad, nullptr, &map, 0, 0))},
      {"skgxnqgrp:ERROR NULL parameters", CALL(skgxnqgrp(e, c, nullptr, nullptr, 0, 0))},
      {"skgxnqgrp" + tooLong, CALL(skgxnqgrp(e, c, longName, nullptr, 0, 0))},
      {"skgxnqgrp:ERROR NULL memmap pointer", CALL(skgxnqgrp(e, c, "G", &noBitmap, 0, 0))},
      {"skgxncin:ERROR: creating context", CALL(skgxncin(e, nullptr, 0, 0, 0, 0)), 0, SKGXN_EUNK},
      {"skgxncdel" + noCtx, CALL(skgxncdel(e, &bad, 0, 0))},
      {"skgxntrace" + noCtx, CALL(skgxntrace(e, nullptr, 0, 0))},
      {"skgxnevers:ERROR bad parameters", CALL(skgxnever(e, nullptr, nullptr, name, 64, 0, 0))},
      {"skgxnevers:ERROR incompatible version (pre 2.0)",
       CALL(skgxnever(e, &v19, nullptr, name, 64, 0, 0))},
      {"skgxnevers:ERROR bad parameters", CALL(skgxnever(e, &v20, nullptr, name, 64, 0, 0))},
      {"skgxnevers:ERROR bad parameters", CALL(skgxnever(e, &v20, &overs, name, 4, 0, 0))},
      {"skgxnqtsz:ERROR unknown type 4", CALL(skgxnqtsz(e, 4, 0, 0))},
      {"skgxnqat" + noCtx, CALL(skgxnqat(e, &bad, 0, 0, 0)), -1},
      {"skgxnqat:ERROR unknown attribute 0", CALL(skgxnqat(e, c, 0, 0, 0)), -1},
      {"skgxnqcnum" + noCtx, CALL(skgxnqcnum(e, &bad, nullptr, 0, 0))},
      {"skgxnqcnum:ERROR NULL nodenum", CALL(skgxnqcnum(e, c, nullptr, 0, 0))},
      {"skgxnqname" + noCtx, CALL(skgxnqname(e, &bad, 1, nullptr, 6, nullptr, 0, 0))},
      {"skgxnqname:ERROR NULL namel", CALL(skgxnqname(e, c, 1, nullptr, 6, nullptr, 0, 0))},
      {"skgxnqanum" + noCtx, CALL(skgxnqanum(e, &bad, nullptr, nullptr, 0, 0))},
      {"skgxnqanum:ERROR NULL node_num", CALL(skgxnqanum(e, c, nullptr, nullptr, 0, 0))},
      {"skgxnqanum:ERROR NULL name", CALL(skgxnqanum(e, c, nullptr, &n, 0, 0))},
      {"skgxnqvnds" + noCtx, CALL(skgxnqvnds(e, &bad, vect, 3, nullptr, 0, 0))},
      {"skgxnqvnds:ERROR NULL parameters", CALL(skgxnqvnds(e, c, vect, 3, nullptr, 0, 0))},
      {"skgxnqvnds:ERROR NULL parameters", CALL(skgxnqvnds(e, c, nullptr, 3, &n, 0, 0))},
      {"skgxnpbdata" + old, CALL(skgxnpbdata(e, c, nullptr, 3, name, 8, &n, 0, 0)), 0, unavail},
      {"skgxnsrg" + old, CALL(skgxnsrg(e, c, "G", 4, name, 0, 0)), 0, unavail},
      {"skgxnsdr" + old, CALL(skgxnsdr(e, name, 0, 0)), 0, unavail},
  };
#undef CALL
  for (const auto& row : rows) {
    SCOPED_TRACE(row.complaint);
    ::unlink(kRegisterPipe);
    ASSERT_TRUE(!row.marker || ::mkfifo(kRegisterPipe, 0666) == 0);
    bad = {c, 5, {}};
    forged = {&lookAlike, groupStateCheck(lookAlike), {}};
    std::memset(bitmap, 0xff, sizeof bitmap);
    TraceCapture trace;
    EXPECT_EQ(row.call(), row.result);
    EXPECT_EQ(err_.code, row.code);
    EXPECT_EQ(complaints(trace), Lines{row.complaint});
    // A refused poll leaves no member in the caller's map.
    EXPECT_TRUE(row.result != skgxngeABT || std::count(bitmap, bitmap + 16, 0) == 16);
  }
  ::unlink(kRegisterPipe);
  EXPECT_TRUE(n == 99 && g.state == nullptr && vect[0] == 42 && std::string(name) == "kept");
  EXPECT_EQ(fake_vemo_get_calls(), 0);
  EXPECT_NE(ctx_.object, nullptr);
}

TEST_F(LibraryCallsTest, QueriesAnswerTheirLimitsAndSuccessClearsTheRecord) {
  setFailure(&err_, 4, "earlier", "t2", "t3");
  EXPECT_EQ(skgxnqtsz(&err_, SKGXN_TYPE_CONTEXT, nullptr, 3), 16);
  expectResult(0);
  EXPECT_EQ(skgxnqtsz(&err_, SKGXN_TYPE_GROUP_HANDLE, nullptr, 0), 16);
  EXPECT_EQ(skgxnqtsz(&err_, SKGXN_TYPE_SLAVE_HANDLE, nullptr, 0), 0);
  EXPECT_EQ(skgxnqat(&err_, &ctx_, SKGXN_ATTR_NODE_NAME_LEN, nullptr, 5), 257);
  EXPECT_EQ(skgxnqat(&err_, &ctx_, SKGXN_ATTR_MAX_CLUSTER, nullptr, 0), 64);
  const skgxn_version later{3, 0};  // a later caller is answered with 2.0
  skgxn_version overs{-7, -7};
  char vendstr[64] = "untouched";
  EXPECT_EQ(skgxnever(&err_, &later, &overs, vendstr, 5, nullptr, 0), 1);
  EXPECT_STREQ(vendstr, "Corv");
  EXPECT_EQ(skgxnever(&err_, &later, &overs, vendstr, 64, nullptr, 0), 1);
  EXPECT_EQ(std::to_string(overs.major) + "." + std::to_string(overs.minor) + " " + vendstr,
            "2.0 Corvid Cluster");
  expectResult(0);
  EXPECT_EQ(skgxnqtsz(nullptr, 0, nullptr, 0), 0) << "no record to write is tolerated";
}

TEST_F(LibraryCallsTest, OnlyALiveContextOfOursIsAcceptedAndARefusedOneIsCleared) {
  // A deleted one's copy, an altered one, a look-alike that would pass the check
  // if it were read, and a pointer to nothing (reading it would crash).
  SkgxnContext lookAlike;
  skgxn_context deleted{};
  ASSERT_EQ(skgxncin(&err_, &deleted, nullptr, nullptr, nullptr, 0), 1);
  skgxn_context copy = deleted;
  ASSERT_EQ(skgxncdel(&err_, &deleted, nullptr, 0), 1);
  skgxn_context altered = ctx_;
  altered.check ^= 0x8000;
  altered.reserved[0] = 0x5A;
  skgxn_context refused[] = {copy,
                             altered,
                             {&lookAlike, contextCheck(lookAlike), {}},
                             {reinterpret_cast<void*>(uintptr_t{0x10}), 32, {}}};
  for (skgxn_context& record : refused) {
    EXPECT_EQ(skgxntrace(&err_, &record, nullptr, 0xFFFFFFFFu), 0);
    EXPECT_TRUE(record.object == nullptr && record.check == 0);
  }
  EXPECT_EQ(refused[1].reserved[0], 0x5A) << "the reserved bytes are never written";
  expectResult(SKGXN_EINVAL, "skgxntrace");
  // Creating over a live record warns and leaves the old context alone.
  skgxn_context earlier = ctx_;
  TraceCapture trace;
  ASSERT_EQ(skgxncin(&err_, &ctx_, nullptr, nullptr, nullptr, 0), 1);
  EXPECT_EQ(complaints(trace), Lines{"skgxncin:WARN context not clean - possibly in use"});
  EXPECT_EQ(skgxncdel(&err_, &earlier, nullptr, 0), 1);
  EXPECT_EQ(skgxncdel(&err_, &earlier, nullptr, 0), 0);
}

TEST_F(LibraryCallsTest, CallbackGetsExitLinesOfTheBitsLastSetOnly) {
  EXPECT_EQ(skgxntrace(&err_, &ctx_, nullptr, SKGXN_CTX_TRACE_TRACE), 1);
  const std::string exit = "skgxntrace:EXIT ctx(i)=" + ptr(&ctx_) + ", trace_flags(i)=0x";
  EXPECT_EQ(log_, Lines{"skgxntrace: " + exit + "10000, ext(i)=0 : SKGXN_SUCC\n"});
  // New flags replace the old ones: this call's own exit line is not called back.
  log_.clear();
  EXPECT_EQ(skgxntrace(&err_, &ctx_, nullptr, SKGXN_CTX_TRACE_QUERY), 1);
  EXPECT_TRUE(log_.empty());
  test::writeCmdFile("TRACE OFF\n");
  TraceCapture trace;
  EXPECT_EQ(skgxnqat(&err_, &ctx_, SKGXN_ATTR_MAX_MEMBERS, nullptr, 0), 128);
  EXPECT_TRUE(trace.lines().empty());
  EXPECT_EQ(log_, Lines{"skgxnqat: skgxnqat:EXIT ctx(i)=" + ptr(&ctx_) +
                        ", attr(i)=Max group member(and bitmap) size, ext(i)=0, "
                        "flags(i)=0 : 128 - SKGXN_SUCC\n"});
  EXPECT_EQ(traceMask.load(), TRACE_ERR) << "the context's flags never touch the mask";
  // Without a trace function, a cbctx or callbacks, nothing is called back.
  log_.clear();
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

TEST_F(LibraryCallsTest, NodeQueriesAnswerFromTheConfigurationLibrary) {
  uint32_t number = 0, vect[3] = {42, 42, 42};
  char name[6] = "xxxxx";
  auto outputs = [&](int result) {  // the result, the name buffer and the number
    return std::to_string(result) + " " + name + " " + std::to_string(number);
  };
  EXPECT_EQ(outputs(skgxnqcnum(&err_, &ctx_, &number, nullptr, 7)), "1 xxxxx 2");
  EXPECT_EQ(outputs(skgxnqanum(&err_, &ctx_, "charl", &number, nullptr, 0)), "1 xxxxx 3");
  EXPECT_EQ(outputs(skgxnqname(&err_, &ctx_, 1, name, 6, &number, nullptr, 0)), "1 alpha 5");
  EXPECT_EQ(outputs(skgxnqvnds(&err_, &ctx_, vect, 3, &number, nullptr, 0)), "1 alpha 3");
  EXPECT_EQ(std::vector<uint32_t>(vect, vect + 3), (std::vector<uint32_t>{1, 2, 3}));
  expectResult(0);

  // Too small a buffer or vector, or no such node: the length is given,
  // the buffer and the vector are not written.
  std::strcpy(name, "kept");
  number = 0;
  EXPECT_EQ(outputs(skgxnqname(&err_, &ctx_, 1, name, 5, &number, nullptr, 0)), "0 kept 5");
  expectResult(SKGXN_ESIZE, "skgxnqname");
  EXPECT_EQ(skgxnqname(&err_, &ctx_, 1, nullptr, 6, &number, nullptr, 0), 0);
  expectResult(SKGXN_ESIZE, "skgxnqname");
  EXPECT_EQ(skgxnqname(&err_, &ctx_, 7, name, 6, &number, nullptr, 0), 0);
  expectResult(SKGXN_EEXIST, "skgxnqname");
  TraceCapture trace;
  EXPECT_EQ(outputs(skgxnqanum(&err_, &ctx_, "ghost", &number, nullptr, 0)), "0 kept 5");
  expectResult(SKGXN_EEXIST, "skgxnqanum");
  EXPECT_EQ(complaints(trace), Lines{"VemoIf::nodeNameToNodeNum::ERROR vemo_cluster_get failed "
                                     "for VEMO_NODEID_NODENAME on node name ghostwith error: 11"});
  // A failing configuration library (its reopening is VemoIf's concern) is
  // an unknown error, and a vector it did not fill is not written either.
  for (const auto& [size, answer, code] :
       {std::tuple{2u, 0, SKGXN_ESIZE}, std::tuple{3u, 3, SKGXN_EUNK}}) {
    fake_vemo_set_get_result(VEMO_ALL_NODEIDS, answer);
    vect[0] = 42;
    EXPECT_EQ(skgxnqvnds(&err_, &ctx_, vect, size, &number, nullptr, 0), 0);
    expectResult(code, "skgxnqvnds");
    EXPECT_EQ(std::to_string(vect[0]) + "/" + std::to_string(number), "42/0");
  }
}

}  // namespace
}  // namespace skgxn
