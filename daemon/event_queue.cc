// Per-registration event queue: merging of waiting reconfigurations, the
// overflow bound, and numbering at write time.
#include "daemon/event_queue.h"

#include "msg/shared_values.h"

namespace skgxn {

bool EventQueue::push(uint32_t event, const MemberBitmap& bitmap) {
  if (event == kEventReconfig && !waiting_.empty() && waiting_.back().event == kEventReconfig) {
    waiting_.back().bitmap = bitmap;
    return true;
  }
  if (waiting_.size() >= bound_) return false;
  waiting_.push_back(PendingEvent{event, bitmap});
  return true;
}

void EventQueue::commitFront() {
  waiting_.pop_front();
  ++written_;
}

}  // namespace skgxn
