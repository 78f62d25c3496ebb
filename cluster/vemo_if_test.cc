// Tests of VemoIf against the libvemo.so.1 test double: when the handle is
// opened, closed and reopened, which answers count as delivered, and the
// exact trace lines and system-log messages of every failure.
#include "cluster/vemo_if.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cluster/fake_vemo.h"
#include "diag/trace.h"
#include "vemo.h"

namespace skgxn {
namespace {

std::mutex loggedLock;
std::vector<std::string> logged;  // "<priority>/<selector>/<text>"

void recordSysLog(int priority, int selector, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> guard(loggedLock);
  logged.push_back(std::to_string(priority) + "/" + std::to_string(selector) + "/" + text);
}

class VemoIfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VemoIf::setSysLog(recordSysLog);
    (void)VemoIf::closeHandle();
    fake_vemo_reset();
    fake_vemo_add_node(3, "gamma");
    fake_vemo_add_node(1, "alpha");
    fake_vemo_add_node(2, "beta");
    fake_vemo_set_local(1);
    logged.clear();
    logPath_ = ::testing::TempDir() + "vemo_if_trace_" + std::to_string(getpid()) + ".log";
    std::remove(logPath_.c_str());
    openTraceLog(logPath_.c_str());
  }
  void TearDown() override {
    closeTraceLog();
    std::remove(logPath_.c_str());
    VemoIf::setSysLog(nullptr);
  }

  // The trace lines written so far, without their time/pid/tid prefix.
  std::vector<std::string> traced() const {
    std::ifstream in(logPath_);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
      if (line.find("NEW LOGGING STARTED") != std::string::npos) continue;
      size_t end = line.find("] ");
      lines.push_back(end == std::string::npos ? line : line.substr(end + 2));
    }
    return lines;
  }

  std::string logPath_;
};

using Lines = std::vector<std::string>;

TEST_F(VemoIfTest, FirstQueryOpensAndLaterQueriesReuseTheHandle) {
  uint32_t local = 0;
  EXPECT_FALSE(VemoIf::isOpen());
  ASSERT_EQ(VemoIf::getNodeNumLocal(local), ERR_NONE);
  EXPECT_EQ(local, 1u);
  std::string name;
  ASSERT_EQ(VemoIf::nodeNumToNodeName(2, name), ERR_NONE);
  EXPECT_EQ(name, "beta");
  EXPECT_EQ(fake_vemo_open_calls(), 1);
  EXPECT_TRUE(VemoIf::isOpen());
  EXPECT_TRUE(traced().empty());
}

