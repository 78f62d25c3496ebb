// The membership calls through velkd: the status poll with nothing pending
// (default trace mask, no command file) as a ratio to its floor of one stat
// of a missing path, one empty non-blocking recvmsg and one trace prefix,
// and the join/leave round trip. Run as root in the private namespace with
// velkd running (bench/run_benchmarks.sh starts it).
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "bench/ratio_reporter.h"
#include "diag/cmd_file.h"
#include "diag/trace.h"
#include "skgxn.h"

namespace skgxn {
namespace {

constexpr const char* kMarkerFifo = "/var/run/.skgxn_registration";

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
  // The join's reconfiguration is already readable when skgxnreg returns;
  // taking it leaves every measured poll with nothing to read.
  if (skgxnpstat(&c.err, &group, &memmap, 0, nullptr, 0) != skgxngeRCFG) {
    state.SkipWithError("the join's reconfiguration was not pending");
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
      break;
    }
  }
}
BENCHMARK(BM_JoinLeaveRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace skgxn

int main(int argc, char** argv) {
  struct stat st;
  if (::stat(skgxn::kMarkerFifo, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    std::fprintf(stderr,
                 "poll_benchmark: velkd is not running; run it through bench/run_benchmarks.sh\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  skgxn::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.ratio("status poll, nothing pending", "BM_PstatNoEvent", "BM_FloorEmptyPoll", 1.5,
                 skgxn::RatioReporter::Clock::kCpu);
  benchmark::Shutdown();
  return 0;
}
