// velkd's costs, each against a target: a join and leave as a ratio to a
// minimal server measured in the same run (connect, one request, one passed
// descriptor, one response); the time from a member's SIGKILL to the
// survivor's reconfiguration; and one join into a group of 127 members.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "daemon/server.h"
#include "msg/msg_catalogue.h"
#include "msg/stream_io.h"
#include "msg/unique_fd.h"

namespace skgxn {
namespace {

using Clock = std::chrono::steady_clock;

std::string gDir;

std::string pathIn(const char* name) { return gDir + "/" + name; }

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

int connectTo(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = addressOf(path);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

// A server child that is serving: the parent returns only after the child
// said so over a pipe, so the first measured connect never races the listen.
struct Child {
  pid_t pid = -1;
  bool ready = false;
};

template <typename Serve>
Child forkServer(Serve serve) {
  int ready[2];
  if (pipe(ready) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    _exit(serve(ready[1]));
  }
  close(ready[1]);
  char ok = 0;
  const bool up = pid > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
  close(ready[0]);
  return {pid, up};
}

void stopChild(const Child& child, int sig) {
  if (child.pid <= 0) return;
  kill(child.pid, sig);
  waitpid(child.pid, nullptr, 0);
}

void signalReady(int fd) {
  const char ok = 1;
  (void)!write(fd, &ok, 1);
  close(fd);
}

// velkd's server on paths under the benchmark directory.
Child startVelkd() {
  return forkServer([](int readyFd) {
    ServerOptions o;
    o.fifoPath = pathIn("reg");
    o.socketPath = pathIn("reg.sock");
    o.adminPath = pathIn("admin.sock");
    Server server(o);
    if (server.start() != ERR_NONE) return 1;
    signalReady(readyFd);
    return server.run() == ERR_NONE ? 0 : 1;
  });
}

// The floor: one blocking accept, recv, sendmsg, send loop. The passed
// descriptor is made once, not per client, and the answer is built once:
// whatever the floor does beyond the socket calls makes velkd look better.
Child startFloorServer() {
  return forkServer([](int readyFd) {
    const int lfd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const sockaddr_un addr = addressOf(pathIn("floor.sock"));
    int passed[2];
    uint8_t answer[kMsgBufferBytes];
    MsgProto p(answer, sizeof answer);
    if (lfd < 0 || bind(lfd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(lfd, 64) != 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, passed) != 0 ||
        buildRegResp(p, 1, 0, 0) != ERR_NONE) {
      return 1;
    }
    signalReady(readyFd);
    uint8_t request[kMsgBufferBytes];
    for (;;) {
      const int c = accept(lfd, nullptr, nullptr);
      if (c < 0) continue;
      if (recv(c, request, sizeof request, 0) > 0 && sendFd(c, passed[1]) == 0) {
        (void)send(c, p.begin(), p.length(), MSG_NOSIGNAL);
      }
      close(c);
    }
  });
}

// The client side, the same for velkd and the floor.
struct Member {
  UniqueFd cmd;
  UniqueFd evt;
};

bool join(Member& m, const std::string& sock, const std::string& group) {
  uint8_t buf[kMsgBufferBytes];
  MsgProto p(buf, sizeof buf);
  int fd = connectTo(sock);
  uint32_t id = 1;
  int32_t memno = -1;
  const bool asked = fd >= 0 && sendRegReq(p, fd, id, group, -1, ByteData()) == ERR_NONE;
  m.evt = UniqueFd(asked ? recvFd(fd) : -1);
  p.rewind();
  const bool answered = m.evt.get() >= 0 && recvRegResp(p, fd, id, memno) == ERR_NONE;
  // The transport closes and clears fd when the daemon hangs up mid-answer.
  m.cmd = UniqueFd(fd);
  return answered;
}

bool leave(Member& m) {
  uint8_t buf[kMsgBufferBytes];
  MsgProto p(buf, sizeof buf);
  uint32_t id = 2;
  int fd = m.cmd.release();
  const bool sent = sendDrgReq(p, fd, id) == ERR_NONE;
  p.rewind();
  const bool answered = sent && recvDrgResp(p, fd, id) == ERR_NONE;
  m.cmd = UniqueFd(fd);
  return answered;
}

void drain(int fd) {
  uint8_t rec[64];
  while (recv(fd, rec, sizeof rec, MSG_DONTWAIT) > 0) {
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The floor and velkd take turns within each iteration, so both see the
// same load on a shared machine; the ratio is that of the two medians. The
// iteration's time is velkd's join+leave.
void BM_JoinLeaveAgainstFloor(benchmark::State& state) {
  const Child floor = startFloorServer();
  const Child velkd = startVelkd();
  if (!floor.ready || !velkd.ready) state.SkipWithError("the floor server or velkd did not start");
  std::vector<double> floorUs;
  std::vector<double> velkdUs;
  for (auto _ : state) {
    auto start = Clock::now();
    Member f;
    const bool floorOk = join(f, pathIn("floor.sock"), "g");
    floorUs.push_back(secondsSince(start) * 1e6);
    start = Clock::now();
    Member m;
    const bool velkdOk = join(m, pathIn("reg.sock"), "g") && leave(m);
    const double elapsed = secondsSince(start);
    if (!floorOk || !velkdOk) {
      state.SkipWithError("a floor round trip or a join+leave through velkd failed");
      break;
    }
    state.SetIterationTime(elapsed);
    velkdUs.push_back(elapsed * 1e6);
  }
  state.counters["floor_us"] = median(floorUs);
  state.counters["velkd_us"] = median(velkdUs);
  stopChild(floor, SIGKILL);
  stopChild(velkd, SIGTERM);
  unlink(pathIn("floor.sock").c_str());
}
BENCHMARK(BM_JoinLeaveAgainstFloor)->UseManualTime();

// A child that joins the group, reports over ready and waits to be killed.
pid_t forkDoomedMember(int ready) {
  const pid_t child = fork();
  if (child == 0) {
    Member doomed;
    const char ok = join(doomed, pathIn("reg.sock"), "k") ? 1 : 0;
    (void)!write(ready, &ok, 1);
    pause();
    _exit(0);
  }
  return child;
}

void BM_KillToReconfiguration(benchmark::State& state) {
  const Child server = startVelkd();
  Member survivor;
  if (!server.ready || !join(survivor, pathIn("reg.sock"), "k")) {
    state.SkipWithError("velkd did not start or the survivor could not join");
  }
  std::vector<double> us;
  for (auto _ : state) {
    int ready[2];
    if (pipe(ready) != 0) break;
    const pid_t child = forkDoomedMember(ready[1]);
    char ok = 0;
    const bool joined = read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
    close(ready[1]);
    // The daemon writes the join's reconfiguration to the survivor before it
    // answers the joiner, so after this drain the next event is the kill's.
    drain(survivor.evt.get());
    const auto start = Clock::now();
    kill(child, SIGKILL);
    pollfd p{survivor.evt.get(), POLLIN, 0};
    const bool seen = poll(&p, 1, 5000) == 1;
    const double elapsed = secondsSince(start);
    waitpid(child, nullptr, 0);
    drain(survivor.evt.get());
    if (!joined || !seen) {
      state.SkipWithError("the doomed member did not join or its death was not reported");
      break;
    }
    state.SetIterationTime(elapsed);
    us.push_back(elapsed * 1e6);
  }
  state.counters["median_us"] = median(us);
  stopChild(server, SIGTERM);
}
BENCHMARK(BM_KillToReconfiguration)->UseManualTime()->Iterations(200);

// The daemon writes every member's reconfiguration before it answers the
// join, so the joiner's round trip bounds the time to write all 128 events.
void BM_JoinInto127(benchmark::State& state) {
  const Child server = startVelkd();
  if (!server.ready) state.SkipWithError("velkd did not start");
  std::vector<std::unique_ptr<Member>> members;
  for (int i = 0; i < 127 && server.ready; ++i) {
    members.push_back(std::make_unique<Member>());
    if (!join(*members.back(), pathIn("reg.sock"), "big")) {
      state.SkipWithError("the group of 127 could not be filled");
      break;
    }
  }
  std::vector<double> us;
  for (auto _ : state) {
    for (auto& m : members) drain(m->evt.get());
    Member joiner;
    const auto start = Clock::now();
    const bool joined = join(joiner, pathIn("reg.sock"), "big");
    const double elapsed = secondsSince(start);
    if (!joined || !leave(joiner)) {
      state.SkipWithError("join or leave failed");
      break;
    }
    state.SetIterationTime(elapsed);
    us.push_back(elapsed * 1e6);
  }
  state.counters["median_us"] = median(us);
  stopChild(server, SIGTERM);
}
BENCHMARK(BM_JoinInto127)->UseManualTime()->Iterations(200);

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
  reporter.pairedRatio("join+leave through velkd, median", "BM_JoinLeaveAgainstFloor", "velkd_us",
                       "floor_us", 2.0);
  reporter.limit("SIGKILL to the survivor's reconfiguration, median", "BM_KillToReconfiguration",
                 "median_us", 1000);
  reporter.limit("join into 127 members, all 128 events written, median", "BM_JoinInto127",
                 "median_us", 1000);
  rmdir(tmpl);
  benchmark::Shutdown();
  return 0;
}
