// Tests of the built libvemo.so.1 at its fixed configuration path. Run in a
// private mount namespace whose /etc/velk is an empty tmpfs, so the host's
// own cluster configuration is never read or changed.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "vemo.h"

namespace {

constexpr const char* kConfigPath = "/etc/velk/cluster.conf";

class VemoLibrary : public ::testing::Test {
 protected:
  void SetUp() override { std::remove(kConfigPath); }
  void TearDown() override { std::remove(kConfigPath); }
  static void writeConfig(const std::string& text) { std::ofstream(kConfigPath) << text; }
};

TEST_F(VemoLibrary, WithoutTheFileTheHostIsLocalNodeOne) {
  struct utsname host;
  ASSERT_EQ(uname(&host), 0);
  vemo_handle_t h = nullptr;
  ASSERT_EQ(vemo_cluster_open(&h), VEMO_OK);
  vemo_nodeid_array_t* all = nullptr;
  uint32_t local = 0;
  const char* name = nullptr;
  uint32_t number = 0;
  ASSERT_EQ(vemo_cluster_get(h, VEMO_ALL_NODEIDS, &all), VEMO_OK);
  EXPECT_EQ(std::vector<uint32_t>(all->ids, all->ids + all->count), std::vector<uint32_t>{1});
  EXPECT_EQ(vemo_cluster_get(h, VEMO_NODEID_LOCAL, &local), VEMO_OK);
  EXPECT_EQ(local, 1u);
  EXPECT_EQ(vemo_cluster_get(h, VEMO_NODENAME_NODEID, uint32_t{1}, &name), VEMO_OK);
  EXPECT_STREQ(name, host.nodename);
  EXPECT_EQ(vemo_cluster_get(h, VEMO_NODEID_NODENAME, host.nodename, &number), VEMO_OK);
  EXPECT_EQ(number, 1u);
  EXPECT_EQ(vemo_cluster_close(h), VEMO_OK);
}

TEST_F(VemoLibrary, ThreeNodeFileIsServed) {
  writeConfig("# test cluster\nnode 10 east\nnode 20 west local\nnode 30 north\n");
  vemo_handle_t h = nullptr;
  ASSERT_EQ(vemo_cluster_open(&h), VEMO_OK);
  vemo_nodeid_array_t* all = nullptr;
  uint32_t local = 0;
  uint32_t number = 0;
  ASSERT_EQ(vemo_cluster_get(h, VEMO_ALL_NODEIDS, &all), VEMO_OK);
  EXPECT_EQ(std::vector<uint32_t>(all->ids, all->ids + all->count),
            (std::vector<uint32_t>{10, 20, 30}));
  EXPECT_EQ(vemo_cluster_get(h, VEMO_NODEID_LOCAL, &local), VEMO_OK);
  EXPECT_EQ(local, 20u);
  EXPECT_EQ(vemo_cluster_get(h, VEMO_NODEID_NODENAME, "north", &number), VEMO_OK);
  EXPECT_EQ(number, 30u);
  EXPECT_EQ(vemo_cluster_get(h, VEMO_NODEID_NODENAME, "south", &number), VEMO_EINVAL);
  EXPECT_EQ(vemo_cluster_close(h), VEMO_OK);
}

TEST_F(VemoLibrary, MalformedFileFailsTheOpen) {
  writeConfig("node 10 east local\nnode ten west\n");
  vemo_handle_t h = &h;
  int rc = vemo_cluster_open(&h);
  EXPECT_NE(rc, VEMO_OK);
  EXPECT_NE(rc, VEMO_OK_PARTIAL);
  EXPECT_EQ(h, nullptr);
}

TEST_F(VemoLibrary, NameOf256CharactersIsServedAnd257FailsTheOpen) {
  std::string longest(256, 'q');
  writeConfig("node 1 " + longest + " local\n");
  vemo_handle_t h = nullptr;
  ASSERT_EQ(vemo_cluster_open(&h), VEMO_OK);
  const char* name = nullptr;
  ASSERT_EQ(vemo_cluster_get(h, VEMO_NODENAME_NODEID, uint32_t{1}, &name), VEMO_OK);
  EXPECT_EQ(std::string(name), longest);
  EXPECT_EQ(vemo_cluster_close(h), VEMO_OK);

  writeConfig("node 1 " + longest + "q local\n");
  EXPECT_NE(vemo_cluster_open(&h), VEMO_OK);
}

}  // namespace
