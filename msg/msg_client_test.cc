// MsgClient against the scripted fake daemon: the join exchange and its
// failures, the event stream, the descriptor outcome of every request, and
// the group query that must not touch a handle's own connection.
#include "msg/msg_client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <tuple>
#include <vector>

#include "diag/diag_state.h"
#include "diag/trace.h"
#include "diag/test_support.h"
#include "group/group_state.h"
#include "msg/test_support.h"
#include "msg/unique_fd.h"
#include "tests/fake_daemon.h"

namespace skgxn {
namespace {

using test::FakeDaemon;
using test::FakePeer;
using test::fdIsOpen;
using test::TraceCapture;
using Lines = std::vector<std::string>;

class DiagEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { loadDiagnostics(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DiagEnvironment);

MemberBitmap membersOf(std::initializer_list<uint32_t> numbers) {
  MemberBitmap map{};
  for (uint32_t n : numbers) addMember(map, n);
  return map;
}

// A GroupState standing alone behind a handle record; MsgClient reads and
// stores only its descriptors and sequence number.
class MsgClientTest : public ::testing::Test {
 protected:
  void SetUp() override { traceMask = TRACE_ERR | TRACE_MSG; }
  void TearDown() override {
    client.setEventFdWaitForTest(kEventFdWaitMs);
    closeFd(state.commandFd);
    closeFd(state.eventFd);
    traceMask = TRACE_DEFAULT;
  }

  // Joins through a daemon that passes the event pair, runs beforeReply
  // (events queued there are pending when the join returns), grants member
  // 3, runs afterReply and holds the connection until it closes.
  void join(FakeDaemon::Script beforeReply, FakeDaemon::Script afterReply = nullptr) {
    daemon.serve([beforeReply, afterReply](FakePeer& peer) {
      ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
      peer.passEventFd();
      if (beforeReply) beforeReply(peer);
      peer.replyReg(peer.id, 0, 3);
      if (afterReply) afterReply(peer);
      peer.waitClose();
    });
    int32_t memno = -1;
    ASSERT_EQ(client.regRequest("DBGRP", memno, ByteData("abc", 3), &handle), ERR_NONE);
    ASSERT_EQ(memno, 3);
  }
  // Joins through a daemon that answers with script and holds the
  // connection until it closes; expects rc, no descriptor left in the handle
  // and none left open. Returns the member number the join stored.
  int32_t failedJoin(FakeDaemon::Script script, ErrCode rc) {
    // Counted while the fake daemon holds no connection of its own.
    const size_t before = test::openFdCount();
    daemon.serve([script](FakePeer& peer) {
      ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
      script(peer);
      peer.waitClose();
    });
    int32_t memno = 0;
    EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData(), &handle), rc);
    EXPECT_TRUE(holdsNone());
    daemon.waitIdle();
    EXPECT_EQ(test::openFdCount(), before);
    return memno;
  }
  // Gives the handle both ends of a socket pair as its connection.
  void holdConnection(int (&pair)[2]) {
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    state.commandFd = pair[0];
    state.eventFd = pair[1];
  }
  bool holdsNone() const { return state.commandFd == -1 && state.eventFd == -1; }
  bool holdsBoth() const { return fdIsOpen(state.commandFd) && fdIsOpen(state.eventFd); }

