// The cluster engine of three nodes in one process, without Corosync: the
// test plays the group's changes, the quorum service's decisions and the
// delivery of every multicast in one agreed order, then compares what each
// node's table holds and what its members were told.
#include "daemon/corosync_engine.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "daemon/fake_corosync.h"

namespace skgxn {
namespace {

// Timers wait until the test runs them; a descriptor is ready when the test
// says so.
class StubLoop final : public EventLoop {
 public:
  TimerId after(int64_t ms, std::function<void()> fn) override {
    const TimerId id{ms, seq_++};
    timers_.emplace(id, std::move(fn));
    return id;
  }
  void cancel(TimerId id) override { timers_.erase(id); }
  ErrCode watchFd(int fd, uint32_t, std::function<void(uint32_t)> fn) override {
    watched[fd] = std::move(fn);
    return ERR_NONE;
  }
  void unwatchFd(int fd) override { watched.erase(fd); }
  void runTimers() {
    while (!timers_.empty()) timers_.extract(timers_.begin()).mapped()();
  }
  void ready(int fd) {
    auto fn = watched.at(fd);  // it may unwatch itself
    fn(EPOLLIN);
  }
  std::map<int, std::function<void(uint32_t)>> watched;

 private:
  uint64_t seq_ = 0;
  std::map<TimerId, std::function<void()>> timers_;
};

// One node: its daemon's engine and what that daemon's members were told.
struct Node final : EngineSink {
  void deliver(Outbox& out) override {
    for (const Delivery& d : out) {
      told += std::to_string(d.key.conn) + ":" + std::to_string(d.event) + "[";
      for (uint32_t n = 0; n < kMaxMembers; ++n) {
        if (hasMember(d.bitmap, n)) told += std::to_string(n) + ",";
      }
      told += "] ";
    }
  }
  void joinDecided(ConnId conn, ErrCode status, int32_t memno) override {
    answers[conn] = {status, memno};
  }
  void registrationLost(ConnId conn, const char*) override {
    told += "lost " + std::to_string(conn) + " ";
  }
  void engineReady() override { ready = true; }

  StubLoop loop;
  std::unique_ptr<CorosyncEngine> engine;
  std::vector<uint32_t> view;  // the daemons of the ring this node is in
  std::string told;
  std::map<ConnId, std::pair<ErrCode, int32_t>> answers;
  bool ready = false;
};

class CorosyncEngineTest : public ::testing::Test {
 protected:
  CorosyncEngineTest() { fake::sent.clear(), fake::quorate.clear(), fake::handlesOpen = 0; }
  // Starts node n's daemon; it is in no ring until ring() puts it in one.
  void start(uint32_t n, bool quorate = true) {
    fake::quorate[n] = quorate;
    fake::nextNode = n;
    nodes[n].engine = std::make_unique<CorosyncEngine>(nodes[n], nodes[n].loop, log);
    nodes[n].engine->start();
    nodes[n].loop.runTimers();
  }
  // The ids not in but, as Corosync lists a group's processes.
  std::vector<cpg_address> addrs(const std::vector<uint32_t>& ids, uint32_t reason,
                                 const std::vector<uint32_t>& but = {}) {
    std::vector<cpg_address> list;
    for (uint32_t id : ids) {
      if (std::find(but.begin(), but.end(), id) == but.end()) list.push_back({id, pid, reason});
    }
    return list;
  }
  // Corosync forms a ring of these partitions: each daemon hears the group's
  // change (nodes gone from its partition went down), then the ring, then,
  // when decide, quorum's decision on it (a majority of three nodes). What
  // was multicast is not delivered yet.
  void ring(const std::vector<std::vector<uint32_t>>& parts, bool decide = true) {
    ++ringSeq;
    for (const auto& part : parts) {
      for (uint32_t n : part) {
        Node& node = nodes[n];
        const auto members = addrs(part, CPG_REASON_JOIN);
        const auto left = addrs(node.view, CPG_REASON_NODEDOWN, part);
        const auto joined = addrs(part, CPG_REASON_JOIN, node.view);
        node.view = part;
        node.engine->onConfchg(members.data(), members.size(), left.data(), left.size(),
                               joined.data(), joined.size());
        node.engine->onRing(ringSeq);
        if (decide) decideQuorum(n, part.size() * 2 > 3, static_cast<uint32_t>(part.size()));
      }
    }
  }
  void decideQuorum(uint32_t n, bool quorate, uint32_t members) {
    fake::quorate[n] = quorate;
    nodes[n].engine->onQuorumDecided(quorate, members, ringSeq);
  }
  // Delivers up to limit multicasts, in the order sent, to every daemon of
  // the sender's partition; what they multicast in turn joins the queue.
  void deliver(size_t limit = SIZE_MAX) {
    for (; limit != 0 && !fake::sent.empty(); --limit) {
      fake::Multicast m = std::move(fake::sent.front());
      fake::sent.pop_front();
      for (uint32_t n : nodes[m.node].view) {
        nodes[n].engine->onDeliver(m.node, m.pid, m.bytes.data(), m.bytes.size());
      }
    }
  }
  void formCluster() {
    for (uint32_t n : {1, 2, 3}) start(n);
    ring({{1, 2, 3}});
    deliver();
  }
  void join(uint32_t n, ConnId conn, const std::string& group, int32_t memno = -1) {
    nodes[n].engine->join(conn, JoinRequest{group, memno, {}, {}, 0});
  }
  // Node n's table as "group:memno=node/conn,... ".
  std::string table(uint32_t n) {
    const Membership& t = nodes[n].engine->table();
    std::string text;
    for (const GroupSummary& g : t.groups()) {
      text += g.name + ":";
      for (const Member& m : t.members(g.name)) {
        text += std::to_string(m.memno) + "=" + std::to_string(m.key.node) + "/" +
                std::to_string(m.key.conn) + ",";
      }
      text += " ";
    }
    return text;
  }
  void expectTables(const std::vector<uint32_t>& part, const std::string& want) {
    for (uint32_t n : part) EXPECT_EQ(table(n), want) << "node " << n;
  }
  // What node n's members were told since the last call.
  std::string told(uint32_t n) { return std::exchange(nodes[n].told, ""); }

