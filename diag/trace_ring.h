// TraceRing: a fixed circular record of recent lines, stored back to back
// with their NULs and never split across the buffer's end. Used for the trace
// record and the poll-statistics record. Not thread-safe on its own.
#ifndef DIAG_TRACE_RING_H_
#define DIAG_TRACE_RING_H_

#include <cstdint>
#include <cstdio>
#include <memory>

namespace skgxn {

class TraceRing {
 public:
  explicit TraceRing(uint32_t capacity);

  // Stores a NUL-terminated line, overwriting the oldest lines as needed.
  // Null, or a line of capacity/2 characters or more, is not stored.
  void store(const char* line);
  // Writes the stored lines to out, oldest first, each unchanged.
  void writeTo(FILE* out) const;

  uint32_t capacity() const { return capacity_; }
  uint32_t oldest() const { return oldest_; }
  uint32_t next() const { return next_; }

 private:
  std::unique_ptr<char[]> buffer_;
  uint32_t capacity_;
  uint32_t oldest_ = 0;
  uint32_t next_ = 0;
};

}  // namespace skgxn

#endif  // DIAG_TRACE_RING_H_
