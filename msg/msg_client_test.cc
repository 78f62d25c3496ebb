// MsgClient against the scripted fake daemon: the join exchange and its
// failures, the event stream, the descriptor outcome of every request, and
// the group query that must not touch a handle's own connection.
#include "msg/msg_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "diag/diag_state.h"
#include "diag/trace.h"
#include "group/diag_test_support.h"
#include "group/group_state.h"
#include "msg/test_support.h"
#include "msg/unique_fd.h"
#include "tests/fake_daemon.h"

namespace skgxn {
namespace {

using test::FakeDaemon;
using test::FakePeer;
using testsupport::TraceCapture;

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

  // Joins through a daemon that passes the event pair, queues events (if
  // any; before the answer, so they are there when the join returns) and
  // grants member 3, then serves afterReply and holds the connection until
  // it closes.
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

  MsgClient& client = MsgClient::instance();
  FakeDaemon daemon;
  GroupState state;
  skgxn_group handle{&state, 0, {}};
};

TEST(MsgClientServer, MissingMarkerIsUnavailableWithoutReport) {
  ::unlink(kRegisterPipe);
  TraceCapture trace;
  EXPECT_FALSE(MsgClient::serverAvailable());
  EXPECT_TRUE(trace.lines().empty());
}

TEST(MsgClientServer, MarkerThatIsNotAFifoIsUnavailable) {
  ::unlink(kRegisterPipe);
  { std::ofstream(kRegisterPipe) << "x"; }
  EXPECT_FALSE(MsgClient::serverAvailable());
  ::unlink(kRegisterPipe);
}

TEST(MsgClientServer, ConnectWithoutDaemonIsPipeErrorWithReport) {
  ::unlink(kRegisterSocket);
  TraceCapture trace;
  int cmd = -1;
  EXPECT_EQ(MsgClient::instance().connectMsg(cmd), ERR_PIPE);
  EXPECT_EQ(cmd, -1);
  ASSERT_EQ(trace.lines().size(), 1u);
  EXPECT_EQ(
      trace.lines()[0].rfind(
          "MsgClient::connectMsg:ERROR opening skgxn pipe file /var/run/.skgxn_registration", 0),
      0u);
}

TEST_F(MsgClientTest, ConnectRefusesAnOpenDescriptorAndLeavesIt) {
  int cmd = 42;
  TraceCapture trace;
  EXPECT_EQ(client.connectMsg(cmd), ERR_IN_USE);
  EXPECT_EQ(cmd, 42);
  EXPECT_EQ(trace.count("MsgClient::connectMsg:ERROR msg fd already set!"), 1u);
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

TEST_F(MsgClientTest, JoinSendsRequestAndKeepsBothDescriptors) {
  std::string name;
  int32_t asked = 0;
  size_t dataSize = 0;
  daemon.serve([&](FakePeer& peer) {
    ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
    name = peer.name;
    asked = peer.memno;
    dataSize = peer.data.size();
    peer.passEventFd();
    peer.replyReg(peer.id, 0, 5);
    ASSERT_EQ(peer.readRequest(), MSG_DRG_REQ);
    peer.replyDrg(peer.id, 0);
    peer.waitClose();
  });
  int32_t memno = 7;
  ASSERT_EQ(client.regRequest("DBGRP", memno, ByteData("0123456789", 10), &handle), ERR_NONE);
  EXPECT_EQ(memno, 5);
  EXPECT_TRUE(test::fdIsOpen(state.commandFd));
  EXPECT_TRUE(test::fdIsOpen(state.eventFd));

  const int cmd = state.commandFd;
  const int evt = state.eventFd;
  EXPECT_EQ(client.drgRequest(&handle), ERR_NONE);
  EXPECT_EQ(state.commandFd, -1);
  EXPECT_EQ(state.eventFd, -1);
  EXPECT_FALSE(test::fdIsOpen(cmd));
  EXPECT_FALSE(test::fdIsOpen(evt));
  daemon.waitIdle();
  EXPECT_EQ(name, "DBGRP");
  EXPECT_EQ(asked, 7);
  EXPECT_EQ(dataSize, 10u);
}

TEST_F(MsgClientTest, RefusedJoinReturnsStatusAndNumberAndClosesBoth) {
  // Counted while the fake daemon holds no connection of its own.
  const size_t before = test::openFdCount();
  daemon.serve([](FakePeer& peer) {
    ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
    peer.passEventFd();
    peer.replyReg(peer.id, ERR_EXIST, 9);
    peer.waitClose();
  });
  TraceCapture trace;
  int32_t memno = 9;
  EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData(), &handle), ERR_EXIST);
  EXPECT_EQ(memno, 9);
  EXPECT_EQ(state.commandFd, -1);
  EXPECT_EQ(state.eventFd, -1);
  daemon.waitIdle();
  EXPECT_EQ(test::openFdCount(), before);
  EXPECT_EQ(trace.count("MsgClient::regRequest:ERROR Existence Error"), 1u);
  EXPECT_EQ(trace.count("MsgClient::regRequest: EXIT"), 1u);
}

