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

  void expectFailure(uint32_t code, const char* function) const {
    EXPECT_EQ(std::to_string(res_.code) + res_.function + std::to_string(res_.mark),
              std::to_string(code) + function + "99");
  }

  skgxn_result res_{};
  skgxn_context ctx_{};
  skgxn_callbacks callbacks_{traceCallback};
  int cbctx_ = 0;
  std::streamoff logOffset_ = 0;
};

using Lines = std::vector<std::string>;

TEST_F(NodeQueries, LocalAndNamedNodeNumbersComeFromTheFrameworkAndReachTheCallback) {
  uint32_t nodenum = 0;
  ASSERT_EQ(skgxnqcnum(&res_, &ctx_, &nodenum, nullptr, kFlags), 1);
  EXPECT_EQ(nodenum, 2u);
  EXPECT_EQ(res_.code, 0u);
  ASSERT_EQ(skgxnqanum(&res_, &ctx_, "charl", &nodenum, nullptr, kFlags), 1);
  EXPECT_EQ(nodenum, 3u);
  ASSERT_EQ(callbackLines.size(), 2u);
  EXPECT_EQ(callbackLines[0], "skgxnqcnum: skgxnqcnum:EXIT ctx(i)=" + ptr(&ctx_) +
                                  ", nodenum(o)=2, ext(i)=" + ptr(nullptr) +
                                  ", flags(i)=7 : SKGXN_SUCC\n");
  EXPECT_NE(callbackLines[1].find(", name(i)=charl, node_num(o)=3, "), std::string::npos);
}

TEST_F(NodeQueries, NameNeedsRoomForItsTerminatorButAlwaysGivesItsLength) {
  char name[6] = "xxxxx";
  uint32_t namel = 0;
  ASSERT_EQ(skgxnqname(&res_, &ctx_, 1, name, 6, &namel, nullptr, kFlags), 1);
  EXPECT_STREQ(name, "alpha");
  EXPECT_EQ(namel, 5u);
  std::strcpy(name, "xxxxx");
  namel = 0;
  EXPECT_EQ(skgxnqname(&res_, &ctx_, 1, name, 5, &namel, nullptr, kFlags), 0);
  expectFailure(SKGXN_ESIZE, "skgxnqname");
  EXPECT_EQ(namel, 5u);
  EXPECT_STREQ(name, "xxxxx");
  namel = 0;
  EXPECT_EQ(skgxnqname(&res_, &ctx_, 1, nullptr, 6, &namel, nullptr, kFlags), 0);
  expectFailure(SKGXN_ESIZE, "skgxnqname");
  EXPECT_EQ(namel, 5u);
  EXPECT_EQ(traced(), (Lines{"skgxnqname:ERROR bufsz <= namelen!", "skgxnqname:ERROR NULL name"}));
  const std::string exit =
      "skgxnqname: skgxnqcname:EXIT ctx(i)=" + ptr(&ctx_) + ", node_num(i)=1, name(o)=";
  const std::string tail = ", ext(i)=" + ptr(nullptr) + ", flags(i)=7 : ";
  EXPECT_EQ(callbackLines,
            (Lines{exit + "alpha, bufsz(i)=6, namel(o)=5" + tail + "SKGXN_SUCC\n",
                   exit + ", bufsz(i)=5, namel(o)=5" + tail + "SKGXN_FAIL(ESIZE)\n",
                   exit + ", bufsz(i)=6, namel(o)=5" + tail + "SKGXN_FAIL(ESIZE)\n"}));
}

TEST_F(NodeQueries, NullOutputOrNameFailsBeforeTheFrameworkIsAsked) {
  char name[16];
  uint32_t vect[3] = {42, 42, 42};
  uint32_t number = 99;
  const int before = fake_vemo_get_calls();
  EXPECT_EQ(skgxnqname(&res_, &ctx_, 1, name, sizeof name, nullptr, nullptr, kFlags), 0);
  expectFailure(SKGXN_EINVAL, "skgxnqname");
  EXPECT_EQ(skgxnqanum(&res_, &ctx_, nullptr, nullptr, nullptr, kFlags), 0);
  expectFailure(SKGXN_EINVAL, "skgxnqanum");
  EXPECT_EQ(skgxnqanum(&res_, &ctx_, nullptr, &number, nullptr, kFlags), 0);
  expectFailure(SKGXN_EINVAL, "skgxnqanum");
  EXPECT_EQ(skgxnqvnds(&res_, &ctx_, vect, 3, nullptr, nullptr, kFlags), 0);
  expectFailure(SKGXN_EINVAL, "skgxnqvnds");
  EXPECT_EQ(number, 99u);
  EXPECT_EQ(vect[0], 42u);
  EXPECT_EQ(fake_vemo_get_calls(), before);
  EXPECT_EQ(traced(), (Lines{"skgxnqname:ERROR NULL namel", "skgxnqanum:ERROR NULL node_num",
                             "skgxnqanum:ERROR NULL name", "skgxnqvnds:ERROR NULL parameters"}));
  ASSERT_EQ(callbackLines.size(), 4u);
  EXPECT_NE(callbackLines[2].find(", name(i)=(null), node_num(o)=99, "), std::string::npos);
}

