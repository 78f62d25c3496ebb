// velkctl as administrators run it: against no daemon, as a non-root user,
// against a running daemon, and writing the fixed command file.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/cmd_file_writer.h"

namespace skgxn {
namespace {

constexpr const char* kFifo = "/var/run/.skgxn_registration";
constexpr const char* kCmdFile = "/var/cluster/velk/skgxn_client_cmd";

struct Outcome {
  int status = -1;
  std::string output;  // standard output and error together
};

Outcome velkctl(std::vector<const char*> args, uid_t uid = 0) {
  int out[2];
  EXPECT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    close(out[0]);
    if (uid != 0 && setuid(uid) != 0) _exit(126);
    args.insert(args.begin(), "velkctl");
    args.push_back(nullptr);
    execv(VELKCTL_PATH, const_cast<char* const*>(args.data()));
    _exit(127);
  }
  close(out[1]);
  Outcome o;
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) o.output.append(buf, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return o;
}

class Daemon {
 public:
  Daemon() {
    unlink(kFifo);
    pid_ = fork();
    if (pid_ == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      execl(VELKD_PATH, "velkd", "-f", static_cast<char*>(nullptr));
      _exit(127);
    }
    struct stat st;
    for (int i = 0; i < 5000 && stat(kFifo, &st) != 0; ++i) {
      timespec ms{0, 1000000};
      nanosleep(&ms, nullptr);
    }
  }
  ~Daemon() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
};

TEST(VelkctlCli, NoDaemonIsReportedPlainly) {
  const Outcome o = velkctl({"status"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.output.find("velkd is not running"), std::string::npos) << o.output;
}

TEST(VelkctlCli, NonRootIsToldAccessIsDenied) {
  Daemon daemon;
  const Outcome o = velkctl({"groups"}, 65534);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.output.find("permission denied"), std::string::npos) << o.output;
}

TEST(VelkctlCli, StatusJsonComesFromRunningDaemon) {
  Daemon daemon;
  const Outcome o = velkctl({"status", "--json"});
  ASSERT_EQ(o.status, 0) << o.output;
  const auto answer = nlohmann::json::parse(o.output);
  EXPECT_EQ(answer["groups"], 0);
  EXPECT_EQ(answer["members"], 0);
}

TEST(VelkctlCli, EventToUnknownGroupFails) {
  Daemon daemon;
  const Outcome o = velkctl({"event", "nosuch", "suspend"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.output.find("no such group"), std::string::npos) << o.output;
}

TEST(VelkctlCli, TraceOnThenOffRewritesCommandFileForward) {
  ASSERT_EQ(velkctl({"trace", "on", "evt", "MSG", "--output", "/var/tmp/t.log"}).status, 0);
  EXPECT_EQ(readCmdFile(kCmdFile), "TRACE ON EVT MSG\nOUTPUT ON /var/tmp/t.log\n");
  struct stat first {};
  ASSERT_EQ(stat(kCmdFile, &first), 0);
  ASSERT_EQ(velkctl({"trace", "off"}).status, 0);
  EXPECT_EQ(readCmdFile(kCmdFile), "TRACE OFF\n");
  struct stat second {};
  ASSERT_EQ(stat(kCmdFile, &second), 0);
  EXPECT_GT(second.st_mtim.tv_sec, first.st_mtim.tv_sec);
}

TEST(VelkctlCli, BadCategoryOrRelativePathChangesNothing) {
  ASSERT_EQ(velkctl({"dump"}).status, 0);
  const std::string before = readCmdFile(kCmdFile);
  EXPECT_NE(velkctl({"trace", "on", "ALL"}).status, 0);
  EXPECT_NE(velkctl({"dump", "--output", "relative.log"}).status, 0);
  EXPECT_EQ(readCmdFile(kCmdFile), before);
}

}  // namespace
}  // namespace skgxn
