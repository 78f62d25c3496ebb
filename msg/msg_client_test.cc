// MsgClient against the scripted fake daemon: connecting, the failures of
// each request and what they leave of the link, signals landing in its
// waits, and answers left over from an earlier request.
#include "msg/msg_client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <tuple>

#include "diag/test_support.h"
#include "msg/msg_catalogue.h"
#include "tests/fake_daemon.h"

namespace skgxn {
namespace {

// What the library's load initialiser does, before the first test.
const auto* const kDiagnostics = ::testing::AddGlobalTestEnvironment(new test::DiagEnvironment);

using test::FakeDaemon;
using test::FakePeer;
using test::fdIsOpen;

#ifndef SYS_poll
#define SYS_poll SYS_ppoll
#endif

std::atomic<int> signalsHandled{0};
std::atomic<bool> interrupting{false};

// Signals thread tid with SIGUSR1 once it sleeps in poll(), as a host's
// interval timer lands in a wait for the daemon, and waits for the handler;
// gives up once the test no longer interrupts, so a request that never
// waits cannot hang it. The kernel names the call a thread sleeps in.
void interruptPoll(pid_t tid) {
  for (long call = -1; call != SYS_ppoll && call != SYS_poll;) {
    if (!interrupting) return;
    std::ifstream("/proc/self/task/" + std::to_string(tid) + "/syscall") >> call;
  }
  const int before = signalsHandled;
  syscall(SYS_tgkill, getpid(), tid, SIGUSR1);
  while (signalsHandled == before) sched_yield();
}

class MsgClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    interrupting = false;
    (void)client.disconnect(link.commandFd, link.eventFd);
  }
  // Serves one join that runs script after reading the request.
  void serveJoin(FakeDaemon::Script script) {
    daemon.serve([script](FakePeer& peer) {
      ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
      script(peer);
      peer.waitClose();
    });
  }
  bool holdsNone() const { return link.commandFd == -1 && link.eventFd == -1; }
  bool holdsBoth() const { return fdIsOpen(link.commandFd) && fdIsOpen(link.eventFd); }

  MsgClient& client = MsgClient::instance();
  FakeDaemon daemon;
  MsgLink link;
  int32_t memno = 0;
  uint32_t event = 99;
  MemberBitmap bitmap{};
};

TEST_F(MsgClientTest, ConnectFailsWithoutTheSocketOrItsPermissionOrOnAnOpenDescriptor) {
  EXPECT_EQ(client.connectMsg(link.commandFd = 42), ERR_IN_USE);
  EXPECT_EQ(link.commandFd, 42);
  link.commandFd = -1;
  ASSERT_EQ(::chmod(kRegisterSocket, 0600), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // Root passes every permission check; an ordinary user does not.
    const bool dropped = ::setresuid(65534, 65534, 65534) == 0;
    _exit(dropped && client.connectMsg(link.commandFd) == ERR_PERM && holdsNone() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  ::unlink(kRegisterSocket);
  EXPECT_EQ(client.connectMsg(link.commandFd), ERR_PIPE);
  EXPECT_TRUE(holdsNone());
}

// A signal, its handler installed without SA_RESTART (and left so for the
// binary), lands in each wait for the daemon; none loses its answer. A
// refused leave still closes both descriptors.
TEST_F(MsgClientTest, JoinAndLeaveGoThroughSignals) {
  struct sigaction action {};
  action.sa_handler = [](int) { ++signalsHandled; };
  sigaction(SIGUSR1, &action, nullptr);
  interrupting = true;
  serveJoin([tid = gettid()](FakePeer& peer) {
    interruptPoll(tid);  // the wait for the event descriptor
    peer.passEventFd();
    interruptPoll(tid);  // the wait for the join's answer
    peer.replyReg(peer.id, 0, 5);
    ASSERT_EQ(peer.readRequest(), MSG_DRG_REQ);
    interruptPoll(tid);
    peer.replyDrg(peer.id, ERR_BAD_STATE);
  });
  EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData(), link), ERR_NONE);
  EXPECT_EQ(memno, 5);
  EXPECT_TRUE(holdsBoth());
  const MsgLink joined = link;
  EXPECT_EQ(client.drgRequest(link), ERR_BAD_STATE);
  EXPECT_TRUE(holdsNone());
  EXPECT_FALSE(fdIsOpen(joined.commandFd) || fdIsOpen(joined.eventFd));
}

