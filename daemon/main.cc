// velkd's entry point: options, the single-instance lock, detaching or
// staying in front for the service manager, and the readiness notice.
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/server.h"
#include "msg/unique_fd.h"
#include "vemo/node_table.h"

namespace skgxn {
namespace {

constexpr const char* kRunDir = "/run/velkd";
constexpr const char* kPidFile = "/run/velkd/velkd.pid";

// Takes the instance lock. The pid file is never removed: removing it while
// another instance opens it would let a third lock a fresh file beside it.
bool lockInstance(UniqueFd& lock) {
  if (mkdir(kRunDir, 0755) != 0 && errno != EEXIST) {
    fprintf(stderr, "velkd: cannot create the run directory %s: %s\n", kRunDir, strerror(errno));
    return false;
  }
  lock = UniqueFd(open(kPidFile, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lock.get() < 0) {
    fprintf(stderr, "velkd: cannot open the pid file %s: %s\n", kPidFile, strerror(errno));
    return false;
  }
  if (flock(lock.get(), LOCK_EX | LOCK_NB) == 0) return true;
  char text[32] = {};
  const ssize_t n = pread(lock.get(), text, sizeof text - 1, 0);
  fprintf(stderr, "velkd: already running (pid %s)\n", n > 0 ? strtok(text, "\n") : "unknown");
  return false;
}

void writePid(int fd, pid_t pid) {
  char text[32];
  const int n = snprintf(text, sizeof text, "%d\n", static_cast<int>(pid));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(n), 0) != n) {
    fprintf(stderr, "velkd: cannot write the pid file %s: %s\n", kPidFile, strerror(errno));
  }
}

// Leaves the terminal when started by hand without -f, before the server
// starts: a signalfd watched by the parent's epoll would never wake the
// child's loop. The parent stays until the child tells it over ready that
// it serves, and exits 0 then, 1 when the child fails first; so whoever
// started velkd finds the socket and the pid file in place once the start
// returns. Under the service manager (which sets NOTIFY_SOCKET) the daemon
// stays its main process.
bool detach(UniqueFd& ready) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    fprintf(stderr, "velkd: cannot detach: pipe2: %s\n", strerror(errno));
    return false;
  }
  const pid_t child = fork();
  if (child < 0) {
    fprintf(stderr, "velkd: cannot detach: fork: %s\n", strerror(errno));
    return false;
  }
  if (child > 0) {
    close(ends[1]);
    char word = 0;
    _exit(read(ends[0], &word, 1) == 1 ? 0 : 1);
  }
  close(ends[0]);
  ready = UniqueFd(ends[1]);
  setsid();
  return true;
}

// The child serves: its parent may exit, and the terminal is let go.
void detached(UniqueFd ready) {
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    close(null);
  }
  (void)!write(ready.get(), "", 1);
}

bool parseMode(const std::string& text, mode_t& mode) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = strtoul(text.c_str(), &end, 8);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > 0777) return false;
  mode = static_cast<mode_t>(value);
  return true;
}

bool parseGroup(const std::string& text, gid_t& gid) {
  if (const group* g = getgrnam(text.c_str())) {
    gid = g->gr_gid;
    return true;
  }
  char* end = nullptr;
  const unsigned long value = strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') return false;
  gid = static_cast<gid_t>(value);
  return true;
}

int runDaemon(int argc, char** argv) {
  CLI::App app{"velkd: the local membership monitor for the node-monitor client library"};
  ServerOptions options;
  bool foreground = false;
  std::string modeText = "0666";
  std::string groupText;
  app.add_flag("-f,--foreground", foreground, "Stay in front and log to standard error too");
  app.add_option("--mode", modeText, "Octal mode of the registration socket and marker")
      ->capture_default_str();
  app.add_option("--group", groupText, "Group owning the registration socket and marker");
  app.add_option("--max-connections", options.maxConnections,
                 "Client connections of all users together (root has a reserve beyond)")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--max-per-uid", options.maxPerUid, "Client connections of one user but root")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  CLI11_PARSE(app, argc, argv);

  options.foreground = foreground;
  if (!parseMode(modeText, options.mode)) {
    fprintf(stderr, "velkd: --mode wants an octal mode up to 0777, not %s\n", modeText.c_str());
    return 2;
  }
  if (!groupText.empty()) {
    gid_t gid = 0;
    if (!parseGroup(groupText, gid)) {
      fprintf(stderr, "velkd: unknown group %s\n", groupText.c_str());
      return 2;
    }
    options.group = gid;
  }
  // The same reader as the configuration library's, so both always agree on
  // which engine the file names.
  ClusterConfig config;
  std::string problem;
  if (loadClusterConfig(kClusterConfigPath, config, problem) != ERR_NONE) {
    fprintf(stderr, "velkd: cannot load the cluster configuration: %s\n", problem.c_str());
    return 1;
  }
  options.engine =
      config.engine == ClusterEngine::kCorosync ? EngineKind::kCorosync : EngineKind::kLocal;
  UniqueFd lock;
  if (!lockInstance(lock)) return 1;
  // Ready means joining works: with a cluster engine, only once the table
  // has come. Told from the loop, after any detach.
  options.onRegistrationOpen = [] { sd_notify(0, "READY=1"); };
  const bool detaching = !foreground && getenv("NOTIFY_SOCKET") == nullptr;
  UniqueFd ready;
  if (detaching && !detach(ready)) return 1;
  Server server(options);
  if (server.start() != ERR_NONE) return 1;
  writePid(lock.get(), getpid());
  if (detaching) detached(std::move(ready));
  const ErrCode rc = server.run();
  sd_notify(0, "STOPPING=1");
  return rc == ERR_NONE ? 0 : 1;
}

}  // namespace
}  // namespace skgxn

int main(int argc, char** argv) { return skgxn::runDaemon(argc, argv); }
