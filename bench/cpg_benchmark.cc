// Our membership calls beside Corosync's closed process groups on one node:
// the status poll with nothing pending beside cpg_dispatch with nothing
// pending, and a join+leave through velkd beside cpg_join+cpg_leave, each
// waited for until its configuration change confirms it. Run as root in the
// private namespace with velkd running; starts its own single-node Corosync.
#include <benchmark/benchmark.h>
#include <corosync/cpg.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "bench/ratio_reporter.h"
#include "skgxn.h"

namespace skgxn {
namespace {

constexpr const char* kMarkerFifo = "/var/run/.skgxn_registration";
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr int kConfchgWaitMs = 5000;

// A single-node instance on loopback whose files all live in dir: no crypto,
// no real-time scheduling (velkd runs without it too), no move between
// control groups, the log in a file of its own.
bool writeCorosyncConfig(const std::string& dir) {
  std::ofstream conf(dir + "/corosync.conf");
  conf << "totem {\n  version: 2\n  cluster_name: skgxnbench\n  transport: knet\n"
          "  crypto_cipher: none\n  crypto_hash: none\n"
          "  interface {\n    linknumber: 0\n    bindnetaddr: 127.0.0.1\n  }\n}\n"
          "nodelist {\n  node {\n    ring0_addr: 127.0.0.1\n    nodeid: 1\n"
          "    name: benchnode\n  }\n}\n"
          "quorum {\n  provider: corosync_votequorum\n  expected_votes: 1\n}\n"
          "logging {\n  to_logfile: yes\n  logfile: "
       << dir << "/corosync.log\n  to_stderr: no\n  to_syslog: no\n  timestamp: on\n}\n"
       << "system {\n  sched_rr: no\n  move_to_root_cgroup: no\n  state_dir: " << dir << "\n}\n";
  return static_cast<bool>(conf.flush());
}

// The Corosync child and the reason it is not usable, when it is not.
struct Corosync {
  pid_t pid = -1;
  std::string dir;
  std::string failure;
};

pid_t spawnCorosync(const std::string& dir) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open((dir + "/corosync.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    const std::string conf = dir + "/corosync.conf";
    execl("/usr/sbin/corosync", "corosync", "-f", "-c", conf.c_str(), static_cast<char*>(nullptr));
    execlp("corosync", "corosync", "-f", "-c", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// Polls cpg_initialize until it succeeds, the child exits or the limit
// passes; the instance needs a moment to form its one-node membership.
std::string waitForCpg(pid_t& pid, const std::string& dir) {
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  cpg_callbacks_t none{};
  while (std::chrono::steady_clock::now() < deadline) {
    cpg_handle_t handle = 0;
    if (cpg_initialize(&handle, &none) == CS_OK) {
      cpg_finalize(handle);
      return "";
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return WIFEXITED(status) && WEXITSTATUS(status) == 127
                 ? "the corosync program is not installed (Debian package corosync)"
                 : "corosync exited at start with status " +
                       std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "; see " +
                       dir + "/corosync.log and corosync.out";
    }
    poll(nullptr, 0, 100);
  }
  return "cpg_initialize did not succeed within 30 s; see " + dir + "/corosync.log";
}

// True when some Corosync already answers on this machine: its IPC is not
// confined by the mount namespace, so the benchmark would talk to it (and
// join groups there) instead of to its own instance.
bool foreignCorosyncAnswers() {
  cpg_callbacks_t none{};
  cpg_handle_t handle = 0;
  if (cpg_initialize(&handle, &none) != CS_OK) return false;
  cpg_finalize(handle);
  return true;
}

Corosync startCorosync() {
  Corosync c;
  if (foreignCorosyncAnswers()) {
    c.failure = "another Corosync is already running on this machine; stop it first";
    return c;
  }
  char tmpl[] = "/var/tmp/cpg_bench.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    c.failure = std::string("mkdtemp failed: ") + std::strerror(errno);
    return c;
  }
  c.dir = tmpl;
  if (!writeCorosyncConfig(c.dir)) {
    c.failure = "cannot write " + c.dir + "/corosync.conf";
    return c;
  }
  c.pid = spawnCorosync(c.dir);
  if (c.pid < 0) {
    c.failure = std::string("fork failed: ") + std::strerror(errno);
    return c;
  }
  // Reaped and cleared here when it exits during start.
  c.failure = waitForCpg(c.pid, c.dir);
  if (c.failure.empty() && waitpid(c.pid, nullptr, WNOHANG) == c.pid) {
    c.pid = -1;
    c.failure = "corosync exited right after start; see " + c.dir + "/corosync.log";
  }
  return c;
}

void stopCorosync(Corosync& c) {
  if (c.pid <= 0) return;
  kill(c.pid, SIGTERM);
  bool reaped = false;
  for (int i = 0; i < 100 && !reaped; ++i) {
    reaped = waitpid(c.pid, nullptr, WNOHANG) == c.pid;
    if (!reaped) poll(nullptr, 0, 100);
  }
  if (!reaped) {
    kill(c.pid, SIGKILL);
    waitpid(c.pid, nullptr, 0);
  }
  c.pid = -1;
}

// What the configuration changes delivered so far said about this process.
struct ConfchgSeen {
  bool joined = false;
  bool left = false;
};
ConfchgSeen gSeen;

bool listsUs(const cpg_address* list, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (list[i].pid == static_cast<uint32_t>(getpid())) return true;
  }
  return false;
}

void onConfchg(cpg_handle_t, const cpg_name*, const cpg_address*, size_t, const cpg_address* left,
               size_t nLeft, const cpg_address* joined, size_t nJoined) {
  if (listsUs(joined, nJoined)) gSeen.joined = true;
  if (listsUs(left, nLeft)) gSeen.left = true;
}

cpg_callbacks_t gCallbacks{nullptr, onConfchg};

cpg_name groupName(const char* text) {
  cpg_name name{};
  name.length = static_cast<uint32_t>(std::strlen(text));
  std::memcpy(name.value, text, name.length);
  return name;
}

// Dispatches until flag is set; false when nothing arrives for 5 s.
bool dispatchUntil(cpg_handle_t handle, const bool& flag) {
  int fd = -1;
  if (cpg_fd_get(handle, &fd) != CS_OK) return false;
  while (!flag) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kConfchgWaitMs) != 1 || cpg_dispatch(handle, CS_DISPATCH_ALL) != CS_OK) {
      return false;
    }
  }
  return true;
}

