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
#include <sys/wait.h>
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

// The daemon's end of one connection, for what velkd cannot be made to do:
// withhold the event descriptor, answer with another id, queue a stale
// answer. It provides the registration marker and socket, and a thread that
// accepts one connection, runs the case's script on it and waits for the
// client to hang up.
class FakeDaemon {
 public:
  using Script = std::function<void(FakeDaemon&)>;

  FakeDaemon() {
    ::unlink(kRegisterPipe);
    ::unlink(kRegisterSocket);
    EXPECT_EQ(::mkfifo(kRegisterPipe, 0666), 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kRegisterSocket, sizeof addr.sun_path - 1);
    EXPECT_EQ(::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listenFd_, 4), 0);
  }
  ~FakeDaemon() {
    finish();
    ::close(listenFd_);
    ::unlink(kRegisterSocket);
    ::unlink(kRegisterPipe);
  }

  void serve(Script script) {
    finish();
    server_ = std::thread([this, script] {
      fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      script(*this);
      while (proto.readMsg(fd) == ERR_NONE) {
      }
      ::close(std::exchange(events, -1));
      ::close(fd);
    });
  }
  // Waits until the script has run and the client has hung up.
  void finish() {
    if (server_.joinable()) server_.join();
  }

  // Waits for the next request and returns its type, keeping its id and,
  // for a data request, the member number and sequence asked for.
  uint32_t readRequest() {
    uint32_t type = 0;
    std::string name;
    ByteData data;
    EXPECT_EQ(proto.readMsg(fd), ERR_NONE);
    EXPECT_EQ(peekMsgType(proto, type), ERR_NONE);
    const ErrCode rc = type == MSG_REG_REQ   ? parseRegReq(proto, id, name, memno, data)
                       : type == MSG_DRG_REQ ? parseDrgReq(proto, id)
                                             : parsePrdataReq(proto, id, memno, seq);
    EXPECT_EQ(rc, ERR_NONE) << "request of type " << type;
    return type;
  }
  // Fails the test when a reply or an event did not go out whole.
  static void sent(ErrCode rc) { EXPECT_EQ(rc, ERR_NONE) << "fake daemon: not sent"; }
  // Passes one end of a new event pair to the client and keeps the other.
  void passEventFd() {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    EXPECT_EQ(sendFd(fd, pair[1]), 0);
    ::close(pair[1]);
    events = pair[0];
  }

  int fd = -1;
  int events = -1;
  uint32_t id = 0;
  int32_t memno = 0;
  uint32_t seq = 0;
  uint8_t buf[kMsgBufferBytes];
  MsgProto proto{buf, sizeof buf};

 private:
  int listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  std::thread server_;
};

class MsgClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    interrupting = false;
    (void)client.disconnect(link.commandFd, link.eventFd);
  }
  // Serves one join that runs script after reading the request.
  void serveJoin(FakeDaemon::Script script) {
    daemon.serve([script](FakeDaemon& d) {
      ASSERT_EQ(d.readRequest(), MSG_REG_REQ);
      script(d);
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
  serveJoin([tid = gettid()](FakeDaemon& d) {
    interruptPoll(tid);  // the wait for the event descriptor
    d.passEventFd();
    interruptPoll(tid);  // the wait for the join's answer
    d.sent(sendRegResp(d.proto, d.fd, d.id, 0, 5));
    ASSERT_EQ(d.readRequest(), MSG_DRG_REQ);
    interruptPoll(tid);
    d.sent(sendDrgResp(d.proto, d.fd, d.id, ERR_BAD_STATE));
  });
  EXPECT_EQ(client.regRequest("DBGRP", memno, ByteData(), link), ERR_NONE);
  EXPECT_EQ(memno, 5);
  EXPECT_TRUE(holdsBoth());
  const MsgLink joined = link;
  EXPECT_EQ(client.drgRequest(link), ERR_BAD_STATE);
  EXPECT_TRUE(holdsNone());
  EXPECT_FALSE(fdIsOpen(joined.commandFd) || fdIsOpen(joined.eventFd));
}

// The daemon withholds the event descriptor, or answers another request.
TEST_F(MsgClientTest, FailedJoinLeavesNoDescriptor) {
  client.setEventFdWaitForTest(50);
  const std::pair<FakeDaemon::Script, ErrCode> cases[] = {
      {[](FakeDaemon&) {}, ERR_POLL},
      {[](FakeDaemon& d) { d.sent(sendRegResp(d.proto, d.fd, d.id, 0, 1)); }, ERR_POLL},
      {[](FakeDaemon& d) {
         d.passEventFd();
         d.sent(sendRegResp(d.proto, d.fd, d.id + 1, 0, 1));
       },
       ERR_READ},
  };
  for (const auto& [script, rc] : cases) {
    // Counted while the fake daemon holds no connection of its own.
    const size_t before = test::openFdCount();
    serveJoin(script);
    ASSERT_EQ(client.regRequest("DBGRP", memno = 0, ByteData(), link), rc);
    EXPECT_TRUE(holdsNone());
    daemon.finish();
    EXPECT_EQ(test::openFdCount(), before);
  }
  client.setEventFdWaitForTest(kEventFdWaitMs);
}

// A lost stream is the velkd tier's (the daemon killed); a damaged event,
// which velkd never sends, keeps the connection.
TEST_F(MsgClientTest, DamagedEventKeepsTheConnection) {
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
}

// The daemon writes on a member's command connection only to answer, so an
// answer queued before a request belongs to an earlier one.
TEST_F(MsgClientTest, PrivateDataSkipsAStaleAnswerAndCarriesTheSequence) {
  std::tuple<uint32_t, int32_t> asked;
  serveJoin([&](FakeDaemon& d) {
    d.passEventFd();
    d.sent(sendEvent(d.proto, d.events, kEventReconfig, MemberBitmap{}, 6));
    d.sent(sendRegResp(d.proto, d.fd, d.id, 0, 3));
    d.sent(sendPrdataResp(d.proto, d.fd, d.id, 0, ByteData("old", 3)));
    ASSERT_EQ(d.readRequest(), MSG_PRDATA_REQ);
    asked = {d.seq, d.memno};
    d.sent(sendPrdataResp(d.proto, d.fd, d.id, 0, ByteData("new!", 4)));
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
  daemon.finish();
  EXPECT_EQ(asked, std::make_tuple(6u, 127));
}

}  // namespace
}  // namespace skgxn
