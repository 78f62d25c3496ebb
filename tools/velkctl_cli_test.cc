// velkctl as administrators run it: against no daemon, as a non-root user,
// against a running daemon, and writing the fixed command file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "daemon/escape_text.h"
#include "msg/msg_catalogue.h"
#include "msg/stream_io.h"
#include "msg/unique_fd.h"
#include "tools/cmd_file_writer.h"

namespace skgxn {
namespace {

constexpr const char* kFifo = "/var/run/.skgxn_registration";
constexpr const char* kCmdFile = "/var/cluster/velk/skgxn_client_cmd";
constexpr const char* kLog = "/var/tmp/velkd.log";
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

// velkd in the foreground for one test, its log lines in kLog.
class Daemon {
 public:
  // A killed predecessor leaves its marker behind; waiting for it would
  // return before this daemon listens.
  Daemon() {
    unlink(kFifo);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(open(kLog, O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
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
  pid_t pid_ = -1;
};

// Joins a group over the wire, keeping both connections open in held.
bool join(const std::string& name, std::vector<UniqueFd>& held) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{AF_UNIX, "/var/run/.skgxn_registration.sock"};
  uint8_t buf[kMsgBufferBytes];
  MsgProto p(buf, sizeof buf);
  uint32_t id = 1;
  int32_t memno = -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      sendRegReq(p, fd, id, name, -1, {}) != ERR_NONE) {
    return false;
  }
  held.emplace_back(recvFd(fd));
  p.rewind();
  const bool joined = recvRegResp(p, fd, id, memno) == ERR_NONE;
  held.emplace_back(fd);  // -1 when the transport has closed it
  return joined;
}

TEST(VelkctlCli, AnswersFromARunningDaemonOnlyToRoot) {
  const Outcome none = velkctl("status");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.output.find("velkd is not running"), std::string::npos) << none.output;
  Daemon daemon;
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
      {"nodes", "", 0, "  member  0\n"},
      {"groups", "", 0, "GROUP  COUNT  MEMBERS\n"},
      {"members nosuch", "", 1, "no such group: nosuch"},
      {"event nosuch suspend", "", 1, "no such group: nosuch"},
      {"event nosuch resume --member 3", "", 1, "no such member in group nosuch"},
      {"members \"$(printf 'a\\377')\"", "", 1, "not UTF-8"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const Outcome o = velkctl(row.args, row.prefix);
    EXPECT_EQ(o.status, row.status);
    EXPECT_NE(o.output.find(row.shown), std::string::npos) << o.output;
  }
}

// Names full of controls and broken UTF-8, and so many groups that the
// listing outgrows the socket's buffer (about 208 KiB).
TEST(VelkctlCli, ThousandsOfHostileGroupNamesArriveWholeAndEscapedEverywhere) {
  const rlimit fds{16384, 16384};  // both ends hold two descriptors per member
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &fds), 0);
  Daemon daemon;
  const std::string hostile("\x1b\r\n\x07\x7f\xff\xc2\x9b\x01\x02\x03\x04\x05\x06", 14);
  constexpr int kGroups = 2400;
  std::vector<UniqueFd> held;
  for (int i = 0; i < kGroups; ++i) ASSERT_TRUE(join(hostile + std::to_string(1000 + i), held));
  const std::string shown = escapeText(hostile) + "1000";
  const Outcome text = velkctl("groups");
  const Outcome json = velkctl("--json groups");
  EXPECT_EQ(velkctl("members '" + shown + "'").status, 0);
  EXPECT_EQ(text.status, 0) << text.output.substr(0, 200);
  EXPECT_EQ(std::count(text.output.begin(), text.output.end(), '\n'), kGroups + 1);
  EXPECT_NE(text.output.find("\n" + shown + "  1      0\n"), std::string::npos);
  const auto answer = nlohmann::json::parse(json.output, nullptr, false);
  ASSERT_FALSE(answer.is_discarded()) << json.output.substr(0, 200);
  EXPECT_EQ(answer["groups"].size(), size_t{kGroups});
  EXPECT_EQ(answer["groups"][0]["name"], shown);
  const std::string log = readCmdFile(kLog);
  EXPECT_NE(log.find("join group " + shown + " member 0 "), std::string::npos);
  std::string raw = hostile;  // the newline stays: it ends the lines here
  std::erase(raw, '\n');
  for (const std::string* out : {&text.output, &json.output, &log}) {
    EXPECT_EQ(out->find_first_of(raw), std::string::npos);
  }
}

TEST(VelkctlCli, TraceCommandsRewriteCommandFileForwardOrChangeNothing) {
  std::filesystem::remove_all("/var/cluster/velk");  // as on a fresh install
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