  MsgClient& client = MsgClient::instance();
  FakeDaemon daemon;
  GroupState state;
  skgxn_group handle{&state, 0, {}};
  uint32_t event = 99;
  MemberBitmap bitmap{};
};

TEST(MsgClientServer, OnlyAFifoMarkerMeansTheDaemonIsAvailable) {
  ::unlink(kRegisterPipe);
  TraceCapture trace;
  EXPECT_FALSE(MsgClient::serverAvailable());
  EXPECT_TRUE(trace.lines().empty());
  { std::ofstream(kRegisterPipe) << "x"; }
  EXPECT_FALSE(MsgClient::serverAvailable());
  ::unlink(kRegisterPipe);
}

TEST(MsgClientServer, ConnectWithoutDaemonOrWithAnOpenDescriptorFails) {
  ::unlink(kRegisterSocket);
  TraceCapture trace;
  int cmd = -1;
  EXPECT_EQ(MsgClient::instance().connectMsg(cmd), ERR_PIPE);
  EXPECT_EQ(cmd, -1);
  EXPECT_EQ(trace.lines().size(), 1u);
  EXPECT_EQ(trace
                .startingWith("MsgClient::connectMsg:ERROR opening skgxn pipe file "
                              "/var/run/.skgxn_registration")
                .size(),
            1u);
  cmd = 42;
  EXPECT_EQ(MsgClient::instance().connectMsg(cmd), ERR_IN_USE);
  EXPECT_EQ(cmd, 42);
}

TEST_F(MsgClientTest, ConnectRefusedByPermissionsIsPermissionError) {
  ASSERT_EQ(::chmod(kRegisterSocket, 0600), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // Root passes every permission check; an ordinary user does not.
    if (::setresuid(65534, 65534, 65534) != 0) _exit(99);
    int cmd = -1;
    const ErrCode rc = MsgClient::instance().connectMsg(cmd);
    _exit(rc == ERR_PERM && cmd == -1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A signal lands in each of the waits for the daemon; none loses its answer.
TEST_F(MsgClientTest, JoinKeepsBothDescriptorsAndLeaveClosesThemThroughSignals) {
  test::PollInterrupter interrupter(::gettid());
  std::tuple<std::string, int32_t, size_t> asked;
  daemon.serve([&](FakePeer& peer) {
    ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
    asked = {peer.name, peer.memno, peer.data.size()};
    ASSERT_TRUE(interrupter.interrupt());  // the wait for the event descriptor
    peer.passEventFd();
    ASSERT_TRUE(interrupter.interrupt());  // the wait for the join's answer
    peer.replyReg(peer.id, 0, 5);
    ASSERT_EQ(peer.readRequest(), MSG_DRG_REQ);
    ASSERT_TRUE(interrupter.interrupt());
    peer.replyDrg(peer.id, 0);
    peer.waitClose();
  });
  int32_t memno = 7;
  EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData("0123456789", 10), &handle), ERR_NONE);
  EXPECT_EQ(memno, 5);
  EXPECT_TRUE(holdsBoth());
  const int cmd = state.commandFd;
  const int evt = state.eventFd;
  EXPECT_EQ(client.drgRequest(&handle), ERR_NONE);
  EXPECT_TRUE(holdsNone());
  EXPECT_FALSE(fdIsOpen(cmd) || fdIsOpen(evt));
  interrupter.stop();
  daemon.waitIdle();
  EXPECT_EQ(asked, std::make_tuple(std::string("DBGRP"), 7, size_t{10}));
}

TEST_F(MsgClientTest, LeaveRefusedByTheDaemonIsAFailureAndClosesBoth) {
  daemon.serve([](FakePeer& peer) {
    ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
    peer.passEventFd();
    peer.replyReg(peer.id, 0, 2);
    ASSERT_EQ(peer.readRequest(), MSG_DRG_REQ);
    peer.replyDrg(peer.id, ERR_BAD_STATE);
    peer.waitClose();
  });
  int32_t memno = -1;
  ASSERT_EQ(client.regRequest("DBGRP", memno, ByteData(), &handle), ERR_NONE);
  EXPECT_EQ(client.drgRequest(&handle), ERR_BAD_STATE);
  EXPECT_TRUE(holdsNone());
  daemon.waitIdle();
}

TEST_F(MsgClientTest, RefusedJoinReturnsStatusAndNumberAndClosesBoth) {
  TraceCapture trace;
  EXPECT_EQ(failedJoin(
                [](FakePeer& peer) {
                  peer.passEventFd();
                  peer.replyReg(peer.id, ERR_EXIST, 9);
                },
                ERR_EXIST),
            9);
  EXPECT_EQ(trace.startingWith("MsgClient::regRequest"),
            (Lines{"MsgClient::regRequest:ENTER", "MsgClient::regRequest:ERROR Existence Error",
                   "MsgClient::regRequest: EXIT"}));
}

TEST_F(MsgClientTest, BrokenJoinExchangeLeavesNoDescriptor) {
  client.setEventFdWaitForTest(50);
  TraceCapture trace;
  failedJoin([](FakePeer&) {}, ERR_POLL);
  EXPECT_EQ(trace.count("MsgClient::getEvtFd:ERROR Timed out reading event fd from server!"), 1u);
  failedJoin([](FakePeer& peer) { peer.replyReg(peer.id, 0, 1); }, ERR_POLL);
  failedJoin(
      [](FakePeer& peer) {
        peer.passEventFd();
        peer.replyReg(peer.id + 1, 0, 1);
      },
      ERR_READ);
}

TEST_F(MsgClientTest, EventsAreTakenOneAtATimeAndBadOnesKeepTheConnection) {
  join([](FakePeer& peer) {
    peer.sendEvent(skgxngeRCFG, membersOf({0, 5}), 1);
    peer.sendEvent(skgxngeSUS, membersOf({4}), 2, true);
    peer.sendEvent(skgxngeRCFG, membersOf({1, 2}), 4);
  });
  ASSERT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_NONE);
  EXPECT_EQ(std::make_tuple(event, bitmap, state.eventSeq),
            std::make_tuple(uint32_t{skgxngeRCFG}, membersOf({0, 5}), 1u));
  EXPECT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_CHECKSUM);
  EXPECT_EQ(bitmap, MemberBitmap{});
  bitmap.fill(0xff);
  EXPECT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_BAD_SEQ);
  EXPECT_EQ(std::make_tuple(bitmap, state.eventSeq), std::make_tuple(MemberBitmap{}, 4u));
  bitmap.fill(0xff);
  ASSERT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_NONE);
  EXPECT_EQ(std::make_tuple(event, bitmap, state.eventSeq),
            std::make_tuple(uint32_t{skgxngeNUL}, MemberBitmap{}, 4u));
  EXPECT_TRUE(holdsBoth());
}