TEST_F(VemoIfTest, FailedOpenGives23AndIsRetriedByTheNextQuery) {
  fake_vemo_set_open_result(5);
  uint32_t number = 99;
  EXPECT_EQ(VemoIf::nodeNameToNodeNum("beta", number), ERR_COMM);
  EXPECT_EQ(number, 99u);
  EXPECT_FALSE(VemoIf::isOpen());
  EXPECT_EQ(traced(), Lines{"VemoIf:ERROR vemo_cluster_open failed with return code: 5"});
  EXPECT_EQ(logged, Lines{"3/1/vemo_cluster_open failed with 5"});
  EXPECT_EQ(fake_vemo_get_calls(), 0);

  fake_vemo_set_open_result(0);
  ASSERT_EQ(VemoIf::nodeNameToNodeNum("beta", number), ERR_NONE);
  EXPECT_EQ(number, 2u);
  EXPECT_EQ(fake_vemo_open_calls(), 2);
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

TEST_F(VemoIfTest, Answer7DeliversTheNodeListInFrameworkOrder) {
  fake_vemo_set_get_result(VEMO_ALL_NODEIDS, VEMO_OK_PARTIAL);
  std::vector<uint32_t> nodes{42};
  ASSERT_EQ(VemoIf::getNodeList(nodes), ERR_NONE);
  EXPECT_EQ(nodes, (std::vector<uint32_t>{3, 1, 2}));
  EXPECT_TRUE(traced().empty());
}

TEST_F(VemoIfTest, NodeListIsEmptiedByAFailedQueryButNotByAFailedOpen) {
  fake_vemo_set_open_result(5);
  std::vector<uint32_t> nodes{42};
  EXPECT_EQ(VemoIf::getNodeList(nodes), ERR_COMM);
  EXPECT_EQ(nodes, std::vector<uint32_t>{42});

  fake_vemo_set_open_result(0);
  fake_vemo_set_get_result(VEMO_ALL_NODEIDS, 3);
  EXPECT_EQ(VemoIf::getNodeList(nodes), ERR_VEMO);
  EXPECT_TRUE(nodes.empty());
  EXPECT_EQ(
      traced().back(),
      "VemoIf::getNodeList::ERROR vemo_cluster_get failed for VEMO_ALL_NODEIDS with error: 3");
}

TEST_F(VemoIfTest, UnknownNumberGivesInvalidInputKeepsHandleAndSkipsSysLog) {
  std::string name = "kept";
  EXPECT_EQ(VemoIf::nodeNumToNodeName(12, name), ERR_INVALID);
  EXPECT_EQ(name, "kept");
  EXPECT_EQ(traced(), Lines{"VemoIf::nodeNumToNodeName::ERROR vemo_cluster_get failed for "
                            "VEMO_NODENAME_NODEID on node number 12with error: 11"});
  EXPECT_TRUE(logged.empty());
  EXPECT_TRUE(VemoIf::isOpen());
  EXPECT_EQ(fake_vemo_close_calls(), 0);
}

TEST_F(VemoIfTest, UnknownNameLineRunsTheNameIntoTheError) {
  uint32_t number = 0;
  EXPECT_EQ(VemoIf::nodeNameToNodeNum("ghost", number), ERR_INVALID);
  EXPECT_EQ(traced(), Lines{"VemoIf::nodeNameToNodeNum::ERROR vemo_cluster_get failed for "
                            "VEMO_NODEID_NODENAME on node name ghostwith error: 11"});
  EXPECT_TRUE(logged.empty());
  EXPECT_TRUE(VemoIf::isOpen());
}

TEST_F(VemoIfTest, Answer3GivesVemoErrorLogsTheTagAndReopensNextTime) {
  fake_vemo_set_get_result(VEMO_NODEID_LOCAL, 3);
  uint32_t local = 77;
  EXPECT_EQ(VemoIf::getNodeNumLocal(local), ERR_VEMO);
  EXPECT_EQ(local, 77u);
  EXPECT_EQ(traced(), Lines{"VemoIf::getNodeNumLocal::ERROR vemo_cluster_get failed for "
                            "VEMO_NODEID_LOCAL with error: 3"});
  EXPECT_EQ(logged, Lines{"3/1/vemo_cluster_get failed for (NodeId_Local) with 3"});
  EXPECT_FALSE(VemoIf::isOpen());
  EXPECT_EQ(fake_vemo_close_calls(), 1);

  fake_vemo_set_get_result(VEMO_NODEID_LOCAL, 0);
  ASSERT_EQ(VemoIf::getNodeNumLocal(local), ERR_NONE);
  EXPECT_EQ(fake_vemo_open_calls(), 2);
  EXPECT_EQ(fake_vemo_stale_handle_uses(), 0);
}

TEST_F(VemoIfTest, Answer11ToTheNodeListIsAFrameworkFailure) {
  fake_vemo_set_get_result(VEMO_ALL_NODEIDS, 11);
  std::vector<uint32_t> nodes;
  EXPECT_EQ(VemoIf::getNodeList(nodes), ERR_VEMO);
  EXPECT_EQ(logged, Lines{"3/1/vemo_cluster_get failed for (All_NodeIds) with 11"});
  EXPECT_FALSE(VemoIf::isOpen());
}

TEST_F(VemoIfTest, SuccessWithoutANameIsAFailureThatLeavesTheNameAlone) {
  fake_vemo_set_null_answers(1);
  std::string name = "kept";
  EXPECT_EQ(VemoIf::nodeNumToNodeName(2, name), ERR_VEMO);
  EXPECT_EQ(name, "kept");
  EXPECT_EQ(traced(), Lines{"VemoIf::nodeNumToNodeName::ERROR vemo_cluster_get delivered no "
                            "answer for VEMO_NODENAME_NODEID on node number 2"});
  EXPECT_EQ(logged, Lines{"3/1/vemo_cluster_get delivered no answer for (Nodename_NodeId)"});
  EXPECT_FALSE(VemoIf::isOpen());
}

TEST_F(VemoIfTest, SuccessWithoutAListIsAFailureWithAnEmptyList) {
  fake_vemo_set_null_answers(1);
  std::vector<uint32_t> nodes{42};
  EXPECT_EQ(VemoIf::getNodeList(nodes), ERR_VEMO);
  EXPECT_TRUE(nodes.empty());
  EXPECT_FALSE(VemoIf::isOpen());
}

TEST_F(VemoIfTest, ConcurrentQueriesNeverUseAHandleAnotherThreadClosed) {
  fake_vemo_set_get_result(VEMO_ALL_NODEIDS, 3);
  constexpr int kRounds = 300;
  auto failing = [] {
    std::vector<uint32_t> nodes;
    for (int i = 0; i < kRounds; ++i) EXPECT_EQ(VemoIf::getNodeList(nodes), ERR_VEMO);
  };
  auto working = [] {
    uint32_t local = 0;
    for (int i = 0; i < kRounds; ++i) EXPECT_EQ(VemoIf::getNodeNumLocal(local), ERR_NONE);
  };
  std::vector<std::thread> threads;
  threads.emplace_back(failing);
  threads.emplace_back(working);
  threads.emplace_back(failing);
  threads.emplace_back(working);
  for (auto& t : threads) t.join();
  EXPECT_EQ(fake_vemo_stale_handle_uses(), 0);
  EXPECT_EQ(fake_vemo_open_calls(), fake_vemo_close_calls() + (VemoIf::isOpen() ? 1 : 0));
}

}  // namespace
}  // namespace skgxn
