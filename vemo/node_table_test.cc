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

std::string problemOf(const std::string& text) {
  NodeTable table;
  std::string problem;
  EXPECT_EQ(parse(text, table, problem), ERR_INVALID) << text;
  return problem;
}

TEST(NodeTableParse, ThreeNodesKeepFileOrderAndLocalMark) {
  NodeTable table;
  std::string problem;
  ASSERT_EQ(parse("node 7 alpha\nnode 2 beta local\nnode 4294967295 gamma\n", table, problem),
            ERR_NONE)
      << problem;
  EXPECT_EQ(table.numbers(), (std::vector<uint32_t>{7, 2, 4294967295u}));
  EXPECT_EQ(table.localNumber(), 2u);
  EXPECT_STREQ(table.findName(4294967295u), "gamma");
  uint32_t number = 0;
  ASSERT_TRUE(table.findNumber("alpha", number));
  EXPECT_EQ(number, 7u);
}

TEST(NodeTableParse, CommentsBlankLinesAndCarriageReturnsAreIgnored) {
  NodeTable table;
  std::string problem;
  ASSERT_EQ(parse("# the lab cluster\n\n   \t\nnode 1 a local  # this machine\r\n"
                  "  node\t2\tb\r\n#node 3 c\n",
                  table, problem),
            ERR_NONE)
      << problem;
  EXPECT_EQ(table.numbers(), (std::vector<uint32_t>{1, 2}));
  EXPECT_STREQ(table.findName(1), "a");
}

TEST(NodeTableParse, NamesMatchExactlyAndUnknownsAreNotFound) {
  NodeTable table;
  std::string problem;
  ASSERT_EQ(parse("node 1 Alpha local\n", table, problem), ERR_NONE);
  uint32_t number = 99;
  EXPECT_FALSE(table.findNumber("alpha", number));
  EXPECT_FALSE(table.findNumber("Alph", number));
  EXPECT_EQ(number, 99u);
  EXPECT_EQ(table.findName(2), nullptr);
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
  const std::pair<const char*, const char*> cases[] = {
      {"host 1 a local\n", "cluster.conf:1: unknown keyword 'host'"},
      {"node 1\n", "cluster.conf:1: expected 'node <number> <name> [local]'"},
      {"node 1 a local extra\n", "cluster.conf:1: expected 'node <number> <name> [local]'"},
      {"node 1 a remote\n", "cluster.conf:1: unexpected 'remote' after the node name"},
      {"node -1 a local\n",
       "cluster.conf:1: node number '-1' is not a decimal number from 0 to 4294967295"},
      {"node 0x10 a local\n",
       "cluster.conf:1: node number '0x10' is not a decimal number from 0 to 4294967295"},
      {"# ok\nnode 4294967296 a local\n",
       "cluster.conf:2: node number '4294967296' is not a decimal number from 0 to 4294967295"},
      {"node 1 a\x01z local\n", "cluster.conf:1: node name contains a control character"},
      {"node 1 a local\nnode 2 a\n", "cluster.conf:2: node name 'a' is already on line 1"},
      {"node 1 a local\n\nnode 1 b\n", "cluster.conf:3: node number 1 is already on line 1"},
      {"node 1 a local\nnode 2 b local\n",
       "cluster.conf:2: a second node is marked local (the first is on line 1)"},
      {"node 1 a\nnode 2 b\n", "cluster.conf: no node is marked local"},
      {"# nothing here\n", "cluster.conf: no node is configured"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(problemOf(text), expected) << text;
}

TEST(NodeTableParse, QuotedWordsInProblemsAreCutAndMadePrintable) {
  EXPECT_EQ(problemOf("\x1b[2J" + std::string(50, 'k') + " 1 a local\n"),
            "cluster.conf:1: unknown keyword '?[2J" + std::string(36, 'k') + "...'");
}

TEST(NodeTableParse, RefusedFileLeavesNoPartialTable) {
  NodeTable table;
  std::string problem;
  ASSERT_EQ(parse("node 5 old local\n", table, problem), ERR_NONE);
  EXPECT_EQ(parse("node 1 a local\nnode 2 b\nnode x c\n", table, problem), ERR_INVALID);
  EXPECT_TRUE(table.numbers().empty());
  EXPECT_EQ(table.findName(1), nullptr);
  EXPECT_EQ(table.findName(5), nullptr);
}

class NodeTableLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = ::testing::TempDir() + "vemo_load_XXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override {
    std::remove((dir_ + "/cluster.conf").c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
};

TEST_F(NodeTableLoad, MissingFileServesTheHostAsLocalNodeOne) {
  struct utsname host;
  ASSERT_EQ(uname(&host), 0);
  NodeTable table;
  std::string problem;
  ASSERT_EQ(loadNodeTable((dir_ + "/cluster.conf").c_str(), table, problem), ERR_NONE);
  EXPECT_EQ(table.numbers(), std::vector<uint32_t>{1});
  EXPECT_EQ(table.localNumber(), 1u);
  EXPECT_STREQ(table.findName(1), host.nodename);
}

TEST_F(NodeTableLoad, FileProblemsNameThePathAndLine) {
  std::string path = dir_ + "/cluster.conf";
  std::ofstream(path) << "node 1 a local\nnode two b\n";
  NodeTable table;
  std::string problem;
  EXPECT_EQ(loadNodeTable(path.c_str(), table, problem), ERR_INVALID);
  EXPECT_EQ(problem, path + ":2: node number 'two' is not a decimal number from 0 to 4294967295");
}

TEST_F(NodeTableLoad, PathThatCannotBeReadIsAReadFailure) {
  NodeTable table;
  std::string problem;
  EXPECT_EQ(loadNodeTable(dir_.c_str(), table, problem), ERR_READ);
  EXPECT_EQ(problem.rfind(dir_ + ": cannot be read: ", 0), 0u) << problem;
  EXPECT_TRUE(table.numbers().empty());
}

}  // namespace
}  // namespace skgxn
