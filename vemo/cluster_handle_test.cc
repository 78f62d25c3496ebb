// Tests of the configuration library's calls behind their C entry points:
// every tag, the refusals that keep a caller from crashing the process, and
// that a refused configuration is reported once and yields no handle.
#include "vemo/cluster_handle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/test_support.h"

namespace skgxn {
namespace {

int get(vemo_handle_t handle, const char* tag, ...) {
  va_list args;
  va_start(args, tag);
  int rc = clusterGet(handle, tag, args);
  va_end(args);
  return rc;
}

std::vector<std::string> reported;
void recordProblem(const char* problem) { reported.emplace_back(problem); }

class ClusterHandleTest : public ::testing::Test {
 protected:
  vemo_handle_t openWith(const std::string& text) {
    test::writeFile(path_, text);
    vemo_handle_t handle = nullptr;
    EXPECT_EQ(clusterOpen(path_.c_str(), &handle, recordProblem), VEMO_OK);
    return handle;
  }
  test::ScratchDir dir_;
  const std::string path_ = dir_.file("cluster.conf");
};

TEST_F(ClusterHandleTest, EveryTagAnswersInStableMemoryAndUnknownsAnswer11WritingNothing) {
  vemo_handle_t h = openWith("node 3 c\nnode 1 a local\nnode 2 bb\n");
  vemo_nodeid_array_t *all = nullptr, *again = nullptr;
  const char *name = nullptr, *nameAgain = nullptr;
  uint32_t local = 0, number = 0;
  ASSERT_EQ(get(h, VEMO_ALL_NODEIDS, &all) | get(h, VEMO_NODEID_LOCAL, &local) |
                get(h, VEMO_NODEID_NODENAME, "bb", &number) |
                get(h, VEMO_NODENAME_NODEID, uint32_t{3}, &name) |
                get(h, VEMO_ALL_NODEIDS, &again) |
                get(h, VEMO_NODENAME_NODEID, uint32_t{3}, &nameAgain),
            VEMO_OK);
  EXPECT_EQ(std::vector<uint32_t>(all->ids, all->ids + all->count),
            (std::vector<uint32_t>{3, 1, 2}));
  EXPECT_EQ(std::to_string(local) + " " + std::to_string(number) + " " + name, "1 2 c");
  EXPECT_TRUE(again == all && nameAgain == name);
  EXPECT_EQ(get(h, VEMO_NODEID_NODENAME, "b", &number), VEMO_EINVAL);
  EXPECT_EQ(get(h, VEMO_NODENAME_NODEID, uint32_t{4}, &name), VEMO_EINVAL);
  EXPECT_EQ(std::to_string(number) + " " + name, "2 c");
  EXPECT_EQ(clusterClose(h), VEMO_OK);
}

TEST_F(ClusterHandleTest, NullArgumentsUnknownTagsAndClosedOrForeignHandlesAreRefused) {
  vemo_handle_t h = openWith("node 1 a local\n");
  uint32_t number = 0;
  int foreign = 0;
  const int answers[] = {
      get(h, VEMO_ALL_NODEIDS, static_cast<vemo_nodeid_array_t**>(nullptr)),
      get(h, VEMO_NODEID_LOCAL, static_cast<uint32_t*>(nullptr)),
      get(h, VEMO_NODEID_NODENAME, static_cast<const char*>(nullptr), &number),
      get(h, VEMO_NODEID_NODENAME, "a", static_cast<uint32_t*>(nullptr)),
      get(h, VEMO_NODENAME_NODEID, uint32_t{1}, static_cast<const char**>(nullptr)),
      get(h, "NodeId_Everything", &number),
      get(h, nullptr, &number),
      clusterClose(h) + kVemoBadArgument,  // the only call here that is not refused
      get(h, VEMO_NODEID_LOCAL, &number),
      clusterClose(h),
      get(&foreign, VEMO_NODEID_LOCAL, &number),
      clusterClose(nullptr),
      clusterOpen(path_.c_str(), nullptr, recordProblem),
  };
  EXPECT_EQ(std::vector<int>(std::begin(answers), std::end(answers)),
            std::vector<int>(std::size(answers), kVemoBadArgument));
}

TEST_F(ClusterHandleTest, MalformedFileIsReportedOnceAndGivesNoHandle) {
  test::writeFile(path_, "node 1 a local\nnode 1 b\n");
  vemo_handle_t h = &h;
  EXPECT_EQ(clusterOpen(path_.c_str(), &h, recordProblem), kVemoConfigMalformed);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(reported, std::vector<std::string>{path_ + ":2: node number 1 is already on line 1"});
}

}  // namespace
}  // namespace skgxn
