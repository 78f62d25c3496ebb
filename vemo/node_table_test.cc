// Tests of the configuration file reader: what it accepts, and that every
// refusal names the file and line and leaves no partial table behind.
#include "vemo/node_table.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include "diag/test_support.h"

namespace skgxn {
namespace {

// "<engine>|<numbers> /<local>", after "<code>|<problem>|" for a refused text,
// which must leave an empty configuration.
std::string parse(const std::string& text) {
  std::istringstream in(text);
  ClusterConfig config;
  config.nodes.setLocal(77);
  std::string problem;
  const ErrCode rc = parseClusterConfig(in, "cluster.conf", config, problem);
  std::string out = rc != ERR_NONE ? std::to_string(rc) + "|" + problem + "|" : "";
  out += config.engine == ClusterEngine::kCorosync ? "corosync|" : "local|";
  for (uint32_t number : config.nodes.numbers()) out += std::to_string(number) + " ";
  return out + "/" + std::to_string(config.nodes.localNumber());
}

TEST(NodeTableParse, AcceptedFileKeepsFileOrderTheLocalMarkAndTheEngine) {
  EXPECT_EQ(parse("# the lab\n\n   \t\nnode 7 alpha  # first\r\n  node\t2\tbeta local\r\n"
                  "#node 3 c\nnode 4294967295 gamma\n"),
            "local|7 2 4294967295 /2");
  EXPECT_EQ(parse("engine corosync  # nodes from Corosync\n"), "corosync|/0");
  EXPECT_EQ(parse("node 1 " + std::string(256, 'n') + " local\nengine local\n"), "local|1 /1");
}

TEST(NodeTableParse, EachRefusalNamesItsLineAndLeavesNothing) {
  // Each text breaks one rule on its last line.
  const std::string rows[] = {"host 1 a local",
                              "node 1",
                              "node 1 a local x",
                              "node 1 a remote",
                              "node 0x1 a local",
                              "# ok\nnode 4294967296 a local",
                              "node 1 a\x01z local",
                              "node 1 a local\nnode 2 a",
                              "node 1 a local\n\nnode 1 b",
                              "node 1 a local\nnode 2 b local",
                              "engine corosync\nnode 1 a local",
                              "node 1 a local\nengine corosync",
                              "engine cpg",
                              "engine",
                              "engine local\nengine local",
                              "node 1 " + std::string(257, 'n') + " local"};
  for (const std::string& text : rows) {
    const std::string line = std::to_string(std::count(text.begin(), text.end(), '\n') + 1);
    const std::string result = parse(text + "\n");
    EXPECT_EQ(result.rfind("4|cluster.conf:" + line + ": ", 0), 0u) << result;
    EXPECT_EQ(result.substr(result.size() - 9), "|local|/0") << result;
  }
  EXPECT_EQ(parse("node 1 a\nnode 2 b\n"), "4|cluster.conf: no node is marked local|local|/0");
  EXPECT_EQ(parse("# none\n"), "4|cluster.conf: no node is configured|local|/0");
  // Words are quoted cut short and made printable.
  EXPECT_EQ(parse("\x1b[2J" + std::string(50, 'k') + " 1 a local\n"),
            "4|cluster.conf:1: unknown keyword '?[2J" + std::string(36, 'k') + "...'|local|/0");
}

// The table itself refuses a second node with a taken number or name: a
// Corosync nodelist reaches it without the file reader's own checks.
TEST(NodeTable, NumberOrNameAlreadyTakenIsRefused) {
  NodeTable table;
  ASSERT_EQ(table.add(1, "a"), ERR_NONE);
  EXPECT_EQ(std::to_string(table.add(1, "b")) + std::to_string(table.add(2, "a")), "77");
  EXPECT_EQ(table.numbers(), std::vector<uint32_t>{1});
}

TEST(NodeTableLoad, MissingFileServesTheHostAsLocalNodeOne) {
  test::ScratchDir dir;
  struct utsname host;
  ASSERT_EQ(uname(&host), 0);
  ClusterConfig config;
  std::string problem;
  ASSERT_EQ(loadClusterConfig(dir.file("absent").c_str(), config, problem), ERR_NONE);
  EXPECT_EQ(config.nodes.numbers(), std::vector<uint32_t>{config.nodes.localNumber()});
  EXPECT_STREQ(config.nodes.findName(1), host.nodename);
}

}  // namespace
}  // namespace skgxn
