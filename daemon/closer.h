// Closes client sockets on a thread of its own, for kernels that cannot make
// a socket refuse passed descriptors. Not used where they can: velkd's loop
// then closes every descriptor itself.
#ifndef DAEMON_CLOSER_H_
#define DAEMON_CLOSER_H_

#include <cstddef>
#include <memory>

#include "msg/unique_fd.h"

namespace skgxn {

// A client can queue descriptors of its own in a socket velkd reads, and the
// close that releases the last reference to one of them runs that
// descriptor's own close: a TCP socket with SO_LINGER and unsent data makes
// it wait for the linger time. The closer takes that wait off the loop.
class Closer {
 public:
  // Starts the thread.
  Closer();
  // Leaves the thread to finish the queue on its own: a close it is waiting
  // in must not hold up the daemon's exit, which ends it anyway.
  ~Closer();
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;

  // Queues fd to be closed on the thread; takes ownership.
  void close(UniqueFd fd);
  // Descriptors queued or being closed: they still count against the
  // process's descriptor limit.
  size_t pending() const;

 private:
  struct Queue;
  std::shared_ptr<Queue> queue_;
};

}  // namespace skgxn

#endif  // DAEMON_CLOSER_H_
