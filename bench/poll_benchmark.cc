// The membership calls through velkd: the status poll with nothing pending
// (default trace mask, no command file) as a ratio to its floor of one stat
// of a missing path, one empty non-blocking recvmsg and one trace prefix,
// and the join/leave round trip. Run as root in the private namespace.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "diag/cmd_file.h"
#include "diag/trace.h"
#include "skgxn.h"

namespace skgxn {
namespace {

constexpr const char* kNotifySocket = "/run/velkd/bench-notify.sock";

// Starts velkd in the foreground and waits for its readiness notification.
pid_t startVelkd() {
  ::unlink(kNotifySocket);
  const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, kNotifySocket, sizeof addr.sun_path - 1);
  if (::bind(notify, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int log = ::open("/var/tmp/velkd.out", O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::setenv("NOTIFY_SOCKET", kNotifySocket, 1);
    ::execl(VELKD_PATH, "velkd", "-f", static_cast<char*>(nullptr));
    _exit(127);
  }
  pollfd ready{notify, POLLIN, 0};
  char text[256];
  const bool up = ::poll(&ready, 1, 10000) == 1 && ::recv(notify, text, sizeof text, 0) > 0;
  ::close(notify);
  return up ? pid : -1;
}

struct Context {
  Context() { (void)skgxncin(&err, &ctx, nullptr, nullptr, nullptr, 0); }
  ~Context() { (void)skgxncdel(&err, &ctx, nullptr, 0); }
  skgxn_result err{};
  skgxn_context ctx{};
};

void BM_FloorEmptyPoll(benchmark::State& state) {
  int pair[2];
  ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair);
  uint8_t buffer[1024];
  char prefix[96];
  for (auto _ : state) {
    struct stat st;
    benchmark::DoNotOptimize(::stat(kCmdFilePath, &st));
    iovec iov{buffer, sizeof buffer};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    benchmark::DoNotOptimize(::recvmsg(pair[0], &msg, MSG_DONTWAIT));
    benchmark::DoNotOptimize(formatTracePrefix(prefix, sizeof prefix));
  }
  ::close(pair[0]);
  ::close(pair[1]);
}
BENCHMARK(BM_FloorEmptyPoll);

void BM_PstatNoEvent(benchmark::State& state) {
  Context c;
  skgxn_group group{};
  uint32_t memnum = 0;
  if (skgxnreg(&c.err, &c.ctx, "BENCH", &memnum, nullptr, 0, nullptr, 0, &group, nullptr, 0) != 1) {
    state.SkipWithError("join failed");
    return;
  }
  uint8_t bitmap[16];
  skgxn_memmap memmap{bitmap};
  // Takes the join's reconfiguration, so every measured poll finds nothing.
  while (skgxnpstat(&c.err, &group, &memmap, 0, nullptr, 0) != skgxngeRCFG) {
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(skgxnpstat(&c.err, &group, &memmap, 0, nullptr, 0));
  }
  (void)skgxndrg(&c.err, &group, nullptr, 0);
}
BENCHMARK(BM_PstatNoEvent);

void BM_JoinLeaveRoundTrip(benchmark::State& state) {
  Context c;
  for (auto _ : state) {
    skgxn_group group{};
    uint32_t memnum = 0xffffffffu;
    if (skgxnreg(&c.err, &c.ctx, "BENCH", &memnum, nullptr, 0, nullptr, 0, &group, nullptr, 0) !=
            1 ||
        skgxndrg(&c.err, &group, nullptr, 0) != 1) {
      state.SkipWithError("join or leave failed");
      return;
    }
  }
}
BENCHMARK(BM_JoinLeaveRoundTrip)->Unit(benchmark::kMicrosecond);

// Prints the usual table, then the poll as a ratio to its floor.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.iterations > 0) nsPerOp_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto poll = nsPerOp_.find("BM_PstatNoEvent");
    const auto floor = nsPerOp_.find("BM_FloorEmptyPoll");
    if (poll == nsPerOp_.end() || floor == nsPerOp_.end() || floor->second <= 0) return;
    std::printf(
        "\nRatio to the floor measured in this run:\n  BM_PstatNoEvent / "
        "BM_FloorEmptyPoll = %.2fx\n",
        poll->second / floor->second);
  }

 private:
  std::map<std::string, double> nsPerOp_;
};

}  // namespace
}  // namespace skgxn

int main(int argc, char** argv) {
  const pid_t velkd = skgxn::startVelkd();
  if (velkd < 0) {
    std::fprintf(stderr, "poll_benchmark: velkd did not start (run in the test namespace)\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  skgxn::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  ::kill(velkd, SIGKILL);
  ::waitpid(velkd, nullptr, 0);
  return 0;
}
