// velkd's log lines: the system log with the daemon's identity, and a copy on
// standard error in the foreground.
#include "daemon/daemon_log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace skgxn {

DaemonLog::~DaemonLog() {
  if (!identity_.empty()) closelog();
}

void DaemonLog::line(int priority, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
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
