// Test helpers for the msg tests: a SOCK_SEQPACKET pair standing in for the
// daemon's end and a signal sent into a thread's poll(). The trace capture and
// descriptor counts every folder uses come from diag/test_support.h.
#ifndef MSG_TEST_SUPPORT_H_
#define MSG_TEST_SUPPORT_H_

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "diag/test_support.h"

namespace skgxn::test {

// Both ends of socketpair(AF_UNIX, SOCK_SEQPACKET), closed with the pair.
// near is the end under test (the client), far the daemon's.
struct SeqPacketPair {
  SeqPacketPair();
  ~SeqPacketPair();
  SeqPacketPair(const SeqPacketPair&) = delete;
  SeqPacketPair& operator=(const SeqPacketPair&) = delete;

  void setNearNonBlocking();
  void closeFar();
  // Sends bytes from far as one record.
  void sendFar(const void* data, size_t len);
  // Sends payload from far as one record carrying the descriptors fds.
  void sendFarWithFds(const std::vector<int>& fds, const void* payload, size_t len);

  int nearFd = -1;
  int farFd = -1;
};

// Interrupts one thread of this process with SIGUSR1 while it sleeps in
// poll(), the way a host's interval timer lands in a call that waits for the
// daemon. The handler does nothing and is installed without SA_RESTART, so
// the poll sees EINTR. The previous action comes back on destruction.
class PollInterrupter {
 public:
  explicit PollInterrupter(pid_t tid);
  ~PollInterrupter();
  PollInterrupter(const PollInterrupter&) = delete;
  PollInterrupter& operator=(const PollInterrupter&) = delete;

  // Waits until the thread sleeps in poll(), signals it and waits until the
  // handler has run. False, without a signal, once stop() was called.
  bool interrupt();
  // Ends every wait of interrupt(), for a test that gives up early.
  void stop() { stopped_ = true; }

 private:
  bool sleepsInPoll() const;

  pid_t tid_;
  std::atomic<bool> stopped_{false};
};

}  // namespace skgxn::test

#endif  // MSG_TEST_SUPPORT_H_