TEST_F(MsgClientTest, NoDescriptorWithinTheWaitIsPollErrorWithNoneKept) {
  client.setEventFdWaitForTest(50);
  // Counted while the fake daemon holds no connection of its own.
  const size_t before = test::openFdCount();
  daemon.serve([](FakePeer& peer) {
    ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
    peer.waitClose();
  });
  TraceCapture trace;
  int32_t memno = 0;
  EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData(), &handle), ERR_POLL);
  EXPECT_EQ(state.commandFd, -1);
  EXPECT_EQ(state.eventFd, -1);
  daemon.waitIdle();
  EXPECT_EQ(test::openFdCount(), before);
  EXPECT_EQ(trace.count("MsgClient::getEvtFd:ERROR Timed out reading event fd from server!"), 1u);
}

TEST_F(MsgClientTest, AnswerBeforeDescriptorFailsTheJoin) {
  daemon.serve([](FakePeer& peer) {
    ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
    peer.replyReg(peer.id, 0, 1);
    peer.waitClose();
  });
  int32_t memno = 0;
  EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData(), &handle), ERR_POLL);
  EXPECT_EQ(state.commandFd, -1);
  EXPECT_EQ(state.eventFd, -1);
}

TEST_F(MsgClientTest, ResponseWithAnotherIdIsReadError) {
  daemon.serve([](FakePeer& peer) {
    ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
    peer.passEventFd();
    peer.replyReg(peer.id + 1, 0, 1);
    peer.waitClose();
  });
  int32_t memno = 0;
  EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData(), &handle), ERR_READ);
  EXPECT_EQ(state.commandFd, -1);
  EXPECT_EQ(state.eventFd, -1);
}

TEST_F(MsgClientTest, JoinThroughHandleWithConnectionLeavesItWithNone) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
  state.commandFd = pair[0];
  state.eventFd = pair[1];
  int32_t memno = 0;
  EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData(), &handle), ERR_IN_USE);
  EXPECT_EQ(state.commandFd, -1);
  EXPECT_EQ(state.eventFd, -1);
  EXPECT_FALSE(test::fdIsOpen(pair[0]));
  EXPECT_FALSE(test::fdIsOpen(pair[1]));
}

TEST_F(MsgClientTest, EventsAreTakenOneAtATimeAndNoneIsNoEvent) {
  join([](FakePeer& peer) { peer.sendEvent(skgxngeRCFG, membersOf({0, 5}), 1); });
  uint32_t event = 99;
  MemberBitmap bitmap{};
  ASSERT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_NONE);
  EXPECT_EQ(event, static_cast<uint32_t>(skgxngeRCFG));
  EXPECT_EQ(bitmap, membersOf({0, 5}));
  EXPECT_EQ(state.eventSeq, 1u);

  bitmap.fill(0xff);
  ASSERT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_NONE);
  EXPECT_EQ(event, static_cast<uint32_t>(skgxngeNUL));
  EXPECT_EQ(bitmap, MemberBitmap{});
  EXPECT_EQ(state.eventSeq, 1u);
}

TEST_F(MsgClientTest, SequenceGapIsBadSequenceAndKeepsTheConnection) {
  join([](FakePeer& peer) {
    peer.sendEvent(skgxngeRCFG, membersOf({1}), 1);
    peer.sendEvent(skgxngeRCFG, membersOf({1, 2}), 3);
  });
  uint32_t event = 0;
  MemberBitmap bitmap{};
  ASSERT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_NONE);
  EXPECT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_BAD_SEQ);
  EXPECT_EQ(bitmap, MemberBitmap{});
  EXPECT_EQ(state.eventSeq, 3u);
  EXPECT_NE(state.commandFd, -1);
  EXPECT_NE(state.eventFd, -1);
}

TEST_F(MsgClientTest, ChecksumErrorKeepsTheConnection) {
  join([](FakePeer& peer) { peer.sendEvent(skgxngeSUS, membersOf({4}), 1, true); });
  uint32_t event = 0;
  MemberBitmap bitmap{};
  EXPECT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_CHECKSUM);
  EXPECT_EQ(bitmap, MemberBitmap{});
  EXPECT_NE(state.commandFd, -1);
  EXPECT_NE(state.eventFd, -1);
}

TEST_F(MsgClientTest, ClosedEventStreamIsAbortAndClosesBoth) {
  join([](FakePeer& peer) { peer.closeEvents(); });
  const int evt = state.eventFd;
  uint32_t event = 0;
  MemberBitmap bitmap{};
  EXPECT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_COMM);
  EXPECT_EQ(event, static_cast<uint32_t>(skgxngeABT));
  EXPECT_EQ(state.commandFd, -1);
  EXPECT_EQ(state.eventFd, -1);
  EXPECT_FALSE(test::fdIsOpen(evt));
}