TEST_F(NodeQueries, UnknownNodeIsAnExistenceErrorForBothConversions) {
  char name[16] = "kept";
  uint32_t namel = 99;
  EXPECT_EQ(skgxnqname(&res_, &ctx_, 7, name, sizeof name, &namel, nullptr, kFlags), 0);
  expectFailure(SKGXN_EEXIST, "skgxnqname");
  EXPECT_EQ(namel, 99u);
  EXPECT_STREQ(name, "kept");
  EXPECT_EQ(skgxnqanum(&res_, &ctx_, "ghost", &namel, nullptr, kFlags), 0);
  expectFailure(SKGXN_EEXIST, "skgxnqanum");
  EXPECT_EQ(namel, 99u);
  // Only the wrapper's own lines: the calls add none for a failed lookup.
  EXPECT_EQ(traced(), (Lines{"VemoIf::nodeNumToNodeName::ERROR vemo_cluster_get failed for "
                             "VEMO_NODENAME_NODEID on node number 7with error: 11",
                             "VemoIf::nodeNameToNodeNum::ERROR vemo_cluster_get failed for "
                             "VEMO_NODEID_NODENAME on node name ghostwith error: 11"}));
}

TEST_F(NodeQueries, NodeVectorNeedsRoomForEveryNodeAndTheExitLineShowsTheirCount) {
  uint32_t vect[3] = {42, 42, 42};
  uint32_t num = 99;
  EXPECT_EQ(skgxnqvnds(&res_, &ctx_, vect, 2, &num, nullptr, kFlags), 0);
  expectFailure(SKGXN_ESIZE, "skgxnqvnds");
  EXPECT_EQ(num, 0u);
  EXPECT_EQ(std::vector<uint32_t>(vect, vect + 3), (std::vector<uint32_t>{42, 42, 42}));
  EXPECT_EQ(traced(), Lines{"skgxnqvnds:ERROR vector too small"});
  ASSERT_EQ(skgxnqvnds(&res_, &ctx_, vect, 3, &num, nullptr, kFlags), 1);
  EXPECT_EQ(num, 3u);
  EXPECT_EQ(std::vector<uint32_t>(vect, vect + 3), (std::vector<uint32_t>{1, 2, 3}));
  const std::string exit = "skgxnqvnds: skgxnqvnds:EXIT ctx(i)=" + ptr(&ctx_) + ", node_vect(o)=";
  const std::string tail = ", ext(i)=" + ptr(nullptr) + ", flags(i)=7 : ";
  EXPECT_EQ(callbackLines,
            (Lines{exit + ", vect_size(i)=2, num_nodes(o)=3" + tail + "SKGXN_FAIL(ESIZE)\n",
                   exit + "1, 2, 3, vect_size(i)=3, num_nodes(o)=3" + tail + "SKGXN_SUCC\n"}));
}

TEST_F(NodeQueries, UnreachableFrameworkGives1AndIsTriedAgainNextCall) {
  // Whether or not an earlier test left the handle open, this call ends
  // with it closed: a failing get closes it, a failing open never opens it.
  fake_vemo_set_open_result(5);
  fake_vemo_set_get_result(VEMO_NODEID_LOCAL, 3);
  uint32_t nodenum = 0;
  EXPECT_EQ(skgxnqcnum(&res_, &ctx_, &nodenum, nullptr, kFlags), 0);
  expectFailure(SKGXN_EUNK, "skgxnqcnum");
  const int opens = fake_vemo_open_calls();
  EXPECT_EQ(skgxnqcnum(&res_, &ctx_, &nodenum, nullptr, kFlags), 0);
  expectFailure(SKGXN_EUNK, "skgxnqcnum");
  EXPECT_EQ(fake_vemo_open_calls(), opens + 1);

  fake_vemo_set_open_result(0);
  fake_vemo_set_get_result(VEMO_NODEID_LOCAL, 0);
  EXPECT_EQ(skgxnqcnum(&res_, &ctx_, &nodenum, nullptr, kFlags), 1);
  EXPECT_EQ(nodenum, 2u);
  EXPECT_EQ(fake_vemo_open_calls(), opens + 2);

  fake_vemo_set_get_result(VEMO_ALL_NODEIDS, 3);
  uint32_t vect[3] = {42, 42, 42};
  EXPECT_EQ(skgxnqvnds(&res_, &ctx_, vect, 3, &nodenum, nullptr, kFlags), 0);
  expectFailure(SKGXN_EUNK, "skgxnqvnds");
  EXPECT_EQ(nodenum, 0u);
  EXPECT_EQ(vect[0], 42u);
}

TEST_F(NodeQueries, EveryQueryClearsAnInvalidContext) {
  uint32_t number = 0;
  uint32_t vect[3];
  char name[16];
  skgxn_context bad[4];
  for (skgxn_context& record : bad) record = {&number, 5, {1, 2, 3, 4, 5, 6}};
  const int before = fake_vemo_get_calls();
  EXPECT_EQ(skgxnqcnum(&res_, &bad[0], &number, nullptr, 0), 0);
  EXPECT_EQ(skgxnqname(&res_, &bad[1], 1, name, sizeof name, &number, nullptr, 0), 0);
  EXPECT_EQ(skgxnqanum(&res_, &bad[2], "alpha", &number, nullptr, 0), 0);
  EXPECT_EQ(skgxnqvnds(&res_, &bad[3], vect, 3, &number, nullptr, 0), 0);
  expectFailure(SKGXN_EINVAL, "skgxnqvnds");
  for (const skgxn_context& record : bad)
    EXPECT_TRUE(record.object == nullptr && record.check == 0);
  EXPECT_EQ(fake_vemo_get_calls(), before);
  const std::string invalid = ":ERROR: context is NULL or invalid";
  EXPECT_EQ(traced(), (Lines{"skgxnqcnum" + invalid, "skgxnqname" + invalid, "skgxnqanum" + invalid,
                             "skgxnqvnds" + invalid}));
}

}  // namespace
