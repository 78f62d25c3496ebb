// Tests of the built libvemo.so.1: its C calls answer from the file at the
// fixed path (cluster_handle_test.cc covers what they answer). Runs in a
// private mount namespace whose /etc/velk is an empty tmpfs, so the host's
// own cluster configuration is never touched.
#include <gtest/gtest.h>

#include <fstream>

#include "vemo.h"

namespace {

TEST(VemoLibrary, CallsAnswerFromTheFileAtTheFixedPath) {
  std::ofstream("/etc/velk/cluster.conf") << "node 10 east\nnode 20 west local\n";
  vemo_handle_t h = nullptr;
  ASSERT_EQ(vemo_cluster_open(&h), VEMO_OK);
  uint32_t number = 0;
  // Two arguments after the tag: both must reach the library's own reader.
  EXPECT_EQ(vemo_cluster_get(h, VEMO_NODEID_NODENAME, "west", &number), VEMO_OK);
  EXPECT_EQ(number, 20u);
  EXPECT_EQ(vemo_cluster_close(h), VEMO_OK);
}

}  // namespace
