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

ErrCode parse(const std::string& text, NodeTable& table, std::string& problem) {
  std::istringstream in(text);
  return parseNodeTable(in, "cluster.conf", table, problem);
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
  NodeTable table;
  std::string problem;
  ASSERT_EQ(loadNodeTable(path.c_str(), table, problem), ERR_NONE);
  EXPECT_EQ(table.numbers(), std::vector<uint32_t>{1});
  EXPECT_EQ(table.localNumber(), 1u);
  EXPECT_STREQ(table.findName(1), host.nodename);

  std::ofstream(path) << "node 1 a local\nnode two b\n";
  EXPECT_EQ(loadNodeTable(path.c_str(), table, problem), ERR_INVALID);
  EXPECT_EQ(problem, path + ":2: node number 'two' is not a decimal number from 0 to 4294967295");
  EXPECT_EQ(loadNodeTable(dir.c_str(), table, problem), ERR_READ);  // a directory
  EXPECT_EQ(problem.rfind(dir + ": cannot be read: ", 0), 0u) << problem;
  EXPECT_TRUE(table.numbers().empty());
  std::remove(path.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace skgxn