  const uint32_t pid = static_cast<uint32_t>(getpid());
  uint64_t ringSeq = 0;
  DaemonLog log{false};
  std::map<uint32_t, Node> nodes;
};

TEST_F(CorosyncEngineTest, PartitionedMinorityForgetsItsTableAndHealTakesTheMajoritys) {
  formCluster();
  join(1, 10, "g", 0);
  join(3, 30, "g", 0);
  deliver();
  EXPECT_EQ(nodes[1].answers[10], std::make_pair(ERR_NONE, 0));
  EXPECT_EQ(nodes[3].answers[30], std::make_pair(ERR_EXIST, 0));
  join(3, 31, "g");
  deliver();
  expectTables({1, 2, 3}, "g:0=1/10,1=3/31, ");
  told(1);
  told(3);

  // Node 3 alone first sees the change with quorum not yet decided: its
  // member hears only the abort, never a set without the others.
  ring({{1, 2}, {3}});
  deliver();
  EXPECT_EQ(told(3), "31:8[0,1,] lost 31 ");
  EXPECT_EQ(told(1), "10:1[0,] ");
  EXPECT_FALSE(nodes[3].engine->tableCurrent());
  join(3, 32, "g");
  join(1, 11, "g");
  deliver();
  EXPECT_EQ(nodes[3].answers[32], std::make_pair(ERR_UNAVAILABLE, -1));
  EXPECT_EQ(nodes[1].answers[11], std::make_pair(ERR_NONE, 1));
  expectTables({1, 2}, "g:0=1/10,1=1/11, ");
  expectTables({3}, "");
  told(1);

  ring({{1, 2, 3}});
  deliver();
  expectTables({1, 2, 3}, "g:0=1/10,1=1/11, ");
  EXPECT_EQ(told(1) + told(2) + told(3), "");
}

// A node that drops out waits for quorum's decision on the new ring; when
// none comes, Corosync is asked once the hold ends.
TEST_F(CorosyncEngineTest, LostConnectionOrNodeEndsAMembershipOrAJoinInFlight) {
  formCluster();
  for (uint32_t n : {1, 2, 3}) join(n, n * 10, "g");
  deliver();
  join(2, 21, "g");
  for (ConnId conn : {20, 21}) nodes[2].engine->connectionLost(conn);
  deliver();
  expectTables({1, 2, 3}, "g:0=1/10,2=3/30, ");
  ring({{1, 2}, {3}}, false);
  deliver();
  expectTables({1}, "g:0=1/10,2=3/30, ");
  nodes[1].loop.runTimers();
  expectTables({1}, "g:0=1/10, ");
}

TEST_F(CorosyncEngineTest, LateDaemonGetsTheTableByTransferWithTheSameNumbers) {
  for (uint32_t n : {1, 2}) start(n);
  ring({{1, 2}});
  deliver();
  join(1, 10, "g", 5);
  join(2, 20, "h");
  deliver();
  start(3);
  ring({{1, 2, 3}});
  // Quorate, but its table is not the cluster's until the transfer ends.
  EXPECT_FALSE(nodes[3].engine->tableCurrent());
  join(3, 30, "g");
  EXPECT_FALSE(nodes[3].ready);
  deliver();
  EXPECT_TRUE(nodes[3].ready);
  EXPECT_EQ(nodes[3].answers[30], std::make_pair(ERR_NONE, 0));
  expectTables({1, 2, 3}, "g:0=3/30,5=1/10, h:0=2/20, ");
}

TEST_F(CorosyncEngineTest, LoneDaemonTakesJoinsOnlyOnceQuorate) {
  start(1, false);
  ring({{1}});
  deliver();
  EXPECT_TRUE(nodes[1].ready);
  EXPECT_FALSE(nodes[1].engine->tableCurrent());
  join(1, 10, "g");
  EXPECT_EQ(nodes[1].answers[10], std::make_pair(ERR_UNAVAILABLE, -1));
  // The other nodes run Corosync but no daemon yet.
  decideQuorum(1, true, 3);
  EXPECT_TRUE(nodes[1].engine->tableCurrent());
  join(1, 11, "g");
  deliver();
  EXPECT_EQ(nodes[1].answers[11], std::make_pair(ERR_NONE, 0));
}

TEST_F(CorosyncEngineTest, QuorumReturningDuringATransferKeepsTheMajoritysTable) {
  start(1, false);
  for (uint32_t n : {2, 3}) start(n);
  ring({{1}, {2, 3}});
  deliver();
  join(2, 20, "g");
  deliver();
  // Every SYNC is in when node 1 hears of quorum, before node 2's table
  // arrives; then a stranger process joins the group and the round restarts.
  ring({{1, 2, 3}}, false);
  deliver(3);
  decideQuorum(1, true, 3);
  auto members = addrs({1, 2, 3}, CPG_REASON_JOIN);
  const cpg_address stranger{3, pid + 1, CPG_REASON_JOIN};
  members.push_back(stranger);
  for (uint32_t n : {1, 2, 3}) {
    nodes[n].engine->onConfchg(members.data(), members.size(), nullptr, 0, &stranger, 1);
  }
  deliver();
  expectTables({1, 2, 3}, "g:0=2/20, ");
  EXPECT_EQ(told(2), "20:1[0,] ");
}

// A dispatch that fails ends the node's connection: its members hear the
// abort, its descriptors are let go, and a later attempt connects again.
TEST_F(CorosyncEngineTest, FailedDispatchAbortsTheNodesMembersAndConnectsAgainLater) {
  formCluster();
  for (uint32_t n : {1, 2, 3}) join(n, n * 10, "g");
  deliver();
  const std::tuple<uint32_t, int, cs_error_t, std::string> rows[] = {
      {1, 101, CS_ERR_TRY_AGAIN, ""},  // nothing lost
      {2, 102, CS_ERR_LIBRARY, "20:8[0,1,2,] lost 20 "},
      {3, 203, CS_ERR_BAD_HANDLE, "30:8[0,1,2,] lost 30 "}};
  for (const auto& [n, fd, rc, lost] : rows) {
    SCOPED_TRACE(n);
    told(n);
    fake::dispatchResult = rc;
    nodes[n].loop.ready(fd);
    fake::dispatchResult = CS_OK;
    EXPECT_EQ(told(n), lost);
    EXPECT_EQ(nodes[n].engine->tableCurrent(), lost.empty());
    EXPECT_EQ(nodes[n].loop.watched.size(), lost.empty() ? 2u : 0u);
    fake::nextNode = n;
    nodes[n].loop.runTimers();  // the retry
    EXPECT_EQ(nodes[n].loop.watched.size(), 2u);
  }
  EXPECT_EQ(fake::handlesOpen, 6);  // none of the failed connections' left open
  for (auto& [n, node] : nodes) node.engine.reset();
  EXPECT_EQ(fake::handlesOpen, 0);
  for (auto& [n, node] : nodes) EXPECT_TRUE(node.loop.watched.empty()) << n;
}

}  // namespace
}  // namespace skgxn
