// Cost of a whole exported call on the usual path (default trace mask, no
// command file): skgxnqtsz through libskgxn2.so.1, as a ratio to a bare stat
// of the same missing path, which every call makes for the command file. Run
// in the private namespace, so that no command file exists.
#include <benchmark/benchmark.h>

#include "bench/cmd_file_floor.h"
#include "bench/ratio_reporter.h"
#include "skgxn.h"

namespace {

void BM_QueryTypeSize(benchmark::State& state) {
  if (!skgxn::cmdFileAbsent(state)) return;
  skgxn_result err;
  for (auto _ : state) benchmark::DoNotOptimize(skgxnqtsz(&err, SKGXN_TYPE_CONTEXT, nullptr, 0));
}
BENCHMARK(BM_QueryTypeSize);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  skgxn::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.ratio("skgxnqtsz without command file", "BM_QueryTypeSize", "BM_StatMissingPath", 1.3,
                 skgxn::RatioReporter::Clock::kCpu);
  benchmark::Shutdown();
  return 0;
}
