// Tests of VemoIf against the libvemo.so.1 test double: when the handle is
// opened, closed and reopened, which answers count as delivered, and the
// exact trace lines and system-log messages of every failure.
#include "cluster/vemo_if.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cluster/fake_vemo.h"
#include "diag/test_support.h"
#include "diag/trace.h"
#include "vemo.h"

namespace skgxn {
namespace {

using namespace test;

using Lines = std::vector<std::string>;
constexpr int kNullAnswer = -1000;  // success, but no answer handed back

std::mutex loggedLock;
Lines logged;  // "<priority>/<selector>/<text>"

void recordSysLog(int priority, int selector, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> guard(loggedLock);
  logged.push_back(std::to_string(priority) + "/" + std::to_string(selector) + "/" + text);
}

// Each query's code and what it left in its output, as "<code> <output>".
std::string local() {
  uint32_t number = 77;
  ErrCode rc = VemoIf::getNodeNumLocal(number);
  return std::to_string(rc) + " " + std::to_string(number);
}
std::string list() {
  std::vector<uint32_t> nodes{42};
  std::string text = std::to_string(VemoIf::getNodeList(nodes));
  for (uint32_t node : nodes) text += " " + std::to_string(node);
  return text;
}
std::string nameOf(uint32_t number) {
  std::string name = "kept";
  ErrCode rc = VemoIf::nodeNumToNodeName(number, name);
  return std::to_string(rc) + " " + name;
}
std::string numberOf(const char* name) {
  uint32_t number = 99;
  ErrCode rc = VemoIf::nodeNameToNodeNum(name, number);
  return std::to_string(rc) + " " + std::to_string(number);
}

class VemoIfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VemoIf::setSysLog(recordSysLog);
    reset();
  }
  void TearDown() override {
    closeTraceLog();
    VemoIf::setSysLog(nullptr);
  }

  // A closed handle, the three-node double, an empty trace log and system log.
  void reset() {
    (void)VemoIf::closeHandle();
    fake_vemo_reset();
    fake_vemo_add_node(3, "gamma");
    fake_vemo_add_node(1, "alpha");
    fake_vemo_add_node(2, "beta");
    fake_vemo_set_local(1);
    logged.clear();
    closeTraceLog();
    std::remove(logPath_.c_str());
    openTraceLog(logPath_.c_str());
  }

  // The trace lines written since reset, without the marker and prefixes.
  Lines traced() const {
    Lines lines = splitLines(readFile(logPath_));
    lines.erase(lines.begin());
    for (std::string& line : lines) line = withoutPrefix(line);
    return lines;
  }

  // Runs query on a fresh handle whose question tag gets answer, and checks
  // its result, its one VemoIf trace line and its system-log message (none
  // for ""); then that the handle was kept for code 4 and otherwise closed,
  // and that the next query works on a fresh one.
  void failing(const char* tag, int answer, const std::string& line, const std::string& sysLog,
               const std::string& result, const std::function<std::string()>& query) {
    SCOPED_TRACE(line);
    reset();
    fake_vemo_set_null_answers(answer == kNullAnswer);
    if (answer != kNullAnswer) fake_vemo_set_get_result(tag, answer);
    EXPECT_EQ(query(), result);
    EXPECT_EQ(traced(), Lines{"VemoIf::" + line});
    EXPECT_EQ(logged, sysLog.empty() ? Lines{} : Lines{"3/1/" + sysLog});
    const bool kept = result[0] == '4';
    EXPECT_EQ(VemoIf::isOpen(), kept);
    EXPECT_EQ(fake_vemo_close_calls(), kept ? 0 : 1);
    fake_vemo_set_null_answers(0);
    fake_vemo_set_get_result(tag, 0);
    EXPECT_EQ(local(), "0 1");
    EXPECT_EQ(fake_vemo_open_calls(), kept ? 1 : 2);
    EXPECT_EQ(fake_vemo_stale_handle_uses(), 0);
  }

  ScratchDir dir_;
  const std::string logPath_ = dir_.file("trace.log");
};

TEST_F(VemoIfTest, FirstQueryOpensLaterOnesReuseTheHandleAnd7Delivers) {
  fake_vemo_set_get_result(VEMO_ALL_NODEIDS, VEMO_OK_PARTIAL);
  EXPECT_FALSE(VemoIf::isOpen());
  EXPECT_EQ(local() + "|" + list() + "|" + nameOf(2), "0 1|0 3 1 2|0 beta");  // framework order
  EXPECT_EQ(fake_vemo_open_calls(), 1);
  EXPECT_TRUE(VemoIf::isOpen());
  EXPECT_TRUE(traced().empty());
}

