// Cost of a whole exported call on the usual path (default trace mask, no
// command file): skgxnqtsz through libskgxn2.so.1, as a ratio to a bare stat
// of the same missing path, which every call makes for the command file.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "skgxn.h"

namespace {

// The command file's path; the library's own constant is internal.
constexpr const char* kCmdFile = "/var/cluster/velk/skgxn_client_cmd";

bool cmdFileAbsent(benchmark::State& state) {
  struct stat st;
  if (stat(kCmdFile, &st) == 0) {
    state.SkipWithError("the command file exists; remove it to measure the usual case");
    return false;
  }
  return true;
}

void BM_StatMissingPath(benchmark::State& state) {
  if (!cmdFileAbsent(state)) return;
  struct stat st;
  for (auto _ : state) benchmark::DoNotOptimize(stat(kCmdFile, &st));
}
BENCHMARK(BM_StatMissingPath);

void BM_QueryTypeSize(benchmark::State& state) {
  if (!cmdFileAbsent(state)) return;
  skgxn_result err;
  for (auto _ : state) benchmark::DoNotOptimize(skgxnqtsz(&err, SKGXN_TYPE_CONTEXT, nullptr, 0));
}
BENCHMARK(BM_QueryTypeSize);

// Keeps each benchmark's time per iteration for the ratio printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void printRatio(const char* what, const char* measured, const char* floor) const {
    auto m = times_.find(measured);
    auto f = times_.find(floor);
    if (m == times_.end() || f == times_.end() || f->second <= 0) return;
    std::printf("%s: %.2fx (%s / %s)\n", what, m->second / f->second, measured, floor);
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatio("skgxnqtsz without command file", "BM_QueryTypeSize", "BM_StatMissingPath");
  benchmark::Shutdown();
  return 0;
}
