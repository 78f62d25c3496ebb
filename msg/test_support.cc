// Test helpers for the msg tests: socket pairs and signals into a poll().
#include "msg/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>

#include "diag/diag_state.h"

namespace skgxn::test {

namespace {

class DiagnosticsEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { loadDiagnostics(); }
};

const auto* const kDiagnostics = ::testing::AddGlobalTestEnvironment(new DiagnosticsEnvironment);

std::atomic<int> interruptions{0};
struct sigaction previousAction {};

void countInterruption(int) { ++interruptions; }

}  // namespace

SeqPacketPair::SeqPacketPair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
    ADD_FAILURE() << "socketpair: " << std::strerror(errno);
    return;
  }
  nearFd = fds[0];
  farFd = fds[1];
}

SeqPacketPair::~SeqPacketPair() {
  if (nearFd != -1) close(nearFd);
  if (farFd != -1) close(farFd);
}

void SeqPacketPair::setNearNonBlocking() {
  fcntl(nearFd, F_SETFL, fcntl(nearFd, F_GETFL) | O_NONBLOCK);
}

void SeqPacketPair::closeFar() {
  close(farFd);
  farFd = -1;
}

void SeqPacketPair::sendFar(const void* data, size_t len) {
  ASSERT_EQ(send(farFd, data, len, MSG_NOSIGNAL), static_cast<ssize_t>(len))
      << std::strerror(errno);
}

void SeqPacketPair::sendFarWithFds(const std::vector<int>& fds, const void* payload, size_t len) {
  iovec iov{const_cast<void*>(payload), len};
  std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.data();
  msg.msg_controllen = control.size();
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
  std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  ASSERT_EQ(sendmsg(farFd, &msg, MSG_NOSIGNAL), static_cast<ssize_t>(len)) << std::strerror(errno);
}

PollInterrupter::PollInterrupter(pid_t tid) : tid_(tid) {
  struct sigaction action {};
  action.sa_handler = countInterruption;
  sigemptyset(&action.sa_mask);
  EXPECT_EQ(sigaction(SIGUSR1, &action, &previousAction), 0);
}

PollInterrupter::~PollInterrupter() { sigaction(SIGUSR1, &previousAction, nullptr); }

// The kernel names the call a thread sleeps in; a thread that runs, or has
// just been woken, reads as "running".
bool PollInterrupter::sleepsInPoll() const {
  std::ifstream in("/proc/self/task/" + std::to_string(tid_) + "/syscall");
  long number = -1;
  if (!(in >> number)) return false;
#ifdef SYS_poll
  if (number == SYS_poll) return true;
#endif
  return number == SYS_ppoll;
}

bool PollInterrupter::interrupt() {
  while (!sleepsInPoll()) {
    if (stopped_) return false;
    sched_yield();
  }
  const int before = interruptions;
  EXPECT_EQ(syscall(SYS_tgkill, getpid(), tid_, SIGUSR1), 0);
  while (interruptions == before) sched_yield();
  return true;
}

}  // namespace skgxn::test