TEST_F(MsgClientTest, ClosedEventStreamIsAbortAndClosesBoth) {
  join([](FakePeer& peer) { peer.closeEvents(); });
  const int evt = state.eventFd;
  EXPECT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_COMM);
  EXPECT_EQ(event, uint32_t{skgxngeABT});
  EXPECT_TRUE(holdsNone());
  EXPECT_FALSE(fdIsOpen(evt));
}

TEST_F(MsgClientTest, PrivateDataCarriesTheSequenceAndKeepsTheConnection) {
  std::tuple<uint32_t, int32_t> asked;
  join([](FakePeer& peer) { peer.sendEvent(skgxngeRCFG, membersOf({3}), 1); },
       [&](FakePeer& peer) {
         ASSERT_EQ(peer.readRequest(), MSG_PRDATA_REQ);
         asked = {peer.seq, peer.memno};
         peer.replyPrdata(peer.id, 0, ByteData("forty bytes of private data, exactly!!!!", 40));
         ASSERT_EQ(peer.readRequest(), MSG_PRDATA_REQ);
         peer.replyPrdata(peer.id, ERR_EXIST, ByteData());
       });
  ASSERT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_NONE);
  ByteData data;
  ASSERT_EQ(client.prdataRequest(&handle, 127, data), ERR_NONE);
  EXPECT_EQ(data.size(), 40u);
  EXPECT_EQ(client.prdataRequest(&handle, 126, data), ERR_EXIST);
  EXPECT_EQ(data.size(), 40u) << "data is replaced only on success";
  EXPECT_TRUE(holdsBoth());
  closeFd(state.commandFd);
  daemon.waitIdle();
  EXPECT_EQ(asked, std::make_tuple(1u, 127));
}

