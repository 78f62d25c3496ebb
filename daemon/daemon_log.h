// Where velkd's administrator-facing lines go: the system log under the
// daemon's own identity and, when running in the foreground, standard error.
#ifndef DAEMON_DAEMON_LOG_H_
#define DAEMON_DAEMON_LOG_H_

#include <string>

namespace skgxn {

class DaemonLog {
 public:
  explicit DaemonLog(bool toStderr) : toStderr_(toStderr) {}
  ~DaemonLog();
  DaemonLog(const DaemonLog&) = delete;
  DaemonLog& operator=(const DaemonLog&) = delete;

  // One line at a system-log priority (LOG_INFO, LOG_WARNING, ...). The
  // system log drops it silently when no logger listens.
  void line(int priority, const char* format, ...) __attribute__((format(printf, 3, 4)));

 private:
  bool toStderr_;
  // "ID[<pid> Cluster.KVO.VELKD]", made at the first line so that it names
  // the process that logs (after any detach). The system log keeps a pointer
  // to it while the log is open.
  std::string identity_;
};

}  // namespace skgxn

#endif  // DAEMON_DAEMON_LOG_H_
