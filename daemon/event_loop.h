// What velkd's event loop offers the code it runs: one-shot timers on the
// monotonic clock and descriptors watched with a callback. An engine that
// talks to the network uses it for its own descriptors and retry delays.
#ifndef DAEMON_EVENT_LOOP_H_
#define DAEMON_EVENT_LOOP_H_

#include <cstdint>
#include <functional>

#include "daemon/timers.h"
#include "diag/err_code.h"

namespace skgxn {

class EventLoop {
 public:
  // Runs fn once from the loop, no sooner than ms milliseconds from now.
  virtual TimerId after(int64_t ms, std::function<void()> fn) = 0;
  // Forgets a timer that has not run; one that ran or was cancelled is ignored.
  virtual void cancel(TimerId id) = 0;
  // Calls fn with the ready events (EPOLLIN, EPOLLOUT, EPOLLHUP, ...) each
  // time fd is ready for events. The caller keeps fd open until it unwatches
  // it. ERR_CREATE when the loop cannot watch it.
  [[nodiscard]] virtual ErrCode watchFd(int fd, uint32_t events,
                                        std::function<void(uint32_t)> fn) = 0;
  // Stops watching fd; fn is not called for it again, not even for events
  // already collected.
  virtual void unwatchFd(int fd) = 0;

 protected:
  ~EventLoop() = default;
};

}  // namespace skgxn

#endif  // DAEMON_EVENT_LOOP_H_
