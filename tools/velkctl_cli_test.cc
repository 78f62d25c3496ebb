// velkctl as administrators run it: against no daemon, a daemon that hangs
// up, a non-root user and a running daemon, and writing the command file.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "daemon/escape_text.h"
#include "daemon/velkd_test_support.h"
#include "msg/unique_fd.h"
#include "tools/cmd_file_writer.h"

namespace skgxn::test {
namespace {

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
  Daemon() {
    unlink(kFifo);
    pid_ = spawnVelkd(kLog);
    EXPECT_TRUE(awaitRegistration(pid_));
  }
  ~Daemon() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

TEST(VelkctlCli, AnswersFromARunningDaemonOnlyToRootAndNamesEveryFailure) {
  const Outcome none = velkctl("status");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.output.find("velkd is not running"), std::string::npos) << none.output;
  // A daemon that reads the request, then hangs up or answers what is no
  // answer.
  for (const auto& [answer, shown] :
       {std::pair{"", "velkd closed the connection before its answer"},
        {"[1]", "velkd sent an answer velkctl cannot read"}}) {
    UniqueFd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    unlink(kAdmin);
    const sockaddr_un addr{AF_UNIX, "/run/velkd/admin.sock"};
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    std::thread fake([&, answer = std::string(answer)] {
      UniqueFd conn(accept(listener.get(), nullptr, nullptr));
      char request[4096];
      (void)recv(conn.get(), request, sizeof request, 0);
      if (!answer.empty()) (void)send(conn.get(), answer.data(), answer.size(), 0);
    });
    const Outcome o = velkctl("status");
    fake.join();
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.output.find(shown), std::string::npos) << o.output;
  }
  Daemon daemon;
  const struct {
    const char* args;
    const char* prefix;
    int status;
    const char* shown;
  } rows[] = {
      {"groups", kAsNobody, 1,
       "permission denied on /run/velkd/admin.sock (velkctl must run as root)"},
      {"status --json", "", 0, "\"members\": 0,"},
      {"nodes", "", 0, "  member  0\n"},
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
  std::vector<Client> members(kGroups);
  for (int i = 0; i < kGroups; ++i) {
    int32_t granted = -1;
    ASSERT_EQ(members[i].join(hostile + std::to_string(1000 + i), -1, granted), ERR_NONE);
  }
  const std::string shown = escapeText(hostile) + "1000";
  const Outcome json = velkctl("--json groups");
  const auto answer = nlohmann::json::parse(json.output, nullptr, false);
  ASSERT_FALSE(answer.is_discarded()) << json.output.substr(0, 200);
  EXPECT_EQ(answer["groups"].size(), size_t{kGroups});
  EXPECT_EQ(answer["groups"][0]["name"], shown);
  const std::string log = readCmdFile(kLog);
  EXPECT_NE(log.find("join group " + shown + " member 0 "), std::string::npos);
  std::string raw = hostile;  // the newline stays: it ends the lines here
  std::erase(raw, '\n');
  for (const std::string* out : {&json.output, &log}) {
    EXPECT_EQ(out->find_first_of(raw), std::string::npos);
  }
}

// Each row leaves the file as shown: refusals change nothing.
TEST(VelkctlCli, TraceCommandsRewriteTheCommandFileOrChangeNothing) {
  std::filesystem::remove_all("/var/cluster/velk");  // as on a fresh install
  const struct {
    const char* args;
    int status;
    const char* file;
  } rows[] = {{"trace on evt MSG --output /var/tmp/t.log", 0,
               "TRACE ON EVT MSG\nOUTPUT ON /var/tmp/t.log\n"},
              {"--json trace off", 0, "TRACE OFF\n"},
              {"trace on ALL", 1, "TRACE OFF\n"},
              {"dump --output relative.log", 1, "TRACE OFF\n"},
              {"--json dump --output /var/tmp/d", 0, "TRACE OFF\nDUMP /var/tmp/d\n"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const Outcome o = velkctl(row.args);
    EXPECT_EQ(o.status, row.status) << o.output;
    EXPECT_EQ(readCmdFile(kCmdFile), row.file);
    if (std::string(row.args).starts_with("--json")) {
      EXPECT_EQ(nlohmann::json::parse(o.output, nullptr, false),
                (nlohmann::json{{"ok", true}, {"file", kCmdFile}, {"content", row.file}}));
    }
  }
}

}  // namespace
}  // namespace skgxn::test
