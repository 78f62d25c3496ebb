// velkd's log lines: the system log with the daemon's tag, and a copy on
// standard error in the foreground.
#include "daemon/daemon_log.h"

#include <cstdarg>
#include <cstdio>

#include "diag/report.h"

namespace skgxn {

namespace {
// Selects the daemon's identity ("Cluster.KVO.VELKD") in sysLog.
constexpr int kVelkdLogTag = 2;
}  // namespace

void DaemonLog::line(int priority, const char* format, ...) const {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  sysLog(priority, kVelkdLogTag, "%s", text);
  if (toStderr_) fprintf(stderr, "velkd: %s\n", text);
}

}  // namespace skgxn
