// MsgClient against a scripted fake daemon: connecting, the failures of
// each request and what they leave of the link, signals landing in its
// waits, and answers left over from an earlier request.
#include "msg/msg_client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <tuple>
#include <utility>

#include "diag/test_support.h"
#include "msg/msg_catalogue.h"
#include "msg/stream_io.h"

namespace skgxn {
namespace {

// What the library's load initialiser does, before the first test.
const auto* const kDiagnostics = ::testing::AddGlobalTestEnvironment(new test::DiagEnvironment);

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

// A thread plays the daemon's end of one join, for what velkd cannot be made
// to do: withhold the event descriptor, answer another id, queue a stale answer.
class MsgClientTest : public ::testing::Test {
 protected:
  MsgClientTest() {
    ::unlink(kRegisterSocket);
    sockaddr_un addr{AF_UNIX, {}};
    std::strncpy(addr.sun_path, kRegisterSocket, sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listenFd_, 4), 0);
  }
  void TearDown() override {
    interrupting = false;
    (void)client.disconnect(link.commandFd, link.eventFd);
    finish();
    ::close(listenFd_);
  }
  // Accepts one join, runs script on it, then waits for the client to hang up.
  void serveJoin(std::function<void()> script) {
    server_ = std::thread([this, script] {
      conn = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (readRequest() == MSG_REG_REQ) script();
      while (proto.readMsg(conn) == ERR_NONE) {
      }
      ::close(std::exchange(events, -1));
      ::close(conn);
    });
  }
  void finish() {
    if (server_.joinable()) server_.join();
  }
  // Waits for the next request and returns its type; decoding it is velkd's test.
  uint32_t readRequest() {
    EXPECT_EQ(proto.readMsg(conn), ERR_NONE);
    std::memcpy(&req, buf, sizeof req);
    return req.type;
  }
  // Passes one end of a new event pair to the client and keeps the other.
  void passEventFd() {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    EXPECT_EQ(sendFd(conn, pair[1]), 0);
    ::close(pair[1]);
    events = pair[0];
  }
  bool holdsNone() const { return link.commandFd == -1 && link.eventFd == -1; }
  bool holdsBoth() const { return test::fdIsOpen(link.commandFd) && test::fdIsOpen(link.eventFd); }

