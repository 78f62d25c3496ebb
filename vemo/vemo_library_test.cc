// Tests of the built libvemo.so.1 at its fixed configuration path. Run in a
// private mount namespace whose /etc/velk is an empty tmpfs, so the host's
// own cluster configuration is never read or changed.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "vemo.h"

namespace {

constexpr const char* kConfigPath = "/etc/velk/cluster.conf";

// Makes the configuration file hold text, or removes it for nullptr.
void writeConfig(const char* text) {
  std::remove(kConfigPath);
  if (text != nullptr) std::ofstream(kConfigPath) << text;
}

TEST(VemoLibrary, ServesTheHostWithoutTheFileOrTheNodesOfTheFile) {
  struct utsname host;
  ASSERT_EQ(uname(&host), 0);
  const std::string longest(256, 'q');
  const std::string file = "# test cluster\nnode 10 east\nnode 20 west local\nnode 30 north\n";
  const std::string longName = "node 1 " + longest + " local\n";
  const struct {
    const char* file;
    std::string nodes;  // "<ids...>/<local>"
    uint32_t number;
    std::string name;
  } rows[] = {{nullptr, "1 /1", 1, host.nodename},
              {file.c_str(), "10 20 30 /20", 30, "north"},
              {longName.c_str(), "1 /1", 1, longest}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.nodes);
    writeConfig(row.file);
    vemo_handle_t h = nullptr;
    ASSERT_EQ(vemo_cluster_open(&h), VEMO_OK);
    vemo_nodeid_array_t* all = nullptr;
    uint32_t local = 0, number = 0;
    const char* name = nullptr;
    ASSERT_EQ(vemo_cluster_get(h, VEMO_ALL_NODEIDS, &all), VEMO_OK);
    EXPECT_EQ(vemo_cluster_get(h, VEMO_NODEID_LOCAL, &local), VEMO_OK);
    std::string nodes;
    for (uint32_t i = 0; i < all->count; ++i) nodes += std::to_string(all->ids[i]) + " ";
    EXPECT_EQ(nodes + "/" + std::to_string(local), row.nodes);
    EXPECT_EQ(vemo_cluster_get(h, VEMO_NODENAME_NODEID, row.number, &name), VEMO_OK);
    EXPECT_EQ(name, row.name);
    EXPECT_EQ(vemo_cluster_get(h, VEMO_NODEID_NODENAME, row.name.c_str(), &number), VEMO_OK);
    EXPECT_EQ(number, row.number);
    EXPECT_EQ(vemo_cluster_get(h, VEMO_NODEID_NODENAME, "south", &number), VEMO_EINVAL);
    EXPECT_EQ(vemo_cluster_close(h), VEMO_OK);
  }
  writeConfig(nullptr);
}

TEST(VemoLibrary, MalformedFileOrNameOf257CharactersFailsTheOpen) {
  const std::string tooLong = "node 1 " + std::string(257, 'q') + " local\n";
  for (const char* text : {"node 10 east local\nnode ten west\n", tooLong.c_str()}) {
    SCOPED_TRACE(text);
    writeConfig(text);
    vemo_handle_t h = &h;
    int rc = vemo_cluster_open(&h);
    EXPECT_TRUE(rc != VEMO_OK && rc != VEMO_OK_PARTIAL) << rc;
    EXPECT_EQ(h, nullptr);
  }
  writeConfig(nullptr);
}

}  // namespace
