// Tests of the configuration library's calls behind their C entry points:
// every tag, the refusals that keep a caller from crashing the process, and
// that a refused configuration is reported once and yields no handle.
#include "vemo/cluster_handle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

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
  void SetUp() override {
    reported.clear();
    ASSERT_NE(mkdtemp(dir_.data()), nullptr);
    path_ = dir_ + "/cluster.conf";
  }
  void TearDown() override {
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  vemo_handle_t openWith(const std::string& text) {
    std::ofstream(path_) << text;
    vemo_handle_t handle = nullptr;
    EXPECT_EQ(clusterOpen(path_.c_str(), &handle, recordProblem), VEMO_OK);
    return handle;
  }
  std::string dir_ = ::testing::TempDir() + "vemo_handle_XXXXXX";
  std::string path_;
};

TEST_F(ClusterHandleTest, EveryTagAnswersFromTheFileInStableMemoryAndUnknownsAnswer11) {
  vemo_handle_t h = openWith("node 3 c\nnode 1 a local\nnode 2 bb\n");
  vemo_nodeid_array_t *all = nullptr, *again = nullptr;
  const char *name = nullptr, *nameAgain = nullptr;
  uint32_t local = 0, number = 0;
  ASSERT_EQ(get(h, VEMO_ALL_NODEIDS, &all), VEMO_OK);
  EXPECT_EQ(std::vector<uint32_t>(all->ids, all->ids + all->count),
            (std::vector<uint32_t>{3, 1, 2}));
  EXPECT_EQ(get(h, VEMO_NODEID_LOCAL, &local), VEMO_OK);
  EXPECT_EQ(get(h, VEMO_NODEID_NODENAME, "bb", &number), VEMO_OK);
  EXPECT_EQ(get(h, VEMO_NODENAME_NODEID, uint32_t{3}, &name), VEMO_OK);
  EXPECT_EQ(get(h, VEMO_ALL_NODEIDS, &again), VEMO_OK);
  EXPECT_EQ(get(h, VEMO_NODENAME_NODEID, uint32_t{3}, &nameAgain), VEMO_OK);
  EXPECT_EQ(local, 1u);
  EXPECT_EQ(number, 2u);
  EXPECT_STREQ(name, "c");
  EXPECT_EQ(again, all);
  EXPECT_EQ(nameAgain, name);
  EXPECT_EQ(get(h, VEMO_NODEID_NODENAME, "b", &number), VEMO_EINVAL);  // unknown: nothing written
  EXPECT_EQ(get(h, VEMO_NODENAME_NODEID, uint32_t{4}, &name), VEMO_EINVAL);
  EXPECT_EQ(number, 2u);
  EXPECT_STREQ(name, "c");
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
      clusterClose(h),  // the only call here that is not refused
      get(h, VEMO_NODEID_LOCAL, &number),
      clusterClose(h),
      get(&foreign, VEMO_NODEID_LOCAL, &number),
      get(nullptr, VEMO_NODEID_LOCAL, &number),
      clusterClose(nullptr),
      clusterOpen(path_.c_str(), nullptr, recordProblem),
  };
  std::vector<int> expected(std::size(answers), kVemoBadArgument);
  expected[7] = VEMO_OK;
  EXPECT_EQ(std::vector<int>(std::begin(answers), std::end(answers)), expected);
}

TEST_F(ClusterHandleTest, MalformedFileIsReportedOnceAndGivesNoHandle) {
  std::ofstream(path_) << "node 1 a local\nnode 1 b\n";
  vemo_handle_t h = &h;
  EXPECT_EQ(clusterOpen(path_.c_str(), &h, recordProblem), kVemoConfigMalformed);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(reported, std::vector<std::string>{path_ + ":2: node number 1 is already on line 1"});
}

}  // namespace
}  // namespace skgxn
