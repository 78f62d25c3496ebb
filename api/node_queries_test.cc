// Tests of the four node queries through the built libskgxn2.so.1, with the
// libvemo.so.1 test double loaded in the real library's place. Runs in a
// private mount namespace: the command file there sends error lines to a
// trace log that the tests read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cluster/fake_vemo.h"
#include "skgxn.h"
#include "vemo.h"

namespace {

constexpr const char* kCmdFile = "/var/cluster/velk/skgxn_client_cmd";
constexpr const char* kTraceLog = "/var/tmp/node_queries_trace.log";
constexpr uint32_t kFlags = 7;

std::vector<std::string> callbackLines;

void traceCallback(void* /*cbctx*/, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  callbackLines.emplace_back(text);
}

std::string ptr(const void* p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

class NodeQueries : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { std::ofstream(kCmdFile) << "OUTPUT ON " << kTraceLog << "\n"; }

  void SetUp() override {
    fake_vemo_reset();
    fake_vemo_add_node(1, "alpha");
    fake_vemo_add_node(2, "bravo");
    fake_vemo_add_node(3, "charl");
    fake_vemo_set_local(2);
    ASSERT_EQ(skgxncin(&res_, &ctx_, &callbacks_, &cbctx_, nullptr, 0), 1);
    ASSERT_EQ(skgxntrace(&res_, &ctx_, nullptr, SKGXN_CTX_TRACE_QUERY), 1);
    std::ifstream log(kTraceLog, std::ios::ate);
    logOffset_ = log ? static_cast<std::streamoff>(log.tellg()) : 0;
    callbackLines.clear();
  }

  void TearDown() override { (void)skgxncdel(&res_, &ctx_, nullptr, 0); }

  // Trace-log lines written since SetUp, without their time/pid/tid prefix.
  std::vector<std::string> traced() const {
    std::ifstream log(kTraceLog);
    log.seekg(logOffset_);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(log, line)) {
      size_t end = line.find("] ");
      lines.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return lines;
  }

  // The callback text of the one exit line: "<function>: <line>".
  std::string exitLine(const char* function, const std::string& rest) const {
    return std::string(function) + ": " + rest + "\n";
  }

  void expectFailure(uint32_t code, const char* function) const {
    EXPECT_EQ(res_.code, code);
    EXPECT_STREQ(res_.function, function);
    EXPECT_EQ(res_.mark, 99u);
  }

  skgxn_result res_{};
  skgxn_context ctx_{};
  skgxn_callbacks callbacks_{traceCallback};
  int cbctx_ = 0;
  std::streamoff logOffset_ = 0;
};

using Lines = std::vector<std::string>;

TEST_F(NodeQueries, LocalNumberComesFromTheFrameworkAndReachesTheCallback) {
  uint32_t nodenum = 0;
  ASSERT_EQ(skgxnqcnum(&res_, &ctx_, &nodenum, nullptr, kFlags), 1);
  EXPECT_EQ(nodenum, 2u);
  EXPECT_EQ(res_.code, 0u);
  EXPECT_EQ(callbackLines,
            Lines{exitLine("skgxnqcnum", "skgxnqcnum:EXIT ctx(i)=" + ptr(&ctx_) +
                                             ", nodenum(o)=2, ext(i)=" + ptr(nullptr) +
                                             ", flags(i)=7 : SKGXN_SUCC")});
}

TEST_F(NodeQueries, NameWithRoomForItsTerminatorIsCopied) {
  char name[6] = "xxxxx";
  uint32_t namel = 0;
  ASSERT_EQ(skgxnqname(&res_, &ctx_, 1, name, 6, &namel, nullptr, kFlags), 1);
  EXPECT_STREQ(name, "alpha");
  EXPECT_EQ(namel, 5u);
  EXPECT_EQ(callbackLines,
            Lines{exitLine("skgxnqname", "skgxnqcname:EXIT ctx(i)=" + ptr(&ctx_) +
                                             ", node_num(i)=1, name(o)=alpha, bufsz(i)=6, "
                                             "namel(o)=5, ext(i)=" +
                                             ptr(nullptr) + ", flags(i)=7 : SKGXN_SUCC")});
}

TEST_F(NodeQueries, BufferOfTheNamesLengthIsTooSmallButLearnsTheLength) {
  char name[5] = {'x', 'x', 'x', 'x', 'x'};
  uint32_t namel = 0;
  EXPECT_EQ(skgxnqname(&res_, &ctx_, 1, name, 5, &namel, nullptr, kFlags), 0);
  expectFailure(SKGXN_ESIZE, "skgxnqname");
  EXPECT_EQ(namel, 5u);
  EXPECT_EQ(std::string(name, 5), "xxxxx");
  EXPECT_EQ(traced(), Lines{"skgxnqname:ERROR bufsz <= namelen!"});
  ASSERT_EQ(callbackLines.size(), 1u);
  EXPECT_NE(callbackLines[0].find("name(o)=, bufsz(i)=5, namel(o)=5,"), std::string::npos);
  EXPECT_NE(callbackLines[0].find(" : SKGXN_FAIL(ESIZE)\n"), std::string::npos);
}

TEST_F(NodeQueries, NullNameBufferStillLearnsTheLength) {
  uint32_t namel = 0;
  EXPECT_EQ(skgxnqname(&res_, &ctx_, 1, nullptr, 6, &namel, nullptr, kFlags), 0);
  expectFailure(SKGXN_ESIZE, "skgxnqname");
  EXPECT_EQ(namel, 5u);
  EXPECT_EQ(traced(), Lines{"skgxnqname:ERROR NULL name"});
}

TEST_F(NodeQueries, NullNamelFailsBeforeTheFrameworkIsAsked) {
  char name[16];
  int before = fake_vemo_get_calls();
  EXPECT_EQ(skgxnqname(&res_, &ctx_, 1, name, sizeof name, nullptr, nullptr, kFlags), 0);
  expectFailure(SKGXN_EINVAL, "skgxnqname");
  EXPECT_EQ(fake_vemo_get_calls(), before);
  EXPECT_EQ(traced(), Lines{"skgxnqname:ERROR NULL namel"});
}

TEST_F(NodeQueries, UnknownNodeIsAnExistenceErrorForBothConversions) {
  char name[16] = "kept";
  uint32_t namel = 99;
  EXPECT_EQ(skgxnqname(&res_, &ctx_, 7, name, sizeof name, &namel, nullptr, kFlags), 0);
  expectFailure(SKGXN_EEXIST, "skgxnqname");
  EXPECT_EQ(namel, 99u);
  EXPECT_STREQ(name, "kept");

  uint32_t number = 99;
  EXPECT_EQ(skgxnqanum(&res_, &ctx_, "ghost", &number, nullptr, kFlags), 0);
  expectFailure(SKGXN_EEXIST, "skgxnqanum");
  // Only the wrapper's own lines: the calls add none for a failed lookup.
  EXPECT_EQ(traced(), (Lines{"VemoIf::nodeNumToNodeName::ERROR vemo_cluster_get failed for "
                             "VEMO_NODENAME_NODEID on node number 7with error: 11",
                             "VemoIf::nodeNameToNodeNum::ERROR vemo_cluster_get failed for "
                             "VEMO_NODEID_NODENAME on node name ghostwith error: 11"}));
}

TEST_F(NodeQueries, NamedNodeGivesItsNumber) {
  uint32_t number = 0;
  ASSERT_EQ(skgxnqanum(&res_, &ctx_, "charl", &number, nullptr, kFlags), 1);
  EXPECT_EQ(number, 3u);
  ASSERT_EQ(callbackLines.size(), 1u);
  EXPECT_NE(callbackLines[0].find(", name(i)=charl, node_num(o)=3, "), std::string::npos);
}

TEST_F(NodeQueries, NullNameIsRefusedAfterTheNumberCheckWithoutBeingRead) {
  int before = fake_vemo_get_calls();
  EXPECT_EQ(skgxnqanum(&res_, &ctx_, nullptr, nullptr, nullptr, kFlags), 0);
  expectFailure(SKGXN_EINVAL, "skgxnqanum");
  uint32_t number = 99;
  EXPECT_EQ(skgxnqanum(&res_, &ctx_, nullptr, &number, nullptr, kFlags), 0);
  expectFailure(SKGXN_EINVAL, "skgxnqanum");
  EXPECT_EQ(number, 99u);
  EXPECT_EQ(fake_vemo_get_calls(), before);
  EXPECT_EQ(traced(), (Lines{"skgxnqanum:ERROR NULL node_num", "skgxnqanum:ERROR NULL name"}));
  ASSERT_EQ(callbackLines.size(), 2u);
  EXPECT_NE(callbackLines[1].find(", name(i)=(null), node_num(o)=99, "), std::string::npos);
}

TEST_F(NodeQueries, VectorOfExactlyTheNodeCountReceivesEveryNode) {
  uint32_t vect[3] = {0, 0, 0};
  uint32_t num = 99;
  ASSERT_EQ(skgxnqvnds(&res_, &ctx_, vect, 3, &num, nullptr, kFlags), 1);
  EXPECT_EQ(num, 3u);
  EXPECT_EQ(std::vector<uint32_t>(vect, vect + 3), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(callbackLines,
            Lines{exitLine("skgxnqvnds", "skgxnqvnds:EXIT ctx(i)=" + ptr(&ctx_) +
                                             ", node_vect(o)=1, 2, 3, vect_size(i)=3, "
                                             "num_nodes(o)=3, ext(i)=" +
                                             ptr(nullptr) + ", flags(i)=7 : SKGXN_SUCC")});
}

TEST_F(NodeQueries, ShortVectorFailsUntouchedAndTheExitLineShowsTheNodeCount) {
  uint32_t vect[2] = {42, 42};
  uint32_t num = 99;
  EXPECT_EQ(skgxnqvnds(&res_, &ctx_, vect, 2, &num, nullptr, kFlags), 0);
  expectFailure(SKGXN_ESIZE, "skgxnqvnds");
  EXPECT_EQ(num, 0u);
  EXPECT_EQ(vect[0], 42u);
  EXPECT_EQ(vect[1], 42u);
  EXPECT_EQ(traced(), Lines{"skgxnqvnds:ERROR vector too small"});
  ASSERT_EQ(callbackLines.size(), 1u);
  EXPECT_NE(callbackLines[0].find(", node_vect(o)=, vect_size(i)=2, num_nodes(o)=3, "),
            std::string::npos);
}

TEST_F(NodeQueries, NullNumNodesFailsAndWritesNothing) {
  uint32_t vect[3] = {42, 42, 42};
  int before = fake_vemo_get_calls();
  EXPECT_EQ(skgxnqvnds(&res_, &ctx_, vect, 3, nullptr, nullptr, kFlags), 0);
  expectFailure(SKGXN_EINVAL, "skgxnqvnds");
  EXPECT_EQ(vect[0], 42u);
  EXPECT_EQ(fake_vemo_get_calls(), before);
  EXPECT_EQ(traced(), Lines{"skgxnqvnds:ERROR NULL parameters"});
}

TEST_F(NodeQueries, UnreachableFrameworkGives1AndIsTriedAgainNextCall) {
  // Whether or not an earlier test left the handle open, this call ends
  // with it closed: a failing get closes it, a failing open never opens it.
  fake_vemo_set_open_result(5);
  fake_vemo_set_get_result(VEMO_NODEID_LOCAL, 3);
  uint32_t nodenum = 0;
  EXPECT_EQ(skgxnqcnum(&res_, &ctx_, &nodenum, nullptr, kFlags), 0);
  expectFailure(SKGXN_EUNK, "skgxnqcnum");

  int opens = fake_vemo_open_calls();
  EXPECT_EQ(skgxnqcnum(&res_, &ctx_, &nodenum, nullptr, kFlags), 0);
  expectFailure(SKGXN_EUNK, "skgxnqcnum");
  EXPECT_EQ(fake_vemo_open_calls(), opens + 1);

  fake_vemo_set_open_result(0);
  fake_vemo_set_get_result(VEMO_NODEID_LOCAL, 0);
  EXPECT_EQ(skgxnqcnum(&res_, &ctx_, &nodenum, nullptr, kFlags), 1);
  EXPECT_EQ(nodenum, 2u);
  EXPECT_EQ(fake_vemo_open_calls(), opens + 2);
}

TEST_F(NodeQueries, NodeListFrameworkFailureGives1AndNoNodes) {
  fake_vemo_set_get_result(VEMO_ALL_NODEIDS, 3);
  uint32_t vect[3] = {42, 42, 42};
  uint32_t num = 99;
  EXPECT_EQ(skgxnqvnds(&res_, &ctx_, vect, 3, &num, nullptr, kFlags), 0);
  expectFailure(SKGXN_EUNK, "skgxnqvnds");
  EXPECT_EQ(num, 0u);
  EXPECT_EQ(vect[0], 42u);
}

TEST_F(NodeQueries, EveryQueryClearsAnInvalidContext) {
  uint32_t number = 0;
  uint32_t vect[3];
  char name[16];
  const std::pair<const char*, std::function<int(skgxn_context*)>> calls[] = {
      {"skgxnqcnum", [&](skgxn_context* c) { return skgxnqcnum(&res_, c, &number, nullptr, 0); }},
      {"skgxnqname",
       [&](skgxn_context* c) {
         return skgxnqname(&res_, c, 1, name, sizeof name, &number, nullptr, 0);
       }},
      {"skgxnqanum",
       [&](skgxn_context* c) { return skgxnqanum(&res_, c, "alpha", &number, nullptr, 0); }},
      {"skgxnqvnds",
       [&](skgxn_context* c) { return skgxnqvnds(&res_, c, vect, 3, &number, nullptr, 0); }},
  };
  int before = fake_vemo_get_calls();
  Lines expectedLines;
  for (const auto& [function, call] : calls) {
    skgxn_context bad{&number, 5, {1, 2, 3, 4, 5, 6}};
    EXPECT_EQ(call(&bad), 0) << function;
    expectFailure(SKGXN_EINVAL, function);
    EXPECT_EQ(bad.object, nullptr) << function;
    EXPECT_EQ(bad.check, 0u) << function;
    expectedLines.push_back(std::string(function) + ":ERROR: context is NULL or invalid");
  }
  EXPECT_EQ(fake_vemo_get_calls(), before);
  EXPECT_EQ(traced(), expectedLines);
}

}  // namespace
