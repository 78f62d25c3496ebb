// Tests of the built libvemo.so.1: its three C calls answer from the file at
// the fixed path (cluster_handle_test.cc covers what they answer). Runs in a
// private mount namespace whose /etc/velk is an empty tmpfs, so the host's
// own cluster configuration is never touched.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "vemo.h"

namespace {

constexpr const char* kConfigPath = "/etc/velk/cluster.conf";

TEST(VemoLibrary, CallsAnswerFromTheFileAtTheFixedPath) {
  std::ofstream(kConfigPath) << "# test cluster\nnode 10 east\nnode 20 west local\nnode 30 north\n";
  vemo_handle_t h = nullptr;
  ASSERT_EQ(vemo_cluster_open(&h), VEMO_OK);
  vemo_nodeid_array_t* all = nullptr;
  uint32_t local = 0, number = 0;
  const char* name = "";
  ASSERT_EQ(vemo_cluster_get(h, VEMO_ALL_NODEIDS, &all), VEMO_OK);
  EXPECT_EQ(vemo_cluster_get(h, VEMO_NODEID_LOCAL, &local) |
                vemo_cluster_get(h, VEMO_NODENAME_NODEID, uint32_t{30}, &name) |
                vemo_cluster_get(h, VEMO_NODEID_NODENAME, "east", &number),
            VEMO_OK);
  EXPECT_EQ(std::to_string(all->count) + " " + std::to_string(local) + " " + name + " " +
                std::to_string(number),
            "3 20 north 10");
  EXPECT_EQ(vemo_cluster_close(h), VEMO_OK);
  std::remove(kConfigPath);
}

}  // namespace
