// Where velkd's administrator-facing lines go: the system log under the
// daemon's own identity and, when running in the foreground, standard error.
// Lines a client can cause are rate-limited here.
#ifndef DAEMON_DAEMON_LOG_H_
#define DAEMON_DAEMON_LOG_H_

#include <cstdarg>
#include <cstdint>
#include <string>

namespace skgxn {

// Client-caused lines: a burst of this many is written at once, after which
// at most kClientLinesPerSecond a second are.
inline constexpr int64_t kClientLineBurst = 200;
inline constexpr int64_t kClientLinesPerSecond = 20;

class DaemonLog {
 public:
  explicit DaemonLog(bool toStderr) : toStderr_(toStderr) {}
  ~DaemonLog();
  DaemonLog(const DaemonLog&) = delete;
  DaemonLog& operator=(const DaemonLog&) = delete;

  // One line at a system-log priority (LOG_INFO, LOG_WARNING, ...). The
  // system log drops it silently when no logger listens.
  void line(int priority, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // A line a client's request or misbehaviour causes (a join, a malformed
  // record, a refused connection). Over the client-line rate it is only
  // counted, so that no client can flood the system log; the count is written
  // as a line of its own once the rate allows lines again.
  void clientLine(int priority, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Writes the count of suppressed client lines when the rate allows it.
  // Returns the milliseconds until it should be called again, -1 when no
  // count is waiting.
  int flushSuppressed();

 private:
  void writeFormatted(int priority, const char* format, va_list args);
  void write(int priority, const char* text);
  void writeSuppressed();
  // Refills the bucket up to now; true when a whole token is there.
  bool refill();

  bool toStderr_;
  // "ID[<pid> Cluster.KVO.VELKD]", made at the first line so that it names
  // the process that logs (after any detach). The system log keeps a pointer
  // to it while the log is open.
  std::string identity_;
  // The client-line bucket in thousandths of a line, so that a refill of
  // kClientLinesPerSecond per second is exact per millisecond.
  int64_t milliTokens_ = kClientLineBurst * 1000;
  int64_t refilledAtMs_ = -1;
  uint64_t suppressed_ = 0;
};

}  // namespace skgxn

#endif  // DAEMON_DAEMON_LOG_H_
