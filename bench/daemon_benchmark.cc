// velkd's costs against a floor measured in the same run: a join and leave
// against a minimal server doing only connect, one request, one passed
// descriptor and one response; the time from a member's SIGKILL to the
// survivor's reconfiguration; and one join into a group of 127 members.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daemon/server.h"
#include "msg/msg_catalogue.h"
#include "msg/stream_io.h"

namespace skgxn {
namespace {

using Clock = std::chrono::steady_clock;

std::string gDir;

std::string pathIn(const char* name) { return gDir + "/" + name; }

int connectTo(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, path.c_str());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void waitFor(const std::string& path) {
  struct stat st;
  for (int i = 0; i < 5000 && stat(path.c_str(), &st) != 0; ++i) usleep(1000);
}

// velkd's server in a child process, on paths under the bench directory.
pid_t startVelkd() {
  const pid_t pid = fork();
  if (pid == 0) {
    ServerOptions o;
    o.fifoPath = pathIn("reg");
    o.socketPath = pathIn("reg.sock");
    o.adminPath = pathIn("admin.sock");
    Server server(o);
    _exit(server.start() == ERR_NONE && server.run() == ERR_NONE ? 0 : 1);
  }
  waitFor(pathIn("reg"));
  return pid;
}

// The floor: a blocking server that answers each connection's one request
// with one passed descriptor and one response record, and nothing else.
pid_t startFloorServer() {
  const std::string path = pathIn("floor.sock");
  const pid_t pid = fork();
  if (pid == 0) {
    const int lfd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path.c_str());
    if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(lfd, 64) != 0) {
      _exit(1);
    }
    uint8_t buf[kMsgBufferBytes];
    for (;;) {
      const int c = accept(lfd, nullptr, nullptr);
      if (c < 0) continue;
      if (recv(c, buf, sizeof buf, 0) > 0) {
        int pair[2];
        socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair);
        (void)sendFd(c, pair[1]);
        close(pair[1]);
        MsgProto p(buf, sizeof buf);
        (void)buildRegResp(p, 1, 0, 0);
        send(c, p.begin(), p.length(), MSG_NOSIGNAL);
        close(pair[0]);
      }
      close(c);
    }
  }
  waitFor(path);
  return pid;
}

struct Member {
  int cmd = -1;
  int evt = -1;
  ~Member() {
    if (cmd >= 0) close(cmd);
    if (evt >= 0) close(evt);
  }
};

bool join(Member& m, const std::string& sock, const std::string& group) {
  uint8_t buf[kMsgBufferBytes];
  MsgProto p(buf, sizeof buf);
  m.cmd = connectTo(sock);
  if (m.cmd < 0 || sendRegReq(p, m.cmd, 1, group, -1, ByteData()) != ERR_NONE) return false;
  m.evt = recvFd(m.cmd);
  uint32_t id = 1;
  int32_t memno = 0;
  p.rewind();
  return m.evt >= 0 && recvRegResp(p, m.cmd, id, memno) == ERR_NONE;
}

bool leave(Member& m) {
  uint8_t buf[kMsgBufferBytes];
  MsgProto p(buf, sizeof buf);
  uint32_t id = 2;
  if (sendDrgReq(p, m.cmd, id) != ERR_NONE) return false;
  p.rewind();
  return recvDrgResp(p, m.cmd, id) == ERR_NONE;
}

void drain(int fd) {
  uint8_t rec[64];
  while (recv(fd, rec, sizeof rec, MSG_DONTWAIT) > 0) {
  }
}

void stopChild(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

void BM_FloorRoundTrip(benchmark::State& state) {
  const pid_t server = startFloorServer();
  for (auto _ : state) {
    Member m;
    if (!join(m, pathIn("floor.sock"), "g")) state.SkipWithError("floor join failed");
  }
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
  unlink(pathIn("floor.sock").c_str());
}
BENCHMARK(BM_FloorRoundTrip)->UseRealTime();

void BM_JoinLeaveRoundTrip(benchmark::State& state) {
  const pid_t server = startVelkd();
  for (auto _ : state) {
    Member m;
    if (!join(m, pathIn("reg.sock"), "g") || !leave(m)) state.SkipWithError("join failed");
  }
  stopChild(server);
}
BENCHMARK(BM_JoinLeaveRoundTrip)->UseRealTime();

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void BM_KillToReconfiguration(benchmark::State& state) {
  const pid_t server = startVelkd();
  Member survivor;
  join(survivor, pathIn("reg.sock"), "k");
  std::vector<double> us;
  for (auto _ : state) {
    int ready[2];
    if (pipe(ready) != 0) break;
    const pid_t child = fork();
    if (child == 0) {
      Member doomed;
      const char ok = join(doomed, pathIn("reg.sock"), "k") ? 1 : 0;
      (void)!write(ready[1], &ok, 1);
      pause();
      _exit(0);
    }
    char ok = 0;
    (void)!read(ready[0], &ok, 1);
    close(ready[0]);
    close(ready[1]);
    drain(survivor.evt);
    const auto start = Clock::now();
    kill(child, SIGKILL);
    pollfd p{survivor.evt, POLLIN, 0};
    poll(&p, 1, 5000);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    us.push_back(elapsed * 1e6);
    waitpid(child, nullptr, 0);
    drain(survivor.evt);
  }
  state.counters["median_us"] = median(us);
  stopChild(server);
}
BENCHMARK(BM_KillToReconfiguration)->UseManualTime()->Iterations(200);

// The daemon writes every member's reconfiguration before it answers the
// join, so the joiner's round trip bounds the time to write all 128 events.
void BM_JoinInto127(benchmark::State& state) {
  const pid_t server = startVelkd();
  std::vector<std::unique_ptr<Member>> members;
  for (int i = 0; i < 127; ++i) {
    members.push_back(std::make_unique<Member>());
    join(*members.back(), pathIn("reg.sock"), "big");
  }
  std::vector<double> us;
  for (auto _ : state) {
    for (auto& m : members) drain(m->evt);
    Member joiner;
    const auto start = Clock::now();
    if (!join(joiner, pathIn("reg.sock"), "big")) state.SkipWithError("join failed");
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    us.push_back(elapsed * 1e6);
    (void)leave(joiner);
  }
  state.counters["median_us"] = median(us);
  stopChild(server);
}
BENCHMARK(BM_JoinInto127)->UseManualTime()->Iterations(200);

// Keeps each run's time per iteration so main can report ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) times[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace
}  // namespace skgxn

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/velkd_bench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  skgxn::gDir = tmpl;
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  skgxn::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double floor = reporter.times["BM_FloorRoundTrip/real_time"];
  const double velkd = reporter.times["BM_JoinLeaveRoundTrip/real_time"];
  if (floor > 0 && velkd > 0) printf("join+leave / floor ratio: %.2f (target <= 2)\n", velkd / floor);
  rmdir(tmpl);
  benchmark::Shutdown();
  return 0;
}
