// The circular record of recent lines shared by the trace record and the
// poll-statistics record; the storing rule keeps whole lines only.
#include "diag/trace_ring.h"

#include <cstring>

namespace skgxn {

TraceRing::TraceRing(uint32_t capacity) : buffer_(new char[capacity]()), capacity_(capacity) {}

void TraceRing::store(const char* line) {
  if (line == nullptr || buffer_ == nullptr) return;
  size_t n = std::strlen(line);
  if (n >= capacity_ / 2) return;

  uint32_t t0 = next_;
  if (capacity_ - t0 > n) {
    std::memcpy(&buffer_[t0], line, n + 1);
    next_ = t0 + static_cast<uint32_t>(n) + 1;
    if (next_ == capacity_) next_ = 0;
  } else {
    // A line is never split across the end: the tail is zeroed so that
    // writeTo stops there instead of reading a stale fragment.
    std::memset(&buffer_[t0], 0, capacity_ - t0);
    std::memcpy(&buffer_[0], line, n + 1);
    next_ = static_cast<uint32_t>(n) + 1;
  }

  uint32_t t1 = next_;
  bool overwritten =
      (t0 < t1 && t0 < oldest_ && oldest_ <= t1) || (t1 < t0 && (oldest_ <= t1 || oldest_ > t0));
  if (overwritten) {
    // Skip what is left of the line the new one ran into. strnlen keeps the
    // scan inside the buffer even if its contents were ever inconsistent.
    oldest_ = t1 + static_cast<uint32_t>(strnlen(&buffer_[t1], capacity_ - t1)) + 1;
    if (oldest_ >= capacity_) oldest_ = 0;
  }
}

void TraceRing::writeTo(FILE* out) const {
  if (out == nullptr || buffer_ == nullptr) return;
  uint32_t pos = oldest_;
  while (pos < capacity_ && buffer_[pos] != '\0' && (oldest_ >= next_ || pos < next_)) {
    std::fprintf(out, "%s", &buffer_[pos]);
    pos += static_cast<uint32_t>(strnlen(&buffer_[pos], capacity_ - pos)) + 1;
  }
  if (oldest_ == 0) return;
  pos = 0;
  while (pos < next_ && buffer_[pos] != '\0') {
    std::fprintf(out, "%s", &buffer_[pos]);
    pos += static_cast<uint32_t>(strnlen(&buffer_[pos], capacity_ - pos)) + 1;
  }
}

}  // namespace skgxn
