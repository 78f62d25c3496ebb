// The floor of every exported call: a bare stat of the command file's path,
// which is missing in the usual case. Linked into each benchmark that
// measures a call against it.
#ifndef BENCH_CMD_FILE_FLOOR_H_
#define BENCH_CMD_FILE_FLOOR_H_

#include <benchmark/benchmark.h>

namespace skgxn {

// False (and the benchmark skipped with a reason) when a command file exists:
// the figures are for the usual case without one.
bool cmdFileAbsent(benchmark::State& state);

}  // namespace skgxn

#endif  // BENCH_CMD_FILE_FLOOR_H_