TEST_F(MsgClientTest, PrivateDataCarriesTheSequenceAndKeepsTheConnection) {
  uint32_t seenSeq = 0;
  int32_t seenMemno = -1;
  join([](FakePeer& peer) { peer.sendEvent(skgxngeRCFG, membersOf({3}), 1); },
       [&](FakePeer& peer) {
         ASSERT_EQ(peer.readRequest(), MSG_PRDATA_REQ);
         seenSeq = peer.seq;
         seenMemno = peer.memno;
         peer.replyPrdata(peer.id, 0, ByteData("forty bytes of private data, exactly!!!!", 40));
         ASSERT_EQ(peer.readRequest(), MSG_PRDATA_REQ);
         peer.replyPrdata(peer.id, ERR_EXIST, ByteData());
       });
  uint32_t event = 0;
  MemberBitmap bitmap{};
  ASSERT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_NONE);
  ByteData data;
  ASSERT_EQ(client.prdataRequest(&handle, 127, data), ERR_NONE);
  EXPECT_EQ(data.size(), 40u);
  EXPECT_EQ(client.prdataRequest(&handle, 126, data), ERR_EXIST);
  EXPECT_EQ(data.size(), 40u) << "data is replaced only on success";
  EXPECT_NE(state.commandFd, -1);
  EXPECT_NE(state.eventFd, -1);
  closeFd(state.commandFd);
  daemon.waitIdle();
  EXPECT_EQ(seenSeq, 1u);
  EXPECT_EQ(seenMemno, 127);
}

TEST_F(MsgClientTest, RequestsOnAGroupNotJoinedAreBadStateWithoutExitLine) {
  TraceCapture trace;
  uint32_t event = 0;
  MemberBitmap bitmap{};
  ByteData data;
  EXPECT_EQ(client.drgRequest(&handle), ERR_BAD_STATE);
  EXPECT_EQ(client.prdataRequest(&handle, 1, data), ERR_BAD_STATE);
  EXPECT_EQ(client.pstatRequest(&handle, event, bitmap), ERR_BAD_STATE);
  EXPECT_EQ(event, static_cast<uint32_t>(skgxngeABT));
  EXPECT_EQ(trace.count("MsgClient::drgRequest:ERROR not connected"), 1u);
  EXPECT_EQ(trace.count("MsgClient::prdataRequest:ERROR not connected"), 1u);
  EXPECT_EQ(trace.count("MsgClient::pstatRequest:ERROR not connected"), 1u);
  EXPECT_TRUE(trace.startingWith("MsgClient::drgRequest: EXIT").empty());
  EXPECT_TRUE(trace.startingWith("MsgClient::pstatRequest: EXIT").empty());
}

TEST_F(MsgClientTest, NullHandleIsInvalidInputForEveryRequest) {
  TraceCapture trace;
  int32_t memno = 0;
  uint32_t event = 0;
  MemberBitmap bitmap{};
  ByteData data;
  EXPECT_EQ(client.regRequest("G", memno, data, nullptr), ERR_INVALID);
  EXPECT_EQ(client.drgRequest(nullptr), ERR_INVALID);
  EXPECT_EQ(client.prdataRequest(nullptr, 0, data), ERR_INVALID);
  EXPECT_EQ(client.pstatRequest(nullptr, event, bitmap), ERR_INVALID);
  EXPECT_EQ(client.qgrpRequest("G", nullptr, bitmap), ERR_INVALID);
  EXPECT_EQ(trace.count("MsgClient::regRequest:ERROR NULL grpHandlerPtr"), 1u);
  EXPECT_EQ(trace.count("MsgClient::pstatRequest:ERROR NULL grpHndlrPtr"), 1u);
  EXPECT_EQ(trace.count("MsgClient::qgrpRequest:ERROR NULL grpHandlerPtr"), 1u);
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
  MemberBitmap bitmap{};
  ASSERT_EQ(client.qgrpRequest("DBGRP", &handle, bitmap), ERR_NONE);
  EXPECT_EQ(bitmap, membersOf({1, 64}));
  daemon.waitIdle();
  EXPECT_EQ(test::openFdCount(), before);
  EXPECT_EQ(state.commandFd, -1);
  EXPECT_EQ(asked, "DBGRP");
}

TEST_F(MsgClientTest, QueryThroughHandleWithConnectionIsInUseAndClosesNothing) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
  state.commandFd = pair[0];
  state.eventFd = pair[1];
  MemberBitmap bitmap{};
  bitmap.fill(0xff);
  EXPECT_EQ(client.qgrpRequest("DBGRP", &handle, bitmap), ERR_IN_USE);
  EXPECT_EQ(bitmap, MemberBitmap{});
  EXPECT_EQ(state.commandFd, pair[0]);
  EXPECT_EQ(state.eventFd, pair[1]);
  EXPECT_TRUE(test::fdIsOpen(pair[0]));
  EXPECT_TRUE(test::fdIsOpen(pair[1]));
}

}  // namespace
}  // namespace skgxn
