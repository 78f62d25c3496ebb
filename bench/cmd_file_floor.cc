// BM_StatMissingPath: the floor of every exported call, registered in each
// benchmark binary that links this file.
#include "bench/cmd_file_floor.h"

#include <sys/stat.h>

#include "diag/cmd_file.h"

namespace skgxn {

bool cmdFileAbsent(benchmark::State& state) {
  struct stat st;
  if (stat(kCmdFilePath, &st) == 0) {
    state.SkipWithError("the command file exists; remove it to measure the usual case");
    return false;
  }
  return true;
}

namespace {
void BM_StatMissingPath(benchmark::State& state) {
  if (!cmdFileAbsent(state)) return;
  struct stat st;
  for (auto _ : state) benchmark::DoNotOptimize(stat(kCmdFilePath, &st));
}
BENCHMARK(BM_StatMissingPath);
}  // namespace

}  // namespace skgxn
