// Costs of the diagnostics on every exported call: a trace line the mask
// filters out, and the command-file check when there is no command file,
// each as a ratio to a floor measured in the same run.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>

#include "diag/cmd_file.h"
#include "diag/diag_state.h"
#include "diag/trace.h"

namespace skgxn {
namespace {

// Floor for the filtered trace line: an out-of-line call that loads the mask.
__attribute__((noinline)) bool loadMask(uint32_t category) {
  return (traceMask.load(std::memory_order_relaxed) & category) != 0;
}

void BM_CallLoadingMask(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(loadMask(TRACE_CALL));
}
BENCHMARK(BM_CallLoadingMask);

void BM_TraceLineFilteredOut(benchmark::State& state) {
  for (auto _ : state) traceLine("bench:ENTER filtered\n", TRACE_CALL);
}
BENCHMARK(BM_TraceLineFilteredOut);

bool cmdFileAbsent(benchmark::State& state) {
  struct stat st;
  if (stat(kCmdFilePath, &st) == 0) {
    state.SkipWithError("the command file exists; remove it to measure the usual case");
    return false;
  }
  return true;
}

// Floor for the check: the bare stat of the same missing path.
void BM_StatMissingPath(benchmark::State& state) {
  if (!cmdFileAbsent(state)) return;
  struct stat st;
  for (auto _ : state) benchmark::DoNotOptimize(stat(kCmdFilePath, &st));
}
BENCHMARK(BM_StatMissingPath);

void BM_CheckCmdFileWithoutFile(benchmark::State& state) {
  if (!cmdFileAbsent(state)) return;
  for (auto _ : state) checkCmdFile();
}
BENCHMARK(BM_CheckCmdFileWithoutFile);

// Keeps each benchmark's CPU time per iteration for the ratios printed at the
// end; CPU time, because the wall clock of a shared machine is noisy.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (!run.error_occurred) times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
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
}  // namespace skgxn

int main(int argc, char** argv) {
  skgxn::loadDiagnostics();
  benchmark::Initialize(&argc, argv);
  skgxn::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatio("filtered trace line", "BM_TraceLineFilteredOut", "BM_CallLoadingMask");
  reporter.printRatio("command-file check without file", "BM_CheckCmdFileWithoutFile",
                      "BM_StatMissingPath");
  benchmark::Shutdown();
  return 0;
}