  MsgClient& client = MsgClient::instance();
  MsgLink link;
  int32_t memno = 0;
  // The daemon's end, and the first words of the last request.
  int listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  std::thread server_;
  int conn = -1, events = -1;
  struct {
    uint32_t type, id, memno, seq;
  } req{};
  uint8_t buf[kMsgBufferBytes];
  MsgProto proto{buf, sizeof buf};
};

TEST_F(MsgClientTest, ConnectFailsWithoutTheSocketOrItsPermissionOrOnAnOpenDescriptor) {
  EXPECT_EQ(client.connectMsg(link.commandFd = 42), ERR_IN_USE);
  EXPECT_EQ(std::exchange(link.commandFd, -1), 42);
  ASSERT_EQ(::chmod(kRegisterSocket, 0600), 0);
  // Root passes every permission check; an ordinary user does not.
  ASSERT_EQ(::seteuid(65534), 0);
  EXPECT_EQ(client.connectMsg(link.commandFd), ERR_PERM);
  ASSERT_EQ(::seteuid(0), 0);
  ::unlink(kRegisterSocket);
  EXPECT_EQ(client.connectMsg(link.commandFd), ERR_PIPE);
  EXPECT_TRUE(holdsNone());
}

// A signal, its handler installed without SA_RESTART (and left so for the
// binary), lands in each wait for the daemon; none loses its answer. The
// daemon writes on the command connection only to answer, so an answer
// queued before a request is stale. A damaged event, which velkd never
// sends, keeps the connection; a refused leave still closes it.
TEST_F(MsgClientTest, MembershipGoesThroughSignalsStaleAnswersAndADamagedEvent) {
  struct sigaction action {};
  action.sa_handler = [](int) { ++signalsHandled; };
  sigaction(SIGUSR1, &action, nullptr);
  interrupting = true;
  serveJoin([this, tid = gettid()] {
    interruptPoll(tid);  // the wait for the event descriptor
    passEventFd();
    EXPECT_EQ(sendEvent(proto, events, kEventReconfig, MemberBitmap{}, 6), ERR_NONE);
    ASSERT_EQ(buildEvent(proto, kEventReconfig, MemberBitmap{}, 7), ERR_NONE);
    buf[proto.length() - 1] ^= 1;
    EXPECT_EQ(proto.writeMsg(events), ERR_NONE);
    interruptPoll(tid);  // the wait for the join's answer
    EXPECT_EQ(sendRegResp(proto, conn, req.id, 0, 5), ERR_NONE);
    EXPECT_EQ(sendPrdataResp(proto, conn, req.id, 0, ByteData("old", 3)), ERR_NONE);
    ASSERT_EQ(readRequest(), MSG_PRDATA_REQ);
    EXPECT_EQ(std::tie(req.seq, req.memno), std::make_tuple(7u, 127u));
    interruptPoll(tid);
    EXPECT_EQ(sendPrdataResp(proto, conn, req.id, 0, ByteData("new!", 4)), ERR_NONE);
    ASSERT_EQ(readRequest(), MSG_DRG_REQ);
    interruptPoll(tid);
    EXPECT_EQ(sendDrgResp(proto, conn, req.id, ERR_BAD_STATE), ERR_NONE);
  });
  EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData(), link), ERR_NONE);
  EXPECT_EQ(memno, 5);
  uint32_t event = 99;
  MemberBitmap bitmap{};
  EXPECT_EQ(client.pstatRequest(link, event, bitmap), ERR_NONE);
  EXPECT_EQ(client.pstatRequest(link, event, bitmap), ERR_CHECKSUM);
  ASSERT_TRUE(holdsBoth());
  pollfd queued{link.commandFd, POLLIN, 0};
  ASSERT_EQ(::poll(&queued, 1, -1), 1);
  ByteData data;
  EXPECT_EQ(client.prdataRequest(link, 127, data), ERR_NONE);
  EXPECT_EQ(data.size(), 4u);
  const MsgLink joined = link;
  EXPECT_EQ(client.drgRequest(link), ERR_BAD_STATE);
  EXPECT_TRUE(holdsNone());
  EXPECT_FALSE(test::fdIsOpen(joined.commandFd) || test::fdIsOpen(joined.eventFd));
}

// The daemon withholds the event descriptor, or answers another request.
// The link is then refused as not joined.
TEST_F(MsgClientTest, FailedJoinLeavesNoDescriptor) {
  client.setEventFdWaitForTest(50);
  const std::pair<std::function<void()>, ErrCode> cases[] = {
      {[] {}, ERR_POLL},
      {[this] { EXPECT_EQ(sendRegResp(proto, conn, req.id, 0, 1), ERR_NONE); }, ERR_POLL},
      {[this] {
         passEventFd();
         EXPECT_EQ(sendRegResp(proto, conn, req.id + 1, 0, 1), ERR_NONE);
       },
       ERR_READ},
  };
  for (const auto& [script, rc] : cases) {
    // Counted while the fake daemon holds no connection of its own.
    const size_t before = test::openFdCount();
    serveJoin(script);
    ASSERT_EQ(client.regRequest("DBGRP", memno = 0, ByteData(), link), rc);
    ASSERT_TRUE(holdsNone());
    finish();
    EXPECT_EQ(test::openFdCount(), before);
  }
  client.setEventFdWaitForTest(kEventFdWaitMs);
  ByteData data;
  EXPECT_EQ(client.drgRequest(link), ERR_BAD_STATE);
  EXPECT_EQ(client.prdataRequest(link, 1, data), ERR_BAD_STATE);
}

}  // namespace
}  // namespace skgxn
