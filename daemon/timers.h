// One-shot timers ordered by deadline, for velkd's event loop. Pure: the
// loop reads the clock and passes the time in; this only keeps the order
// and says how long the loop may sleep.
#ifndef DAEMON_TIMERS_H_
#define DAEMON_TIMERS_H_

#include <compare>
#include <cstdint>
#include <functional>
#include <map>

namespace skgxn {

struct TimerId {
  int64_t dueMs = 0;
  uint64_t seq = 0;  // orders timers due at the same moment by creation
  friend auto operator<=>(const TimerId&, const TimerId&) = default;
};

class Timers {
 public:
  // Runs fn at the first runDue at or after dueMs.
  TimerId add(int64_t dueMs, std::function<void()> fn);
  // Forgets a timer; false when it already ran or was cancelled.
  bool cancel(TimerId id);
  // Milliseconds from nowMs until the earliest timer is due, 0 when one is
  // due already, -1 when none is waiting: the epoll_wait timeout.
  int waitMs(int64_t nowMs) const;
  // Runs, in deadline order, every timer due at nowMs. A timer one of them
  // adds waits for the next call, even when it is due already, so a callback
  // that re-arms itself cannot hold the loop.
  void runDue(int64_t nowMs);

 private:
  uint64_t nextSeq_ = 0;
  std::map<TimerId, std::function<void()>> waiting_;
};

}  // namespace skgxn

#endif  // DAEMON_TIMERS_H_
