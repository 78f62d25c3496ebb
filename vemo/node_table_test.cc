// Tests of the configuration file reader: what it accepts, and that every
// refusal names the file and line and leaves no partial table behind.
#include "vemo/node_table.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace skgxn {
namespace {

ErrCode parse(const std::string& text, ClusterConfig& config, std::string& problem) {
  std::istringstream in(text);
  return parseClusterConfig(in, "cluster.conf", config, problem);
}

ErrCode parse(const std::string& text, NodeTable& table, std::string& problem) {
  ClusterConfig config;
  ErrCode rc = parse(text, config, problem);
  table = config.nodes;
  return rc;
}

// Parses text over a table that held a good file, which a refusal must empty.
std::string problemOf(const std::string& text) {
  NodeTable table;
  std::string problem;
  EXPECT_EQ(parse("node 5 old local\n", table, problem), ERR_NONE);
  EXPECT_EQ(parse(text, table, problem), ERR_INVALID) << text;
  EXPECT_TRUE(table.numbers().empty() && table.findName(5) == nullptr) << text;
  return problem;
}

TEST(NodeTableParse, NodesKeepFileOrderAndLocalMarkAndNamesMatchExactly) {
  NodeTable table;
  std::string problem;
  ASSERT_EQ(parse("# the lab cluster\n\n   \t\nnode 7 alpha  # first\r\n  node\t2\tbeta local\r\n"
                  "#node 3 c\nnode 4294967295 gamma\n",
                  table, problem),
            ERR_NONE)
      << problem;
  EXPECT_EQ(table.numbers(), (std::vector<uint32_t>{7, 2, 4294967295u}));
  EXPECT_EQ(table.localNumber(), 2u);
  EXPECT_STREQ(table.findName(4294967295u), "gamma");
  EXPECT_EQ(table.findName(3), nullptr);
  uint32_t number = 99;
  EXPECT_FALSE(table.findNumber("Alpha", number) || table.findNumber("alph", number));
  EXPECT_EQ(number, 99u);
  ASSERT_TRUE(table.findNumber("alpha", number));
  EXPECT_EQ(number, 7u);
}

TEST(NodeTableParse, EngineStatementChoosesCorosyncWithoutNodesOrLocalWithThem) {
  const struct {
    const char* text;
    ClusterEngine engine;
    size_t nodes;
  } rows[] = {{"engine corosync  # nodes from Corosync\n", ClusterEngine::kCorosync, 0},
              {"node 1 a local\nengine local\n", ClusterEngine::kLocal, 1}};
  for (const auto& row : rows) {
    ClusterConfig config;
    std::string problem;
    ASSERT_EQ(parse(row.text, config, problem), ERR_NONE) << problem;
    EXPECT_EQ(config.engine, row.engine) << row.text;
    EXPECT_EQ(config.nodes.numbers().size(), row.nodes) << row.text;
  }
}

TEST(NodeTableParse, NameOf256CharactersIsAcceptedAnd257Refused) {
  NodeTable table;
  std::string problem;
  std::string longest(256, 'n');
  ASSERT_EQ(parse("node 1 " + longest + " local\n", table, problem), ERR_NONE) << problem;
  EXPECT_EQ(std::string(table.findName(1)), longest);
  EXPECT_EQ(problemOf("node 1 a local\nnode 2 " + longest + "x\n"),
            "cluster.conf:2: node name is longer than 256 characters");
}

TEST(NodeTableParse, EachMalformedLineIsNamedWithWhatIsWrong) {
  const std::string notANumber = "' is not a decimal number from 0 to 4294967295";
  const std::pair<std::string, std::string> cases[] = {
      {"host 1 a local\n", "cluster.conf:1: unknown keyword 'host'"},
      {"node 1\n", "cluster.conf:1: expected 'node <number> <name> [local]'"},
      {"node 1 a local extra\n", "cluster.conf:1: expected 'node <number> <name> [local]'"},
      {"node 1 a remote\n", "cluster.conf:1: unexpected 'remote' after the node name"},
      {"node -1 a local\n", "cluster.conf:1: node number '-1" + notANumber},
      {"node 0x10 a local\n", "cluster.conf:1: node number '0x10" + notANumber},
      {"# ok\nnode 4294967296 a local\n", "cluster.conf:2: node number '4294967296" + notANumber},
      {"node 1 a\x01z local\n", "cluster.conf:1: node name contains a control character"},
      {"node 1 a local\nnode 2 a\n", "cluster.conf:2: node name 'a' is already on line 1"},
      {"node 1 a local\n\nnode 1 b\n", "cluster.conf:3: node number 1 is already on line 1"},
      {"node 1 a local\nnode 2 b\nnode x c\n", "cluster.conf:3: node number 'x" + notANumber},
      {"node 1 a local\nnode 2 b local\n",
       "cluster.conf:2: a second node is marked local (the first is on line 1)"},
      {"node 1 a\nnode 2 b\n", "cluster.conf: no node is marked local"},
      {"# nothing here\n", "cluster.conf: no node is configured"},
      {"engine local\n", "cluster.conf: no node is configured"},
      {"engine corosync\nnode 1 a local\n",
       "cluster.conf:2: a node line, but 'engine corosync' (line 1) takes its nodes from Corosync"},
      {"node 1 a local\nengine corosync\n",
       "cluster.conf:2: 'engine corosync' takes its nodes from Corosync, but line 1 is a node "
       "line"},
      {"engine cpg\n", "cluster.conf:1: unknown engine 'cpg' (expected 'local' or 'corosync')"},
      {"engine\n", "cluster.conf:1: expected 'engine local' or 'engine corosync'"},
      {"engine corosync\nengine corosync\n",
       "cluster.conf:2: a second engine statement (the first is on line 1)"},
      // Quoted words are cut and made printable.
      {"\x1b[2J" + std::string(50, 'k') + " 1 a local\n",
       "cluster.conf:1: unknown keyword '?[2J" + std::string(36, 'k') + "...'"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(problemOf(text), expected) << text;
}

TEST(NodeTableLoad, MissingFileServesHostAsLocalNodeOneAndProblemsNameThePath) {
  std::string dir = ::testing::TempDir() + "vemo_load_XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string path = dir + "/cluster.conf";
  struct utsname host;
  ASSERT_EQ(uname(&host), 0);
  ClusterConfig config;
  const NodeTable& table = config.nodes;
  std::string problem;
  ASSERT_EQ(loadClusterConfig(path.c_str(), config, problem), ERR_NONE);
  EXPECT_EQ(config.engine, ClusterEngine::kLocal);
  EXPECT_EQ(table.numbers(), std::vector<uint32_t>{1});
  EXPECT_EQ(table.localNumber(), 1u);
  EXPECT_STREQ(table.findName(1), host.nodename);

  std::ofstream(path) << "node 1 a local\nnode two b\n";
  EXPECT_EQ(loadClusterConfig(path.c_str(), config, problem), ERR_INVALID);
  EXPECT_EQ(problem, path + ":2: node number 'two' is not a decimal number from 0 to 4294967295");
  EXPECT_EQ(loadClusterConfig(dir.c_str(), config, problem), ERR_READ);  // a directory
  EXPECT_EQ(problem.rfind(dir + ": cannot be read: ", 0), 0u) << problem;
  EXPECT_TRUE(table.numbers().empty());
  std::remove(path.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace skgxn
