// The events waiting for one registration while its event connection is
// full, and the registration's event numbering. Pure bookkeeping: the server
// writes the front event and commits it.
#ifndef DAEMON_EVENT_QUEUE_H_
#define DAEMON_EVENT_QUEUE_H_

#include <cstddef>
#include <cstdint>
#include <deque>

#include "msg/member_bitmap.h"

namespace skgxn {

// How many events may wait for a member that does not read. The kernel's
// socket buffer holds a few more before anything waits here.
inline constexpr size_t kEventQueueBound = 16;

struct PendingEvent {
  uint32_t event = 0;
  MemberBitmap bitmap{};
};

class EventQueue {
 public:
  explicit EventQueue(size_t bound = kEventQueueBound) : bound_(bound) {}

  // Queues an event. A reconfiguration that would follow a reconfiguration
  // still waiting replaces it: only the newest member set matters to the
  // member. False, with nothing queued, when the queue is already at its
  // bound; the caller then ends the registration.
  [[nodiscard]] bool push(uint32_t event, const MemberBitmap& bitmap);

  bool empty() const { return waiting_.empty(); }
  size_t size() const { return waiting_.size(); }
  // The oldest waiting event; only valid when not empty.
  const PendingEvent& front() const { return waiting_.front(); }
  // Sequence number the front event carries when it is written: numbers are
  // given at write time so merged events leave no gap.
  uint32_t nextSeq() const { return written_ + 1; }
  // The front event has been written: drop it and count its number as used.
  void commitFront();

 private:
  size_t bound_;
  uint32_t written_ = 0;
  std::deque<PendingEvent> waiting_;
};

}  // namespace skgxn

#endif  // DAEMON_EVENT_QUEUE_H_
