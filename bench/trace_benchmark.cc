// Costs of the diagnostics on every exported call: a trace line the mask
// filters out, and the command-file check when there is no command file,
// each as a ratio to a floor measured in the same run. Run in the private
// namespace, so that no command file exists.
#include <benchmark/benchmark.h>

#include <atomic>

#include "bench/cmd_file_floor.h"
#include "bench/ratio_reporter.h"
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

void BM_CheckCmdFileWithoutFile(benchmark::State& state) {
  if (!cmdFileAbsent(state)) return;
  for (auto _ : state) checkCmdFile();
}
BENCHMARK(BM_CheckCmdFileWithoutFile);

}  // namespace
}  // namespace skgxn

int main(int argc, char** argv) {
  skgxn::loadDiagnostics();
  benchmark::Initialize(&argc, argv);
  skgxn::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // CPU time: both pairs stay on this thread, and a shared machine's wall
  // clock is noisy.
  using Clock = skgxn::RatioReporter::Clock;
  reporter.ratio("filtered trace line", "BM_TraceLineFilteredOut", "BM_CallLoadingMask", 1.5,
                 Clock::kCpu);
  reporter.ratio("command-file check without file", "BM_CheckCmdFileWithoutFile",
                 "BM_StatMissingPath", 1.5, Clock::kCpu);
  benchmark::Shutdown();
  return 0;
}