TEST_F(VemoIfTest, FailedOpenGives23LeavesOutputsAloneAndIsRetriedByTheNextQuery) {
  fake_vemo_set_open_result(5);
  EXPECT_EQ(numberOf("beta") + "|" + list(), "23 99|23 42");
  EXPECT_FALSE(VemoIf::isOpen());
  EXPECT_EQ(traced(), Lines(2, "VemoIf:ERROR vemo_cluster_open failed with return code: 5"));
  EXPECT_EQ(logged, Lines(2, "3/1/vemo_cluster_open failed with 5"));
  EXPECT_EQ(fake_vemo_get_calls(), 0);
  fake_vemo_set_open_result(0);
  EXPECT_EQ(numberOf("beta"), "0 2");
  EXPECT_EQ(fake_vemo_open_calls(), 3);
}

TEST_F(VemoIfTest, FailedCloseStillLeavesTheHandleClosed) {
  ASSERT_EQ(VemoIf::openHandle(), ERR_NONE);
  fake_vemo_set_close_result(-4);
  EXPECT_EQ(VemoIf::closeHandle(), ERR_COMM);
  EXPECT_FALSE(VemoIf::isOpen());
  EXPECT_EQ(traced(), Lines{"~VemoIf:ERROR vemo_cluster_close failed with return code: -4"});
  EXPECT_EQ(logged, Lines{"3/1/vemo_cluster_close failed with -4"});
  EXPECT_EQ(VemoIf::closeHandle(), ERR_NONE);
  EXPECT_EQ(fake_vemo_close_calls(), 1);
}

// An unknown name takes the same path; api/node_queries_test.cc checks its line.
TEST_F(VemoIfTest, UnknownNumberGives4AndItsLineButNoSysLogAndKeepsTheHandle) {
  failing(VEMO_NODENAME_NODEID, 11,
          "nodeNumToNodeName::ERROR vemo_cluster_get failed for VEMO_NODENAME_NODEID on node "
          "number 12with error: 11",
          "", "4 kept", [] { return nameOf(12); });
}

TEST_F(VemoIfTest, FrameworkFailureGives20LogsItsTagOnceAndReopensNextTime) {
  failing(VEMO_NODEID_LOCAL, 3,
          "getNodeNumLocal::ERROR vemo_cluster_get failed for VEMO_NODEID_LOCAL with error: 3",
          "vemo_cluster_get failed for (NodeId_Local) with 3", "20 77", local);
  failing(VEMO_ALL_NODEIDS, 3,  // the list is emptied
          "getNodeList::ERROR vemo_cluster_get failed for VEMO_ALL_NODEIDS with error: 3",
          "vemo_cluster_get failed for (All_NodeIds) with 3", "20", list);
  failing(VEMO_ALL_NODEIDS, 11,
          "getNodeList::ERROR vemo_cluster_get failed for VEMO_ALL_NODEIDS with error: 11",
          "vemo_cluster_get failed for (All_NodeIds) with 11", "20", list);
}

TEST_F(VemoIfTest, SuccessWithoutAnAnswerIsAFrameworkFailure) {
  failing(VEMO_NODENAME_NODEID, kNullAnswer,
          "nodeNumToNodeName::ERROR vemo_cluster_get delivered no answer for "
          "VEMO_NODENAME_NODEID on node number 2",
          "vemo_cluster_get delivered no answer for (Nodename_NodeId)", "20 kept",
          [] { return nameOf(2); });
  failing(VEMO_ALL_NODEIDS, kNullAnswer,
          "getNodeList::ERROR vemo_cluster_get delivered no answer for VEMO_ALL_NODEIDS",
          "vemo_cluster_get delivered no answer for (All_NodeIds)", "20", list);
}

TEST_F(VemoIfTest, ConcurrentQueriesNeverUseAHandleAnotherThreadClosed) {
  fake_vemo_set_get_result(VEMO_ALL_NODEIDS, 3);
  auto run = [](std::string (*query)(), const std::string& result) {
    for (int i = 0; i < 300; ++i) EXPECT_EQ(query(), result);
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back(run, list, "20");
    threads.emplace_back(run, local, "0 1");
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(fake_vemo_stale_handle_uses(), 0);
  EXPECT_EQ(fake_vemo_open_calls(), fake_vemo_close_calls() + (VemoIf::isOpen() ? 1 : 0));
}

}  // namespace
}  // namespace skgxn
