// velkctl as administrators run it: against no daemon, as a non-root user,
// against a running daemon, and writing the fixed command file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "tools/cmd_file_writer.h"

namespace skgxn {
namespace {

constexpr const char* kFifo = "/var/run/.skgxn_registration";
constexpr const char* kCmdFile = "/var/cluster/velk/skgxn_client_cmd";
constexpr const char* kAsNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

struct Outcome {
  int status = -1;
  std::string output;  // standard output and error together
};

Outcome velkctl(const std::string& args, const char* prefix = "") {
  FILE* out = popen((prefix + std::string(VELKCTL_PATH " ") + args + " 2>&1").c_str(), "r");
  Outcome o;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;) o.output.append(buf, n);
  const int status = pclose(out);
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return o;
}

TEST(VelkctlCli, AnswersFromARunningDaemonOnlyToRoot) {
  const Outcome none = velkctl("status");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.output.find("velkd is not running"), std::string::npos) << none.output;

  unlink(kFifo);
  const pid_t daemon = fork();
  if (daemon == 0) {
    dup2(open("/dev/null", O_WRONLY), 2);
    execl(VELKD_PATH, "velkd", "-f", static_cast<char*>(nullptr));
    _exit(127);
  }
  struct Reaper {
    pid_t pid;
    ~Reaper() { kill(pid, SIGKILL), waitpid(pid, nullptr, 0); }
  } reaper{daemon};
  struct stat st;
  for (int i = 0; i < 5000 && stat(kFifo, &st) != 0; ++i) {
    timespec ms{0, 1000000};
    nanosleep(&ms, nullptr);
  }
  const struct {
    const char* args;
    const char* prefix;
    int status;
    const char* shown;
  } rows[] = {
      {"groups", kAsNobody, 1,
       "permission denied on /run/velkd/admin.sock (velkctl must run as root)"},
      {"status", "", 0, "groups       0\nmembers      0\nconnections  "},
      {"status --json", "", 0, "\"members\": 0,"},
      {"groups", "", 0, "GROUP  COUNT  MEMBERS\n"},
      {"members nosuch", "", 1, "no such group: nosuch"},
      {"event nosuch suspend", "", 1, "no such group: nosuch"},
      {"event nosuch resume --member 3", "", 1, "no such member in group nosuch"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const Outcome o = velkctl(row.args, row.prefix);
    EXPECT_EQ(o.status, row.status);
    EXPECT_NE(o.output.find(row.shown), std::string::npos) << o.output;
  }
}

TEST(VelkctlCli, TraceCommandsRewriteCommandFileForwardOrChangeNothing) {
  auto mtime = [] {
    struct stat st {};
    return stat(kCmdFile, &st) == 0 ? st.st_mtim.tv_sec : -1;
  };
  ASSERT_EQ(velkctl("trace on evt MSG --output /var/tmp/t.log").status, 0);
  EXPECT_EQ(readCmdFile(kCmdFile), "TRACE ON EVT MSG\nOUTPUT ON /var/tmp/t.log\n");
  const auto first = mtime();
  ASSERT_EQ(velkctl("trace off").status, 0);
  EXPECT_EQ(readCmdFile(kCmdFile), "TRACE OFF\n");
  EXPECT_GT(mtime(), first);
  EXPECT_NE(velkctl("trace on ALL").status, 0);
  EXPECT_NE(velkctl("dump --output relative.log").status, 0);
  EXPECT_EQ(readCmdFile(kCmdFile), "TRACE OFF\n");
}

}  // namespace
}  // namespace skgxn