TEST_F(MsgClientTest, FailedJoinLeavesNoDescriptorAndKeepsTheRefusingNumber) {
  client.setEventFdWaitForTest(50);
  const std::tuple<FakeDaemon::Script, ErrCode, int32_t> cases[] = {
      {[](FakePeer&) {}, ERR_POLL, 0},
      {[](FakePeer& peer) { peer.replyReg(peer.id, 0, 1); }, ERR_POLL, 0},
      {[](FakePeer& peer) { peer.passEventFd(), peer.replyReg(peer.id + 1, 0, 1); }, ERR_READ, 0},
      {[](FakePeer& p) { p.passEventFd(), p.replyReg(p.id, ERR_EXIST, 9); }, ERR_EXIST, 9},
  };
  for (const auto& [script, rc, refusing] : cases) {
    // Counted while the fake daemon holds no connection of its own.
    const size_t before = test::openFdCount();
    serveJoin(script);
    ASSERT_EQ(client.regRequest("DBGRP", memno = 0, ByteData(), link), rc);
    EXPECT_EQ(memno, refusing);
    EXPECT_TRUE(holdsNone());
    daemon.waitIdle();
    EXPECT_EQ(test::openFdCount(), before);
  }
  client.setEventFdWaitForTest(kEventFdWaitMs);
}

TEST_F(MsgClientTest, BadEventsKeepTheConnectionAndALostStreamClosesIt) {
  ByteData data;
  EXPECT_EQ(client.drgRequest(link), ERR_BAD_STATE);
  EXPECT_EQ(client.prdataRequest(link, 1, data), ERR_BAD_STATE);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds), 0);
  link = {::dup(fds[0]), fds[0], 0};
  uint8_t buf[kMsgBufferBytes];
  MsgProto daemonEnd(buf, sizeof buf);
  ASSERT_EQ(buildEvent(daemonEnd, kEventReconfig, bitmap, 3), ERR_NONE);
  buf[daemonEnd.length() - 1] ^= 1;
  ASSERT_EQ(daemonEnd.writeMsg(fds[1]), ERR_NONE);
  EXPECT_EQ(client.pstatRequest(link, event, bitmap), ERR_CHECKSUM);
  EXPECT_TRUE(holdsBoth());
  ::close(fds[1]);
  EXPECT_EQ(client.pstatRequest(link, event, bitmap), ERR_COMM);
  EXPECT_EQ(event, kEventAbort);
  EXPECT_TRUE(holdsNone());
  event = 0;
  EXPECT_EQ(client.pstatRequest(link, event, bitmap), ERR_BAD_STATE);
  EXPECT_EQ(event, kEventAbort);
}

// The daemon writes on a member's command connection only to answer, so an
// answer queued before a request belongs to an earlier one.
TEST_F(MsgClientTest, PrivateDataSkipsAStaleAnswerAndCarriesTheSequence) {
  std::tuple<uint32_t, int32_t> asked;
  serveJoin([&](FakePeer& peer) {
    peer.passEventFd();
    peer.sendEvent(kEventReconfig, MemberBitmap{}, 6);
    peer.replyReg(peer.id, 0, 3);
    peer.replyPrdata(peer.id, 0, ByteData("old", 3));
    ASSERT_EQ(peer.readRequest(), MSG_PRDATA_REQ);
    asked = {peer.seq, peer.memno};
    peer.replyPrdata(peer.id, 0, ByteData("new!", 4));
  });
  ASSERT_EQ(client.regRequest("DBGRP", memno, ByteData(), link), ERR_NONE);
  ASSERT_EQ(client.pstatRequest(link, event, bitmap), ERR_NONE);
  pollfd queued{link.commandFd, POLLIN, 0};
  ASSERT_EQ(::poll(&queued, 1, -1), 1);
  ByteData data;
  EXPECT_EQ(client.prdataRequest(link, 127, data), ERR_NONE);
  EXPECT_EQ(data.size(), 4u);
  EXPECT_TRUE(holdsBoth());
  (void)client.disconnect(link.commandFd, link.eventFd);
  daemon.waitIdle();
  EXPECT_EQ(asked, std::make_tuple(6u, 127));
}

}  // namespace
}  // namespace skgxn