// cpg_join and cpg_leave answer TRY_AGAIN while the instance synchronises.
template <typename Call>
bool retryCall(Call call) {
  for (int i = 0; i < 1000; ++i) {
    const cs_error_t rc = call();
    if (rc == CS_OK) return true;
    if (rc != CS_ERR_TRY_AGAIN) return false;
    poll(nullptr, 0, 1);
  }
  return false;
}

bool cpgJoin(cpg_handle_t handle, const cpg_name& name) {
  gSeen = ConfchgSeen();
  return retryCall([&] { return cpg_join(handle, &name); }) && dispatchUntil(handle, gSeen.joined);
}

bool cpgLeave(cpg_handle_t handle, const cpg_name& name) {
  gSeen = ConfchgSeen();
  return retryCall([&] { return cpg_leave(handle, &name); }) && dispatchUntil(handle, gSeen.left);
}

void BM_CpgDispatchNothingPending(benchmark::State& state) {
  cpg_handle_t handle = 0;
  const cpg_name name = groupName("skgxn_bench_idle");
  if (cpg_initialize(&handle, &gCallbacks) != CS_OK || !cpgJoin(handle, name)) {
    state.SkipWithError("cpg_initialize or cpg_join failed");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(cpg_dispatch(handle, CS_DISPATCH_ALL));
  (void)cpgLeave(handle, name);
  cpg_finalize(handle);
}
BENCHMARK(BM_CpgDispatchNothingPending)->UseRealTime();

// A handle that has left a group cannot join again (cpg_join answers
// CS_ERR_EXIST), so each round takes a handle of its own, made and dropped
// outside the timed part: only cpg_join and cpg_leave, each with its
// confirming configuration change, are timed.
void BM_CpgJoinLeave(benchmark::State& state) {
  const cpg_name name = groupName("skgxn_bench_join");
  for (auto _ : state) {
    state.PauseTiming();
    cpg_handle_t handle = 0;
    const bool initialized = cpg_initialize(&handle, &gCallbacks) == CS_OK;
    state.ResumeTiming();
    const bool confirmed = initialized && cpgJoin(handle, name) && cpgLeave(handle, name);
    state.PauseTiming();
    if (initialized) cpg_finalize(handle);
    state.ResumeTiming();
    if (!confirmed) {
      state.SkipWithError("cpg_initialize failed, or cpg_join or cpg_leave was not confirmed");
      break;
    }
  }
}
BENCHMARK(BM_CpgJoinLeave)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The handle that BM_CpgJoinLeave leaves out of its timing, for information:
// our join's connect and leave's close are inside skgxnreg and skgxndrg.
void BM_CpgInitializeFinalize(benchmark::State& state) {
  for (auto _ : state) {
    cpg_handle_t handle = 0;
    if (cpg_initialize(&handle, &gCallbacks) != CS_OK) {
      state.SkipWithError("cpg_initialize failed");
      break;
    }
    cpg_finalize(handle);
  }
}
BENCHMARK(BM_CpgInitializeFinalize)->UseRealTime()->Unit(benchmark::kMicrosecond);

struct Context {
  Context() { (void)skgxncin(&err, &ctx, nullptr, nullptr, nullptr, 0); }
  ~Context() { (void)skgxncdel(&err, &ctx, nullptr, 0); }
  skgxn_result err{};
  skgxn_context ctx{};
};

void BM_PstatNothingPending(benchmark::State& state) {
  Context c;
  skgxn_group group{};
  uint32_t memnum = 0xffffffffu;
  if (skgxnreg(&c.err, &c.ctx, "BENCH_IDLE", &memnum, nullptr, 0, nullptr, 0, &group, nullptr, 0) !=
      1) {
    state.SkipWithError("skgxnreg failed");
    return;
  }
  uint8_t bitmap[16];
  skgxn_memmap memmap{bitmap};
  // The join's reconfiguration is already readable when skgxnreg returns;
  // taking it leaves every measured poll with nothing to read.
  if (skgxnpstat(&c.err, &group, &memmap, 0, nullptr, 0) != skgxngeRCFG) {
    state.SkipWithError("the join's reconfiguration was not pending");
  }
  for (auto _ : state) benchmark::DoNotOptimize(skgxnpstat(&c.err, &group, &memmap, 0, nullptr, 0));
  (void)skgxndrg(&c.err, &group, nullptr, 0);
}
BENCHMARK(BM_PstatNothingPending)->UseRealTime();

void BM_SkgxnJoinLeave(benchmark::State& state) {
  Context c;
  for (auto _ : state) {
    skgxn_group group{};
    uint32_t memnum = 0xffffffffu;
    if (skgxnreg(&c.err, &c.ctx, "BENCH_JOIN", &memnum, nullptr, 0, nullptr, 0, &group, nullptr,
                 0) != 1 ||
        skgxndrg(&c.err, &group, nullptr, 0) != 1) {
      state.SkipWithError("skgxnreg or skgxndrg failed");
      break;
    }
  }
}
BENCHMARK(BM_SkgxnJoinLeave)->UseRealTime()->Unit(benchmark::kMicrosecond);

void reportNotMeasured(const std::string& why) {
  RatioReporter summary;
  summary.notMeasured("status poll vs cpg_dispatch, nothing pending", why);
  summary.notMeasured("join+leave vs cpg_join+cpg_leave", why);
}

}  // namespace
}  // namespace skgxn

int main(int argc, char** argv) {
  struct stat st;
  if (stat(skgxn::kMarkerFifo, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    std::fprintf(stderr,
                 "cpg_benchmark: velkd is not running; run it through bench/run_benchmarks.sh\n");
    skgxn::reportNotMeasured("velkd is not running");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  skgxn::Corosync corosync = skgxn::startCorosync();
  if (!corosync.failure.empty()) {
    std::printf("cpg_benchmark: Corosync is not usable here: %s\n", corosync.failure.c_str());
    skgxn::reportNotMeasured("Corosync did not start: " + corosync.failure);
    skgxn::stopCorosync(corosync);
    return 0;
  }
  skgxn::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  skgxn::stopCorosync(corosync);
  using Clock = skgxn::RatioReporter::Clock;
  reporter.ratio("status poll vs cpg_dispatch, nothing pending", "BM_PstatNothingPending",
                 "BM_CpgDispatchNothingPending", 1.0, Clock::kReal);
  reporter.ratio("join+leave vs cpg_join+cpg_leave", "BM_SkgxnJoinLeave", "BM_CpgJoinLeave", 1.0,
                 Clock::kReal);
  benchmark::Shutdown();
  return 0;
}
