// velkd's log lines: the system log with the daemon's identity, a copy on
// standard error in the foreground, and the rate limit on client-caused lines.
#include "daemon/daemon_log.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace skgxn {

namespace {

int64_t monotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

DaemonLog::~DaemonLog() {
  if (!identity_.empty()) closelog();
}

void DaemonLog::line(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  writeFormatted(priority, format, args);
  va_end(args);
}

void DaemonLog::clientLine(int priority, const char* format, ...) {
  if (!refill()) {
    ++suppressed_;
    return;
  }
  milliTokens_ -= 1000;
  // The count goes first so that the log reads in order.
  if (suppressed_ > 0) writeSuppressed();
  va_list args;
  va_start(args, format);
  writeFormatted(priority, format, args);
  va_end(args);
}

void DaemonLog::writeFormatted(int priority, const char* format, va_list args) {
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  write(priority, text);
}

int DaemonLog::flushSuppressed() {
  if (suppressed_ == 0) return -1;
  if (!refill()) {
    return static_cast<int>((1000 - milliTokens_ + kClientLinesPerSecond - 1) /
                            kClientLinesPerSecond);
  }
  writeSuppressed();
  return -1;
}

void DaemonLog::writeSuppressed() {
  line(LOG_WARNING, "%llu lines caused by clients not logged (over %lld a second)",
       static_cast<unsigned long long>(suppressed_), static_cast<long long>(kClientLinesPerSecond));
  suppressed_ = 0;
}

bool DaemonLog::refill() {
  const int64_t now = monotonicMs();
  if (refilledAtMs_ >= 0) {
    milliTokens_ = std::min(kClientLineBurst * 1000,
                            milliTokens_ + (now - refilledAtMs_) * kClientLinesPerSecond);
  }
  refilledAtMs_ = now;
  return milliTokens_ >= 1000;
}

void DaemonLog::write(int priority, const char* text) {
  // Unlike the client library, which opens the system log around each
  // message so as not to disturb its host process's own logging, the daemon
  // owns its process: one connection serves every line of a join or leave.
  if (identity_.empty()) {
    identity_ = "ID[" + std::to_string(getpid()) + " Cluster.KVO.VELKD]";
    openlog(identity_.c_str(), 0, LOG_LOCAL0);
  }
  syslog(priority, "%s", text);
  if (toStderr_) fprintf(stderr, "velkd: %s\n", text);
}

}  // namespace skgxn
