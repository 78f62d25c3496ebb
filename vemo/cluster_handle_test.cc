// Tests of the configuration library's calls behind their C entry points: every
// tag, and the refusals of files and arguments, which leave no handle behind.
#include "vemo/cluster_handle.h"

#include <gtest/gtest.h>

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

const test::ScratchDir dir;
const std::string path = dir.file("cluster.conf");
std::vector<std::string> reported;
void recordProblem(const char* problem) { reported.emplace_back(problem); }

// The handle opened on text, after checking the open's result.
vemo_handle_t openWith(const std::string& text, int result = VEMO_OK) {
  test::writeFile(path, text);
  vemo_handle_t handle = &handle;
  EXPECT_EQ(clusterOpen(path.c_str(), &handle, recordProblem), result);
  return handle;
}

TEST(ClusterHandle, EveryTagAnswersInStableMemoryAndUnknownsAnswer11WritingNothing) {
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

TEST(ClusterHandle, RefusedFilesAndCallsLeaveNoHandleAndReachNoFreedMemory) {
  EXPECT_EQ(openWith("node 1 a local\nnode 1 b\n", kVemoConfigMalformed), nullptr);
  EXPECT_EQ(reported, std::vector<std::string>{path + ":2: node number 1 is already on line 1"});
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
      clusterOpen(path.c_str(), nullptr, recordProblem),
  };
  EXPECT_EQ(std::vector<int>(std::begin(answers), std::end(answers)),
            std::vector<int>(std::size(answers), kVemoBadArgument));
}

}  // namespace
}  // namespace skgxn
