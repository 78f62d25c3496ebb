// Tests of VemoIf against the libvemo.so.1 test double: when the handle is
// opened, kept and closed, and the trace and system-log lines of each answer.
#include "cluster/vemo_if.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <thread>

#include "cluster/fake_vemo.h"
#include "diag/test_support.h"
#include "vemo.h"

namespace skgxn {
namespace {

using Lines = std::vector<std::string>;

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new test::DiagEnvironment);

Lines logged;  // "<priority>/<selector>/<text>"; VemoIf logs only under its lock

void recordSysLog(int priority, int selector, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  logged.push_back(std::to_string(priority) + "/" + std::to_string(selector) + "/" + text);
}

// Each query's code and what it left in its output, as "<code> <output>".
std::string local() {
  uint32_t number = 77;
  const ErrCode rc = VemoIf::getNodeNumLocal(number);
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
  const ErrCode rc = VemoIf::nodeNumToNodeName(number, name);
  return std::to_string(rc) + " " + name;
}
std::string numberOf(const char* name) {
  uint32_t number = 99;
  const ErrCode rc = VemoIf::nodeNameToNodeNum(name, number);
  return std::to_string(rc) + " " + std::to_string(number);
}

// A closed handle, the two-node double and an empty system log.
void reset() {
  VemoIf::setSysLog(recordSysLog);
  (void)VemoIf::closeHandle();
  fake_vemo_reset();
  fake_vemo_add_node(2, "beta");
  fake_vemo_add_node(1, "alpha");
  fake_vemo_set_local(1);
  logged.clear();
}

// A delivered answer (0 or 7) keeps the handle for the next query and traces
// nothing. Each failure leaves one trace line; all but an unknown name or
// number also go to the system log and leave the handle closed, and the next
// query opens a fresh one. Outputs are left alone until the handle is open.
TEST(VemoIf, EachAnswerKeepsOrClosesTheHandleAndIsTracedAndLoggedAsItsKindRequires) {
  const struct {
    const char* tag;  // null: the open
    int answer;
    std::string (*query)();
    std::string result, sysLog, line;
  } rows[] = {
      {VEMO_ALL_NODEIDS, VEMO_OK_PARTIAL, list, "0 2 1", "", ""},  // in the framework's order
      {nullptr, 5, [] { return numberOf("beta"); }, "23 99", "vemo_cluster_open failed with 5",
       "VemoIf:ERROR vemo_cluster_open failed with return code: 5"},
      {VEMO_NODENAME_NODEID, 11, [] { return nameOf(12); }, "4 kept", "",
       "VemoIf::nodeNumToNodeName::ERROR vemo_cluster_get failed for VEMO_NODENAME_NODEID on node "
       "number 12with error: 11"},
      {VEMO_NODEID_LOCAL, 11, local, "20 77", "vemo_cluster_get failed for (NodeId_Local) with 11",
       "VemoIf::getNodeNumLocal::ERROR vemo_cluster_get failed for VEMO_NODEID_LOCAL "
       "with error: 11"},  // 11 means an unknown node only to a conversion
      {VEMO_NODENAME_NODEID, FAKE_VEMO_NO_ANSWER, [] { return nameOf(2); }, "20 kept",
       "vemo_cluster_get delivered no answer for (Nodename_NodeId)",
       "VemoIf::nodeNumToNodeName::ERROR vemo_cluster_get delivered no answer for "
       "VEMO_NODENAME_NODEID on node number 2"},
      {VEMO_ALL_NODEIDS, FAKE_VEMO_NO_ANSWER, list, "20",
       "vemo_cluster_get delivered no answer for (All_NodeIds)",
       "VemoIf::getNodeList::ERROR vemo_cluster_get delivered no answer for VEMO_ALL_NODEIDS"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.result + " " + row.line);
    reset();
    fake_vemo_set_get_result(row.tag, row.answer);
    test::TraceCapture capture;
    EXPECT_EQ(row.query(), row.result);
    EXPECT_EQ(capture.lines(), Lines(row.line.empty() ? 0 : 1, row.line));
    const bool kept = row.sysLog.empty();
    EXPECT_EQ(logged, kept ? Lines{} : Lines{"3/1/" + row.sysLog});
    EXPECT_EQ(VemoIf::isOpen(), kept);
    fake_vemo_set_get_result(row.tag, 0);
    EXPECT_EQ(local(), "0 1");
    EXPECT_EQ(fake_vemo_open_calls(), kept ? 1 : 2);
    EXPECT_EQ(fake_vemo_stale_handle_uses(), 0);
  }
}

TEST(VemoIf, ConcurrentQueriesNeverUseAHandleAnotherThreadClosed) {
  reset();
  fake_vemo_set_get_result(VEMO_ALL_NODEIDS, 3);
  auto run = [](std::string (*query)(), const std::string& result) {
    for (int i = 0; i < 300; ++i) EXPECT_EQ(query(), result);
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(run, i % 2 ? list : local, i % 2 ? "20" : "0 1");
  for (auto& t : threads) t.join();
  EXPECT_EQ(fake_vemo_stale_handle_uses(), 0);
}

}  // namespace
}  // namespace skgxn
