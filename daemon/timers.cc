// Deadline-ordered one-shot timers for velkd's event loop.
#include "daemon/timers.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace skgxn {

TimerId Timers::add(int64_t dueMs, std::function<void()> fn) {
  const TimerId id{dueMs, nextSeq_++};
  waiting_.emplace(id, std::move(fn));
  return id;
}

bool Timers::cancel(TimerId id) { return waiting_.erase(id) != 0; }

int Timers::waitMs(int64_t nowMs) const {
  if (waiting_.empty()) return -1;
  const int64_t left = waiting_.begin()->first.dueMs - nowMs;
  return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

void Timers::runDue(int64_t nowMs) {
  const uint64_t added = nextSeq_;
  auto it = waiting_.begin();
  while (it != waiting_.end() && it->first.dueMs <= nowMs) {
    if (it->first.seq >= added) {
      ++it;
      continue;
    }
    // Out of the map before it runs: it may add or cancel timers, so the
    // walk starts again from the front afterwards.
    std::function<void()> fn = std::move(it->second);
    waiting_.erase(it);
    fn();
    it = waiting_.begin();
  }
}

}  // namespace skgxn