TEST_F(MsgClientTest, AnswerLeftFromAnEarlierRequestIsNotTakenForTheNext) {
  join(nullptr, [](FakePeer& peer) {
    peer.replyPrdata(peer.id, 0, ByteData("old", 3));
    ASSERT_EQ(peer.readRequest(), MSG_PRDATA_REQ);
    peer.replyPrdata(peer.id, 0, ByteData("new!", 4));
  });
  pollfd queued{state.commandFd, POLLIN, 0};
  ASSERT_EQ(::poll(&queued, 1, -1), 1);
  ByteData data;
  EXPECT_EQ(client.prdataRequest(&handle, 1, data), ERR_NONE);
  EXPECT_EQ(data.size(), 4u);
}

TEST_F(MsgClientTest, RequestsOnAGroupNotJoinedOrWithoutHandleAreRefused) {
  TraceCapture trace;
  ByteData data;
  EXPECT_EQ(client.drgRequest(&handle), ERR_BAD_STATE);
  EXPECT_EQ(client.prdataRequest(&handle, 1, data), ERR_BAD_STATE);
  EXPECT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_BAD_STATE);
  EXPECT_EQ(event, uint32_t{skgxngeABT});
  for (const std::string request : {"drgRequest", "prdataRequest", "pstatRequest"}) {
    EXPECT_EQ(trace.startingWith("MsgClient::" + request),
              (Lines{"MsgClient::" + request + ":ENTER",
                     "MsgClient::" + request + ":ERROR not connected"}));
  }
  int32_t memno = 0;
  EXPECT_EQ(client.regRequest("G", memno, data, nullptr), ERR_INVALID);
  EXPECT_EQ(client.drgRequest(nullptr), ERR_INVALID);
  EXPECT_EQ(client.prdataRequest(nullptr, 0, data), ERR_INVALID);
  EXPECT_EQ(client.pstatRequest(nullptr, event, bitmap), ERR_INVALID);
  EXPECT_EQ(client.qgrpRequest("G", nullptr, bitmap), ERR_INVALID);
}

TEST_F(MsgClientTest, HandleWithAConnectionLosesItToAJoinButNotToAQuery) {
  int pair[2];
  holdConnection(pair);
  bitmap.fill(0xff);
  EXPECT_EQ(client.qgrpRequest("DBGRP", &handle, bitmap), ERR_IN_USE);
  EXPECT_EQ(bitmap, MemberBitmap{});
  EXPECT_EQ(std::make_tuple(state.commandFd, state.eventFd), std::make_tuple(pair[0], pair[1]));
  EXPECT_TRUE(holdsBoth());
  int32_t memno = 0;
  EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData(), &handle), ERR_IN_USE);
  EXPECT_TRUE(holdsNone());
  EXPECT_FALSE(fdIsOpen(pair[0]) || fdIsOpen(pair[1]));
}

TEST_F(MsgClientTest, QueryOnFreshHandleLeavesNoDescriptor) {
  std::string asked;
  // Counted while the fake daemon holds no connection of its own.
  const size_t before = test::openFdCount();
  daemon.serve([&](FakePeer& peer) {
    ASSERT_EQ(peer.readRequest(), MSG_QGRP_REQ);
    asked = peer.name;
    peer.replyQgrp(peer.id, membersOf({1, 64}));
    peer.waitClose();
  });
  ASSERT_EQ(client.qgrpRequest("DBGRP", &handle, bitmap), ERR_NONE);
  EXPECT_EQ(bitmap, membersOf({1, 64}));
  daemon.waitIdle();
  EXPECT_EQ(test::openFdCount(), before);
  EXPECT_TRUE(holdsNone());
  EXPECT_EQ(asked, "DBGRP");
}

}  // namespace
}  // namespace skgxn
