// The console reporter every benchmark binary uses: the usual table, then
// each figure against its target (a ratio to a floor from the same run, or a
// bound on a median) as "ratio:" / "limit:" lines that run_benchmarks.sh
// gathers into its summary.
#ifndef BENCH_RATIO_REPORTER_H_
#define BENCH_RATIO_REPORTER_H_

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace skgxn {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Which clock a ratio compares: CPU time for work that stays on the
  // calling thread (less noise on a shared machine), wall time for round
  // trips that wait on another process.
  enum class Clock { kCpu, kReal };

  // Prints "ratio: ok|MISS <label>: <measured/floor>x (target <= <maxRatio>x)",
  // or "ratio: n/a <label>: ..." when either benchmark has no error-free run.
  void ratio(const std::string& label, const std::string& measured, const std::string& floor,
             double maxRatio, Clock clock);
  // Like ratio(), for a benchmark that times the measured operation and its
  // floor in turns and keeps the median of each (in us) in two counters.
  void pairedRatio(const std::string& label, const std::string& benchmarkName,
                   const std::string& measuredCounter, const std::string& floorCounter,
                   double maxRatio);
  // Prints "limit: ok|MISS <label>: <value> us (target < <maxUs> us)" for the
  // counter of the named benchmark, in microseconds; n/a when absent.
  void limit(const std::string& label, const std::string& benchmarkName, const std::string& counter,
             double maxUs);
  // Prints "ratio: n/a <label>: <why>" for a comparison this run could not make.
  void notMeasured(const std::string& label, const std::string& why);

  // Summary lines go to summary. The table has colours only on a terminal:
  // run_benchmarks.sh reads the output through a pipe.
  explicit RatioReporter(FILE* summary = stdout);
  void ReportRuns(const std::vector<Run>& runs) override;

 private:
  struct Figures {
    double realNs = 0;
    double cpuNs = 0;
    std::map<std::string, double> counters;
  };
  const Figures* find(const std::string& name) const;
  void printRatio(const std::string& label, double measured, double floor,
                  const std::string& detail, double maxRatio);

  FILE* summary_;
  std::map<std::string, Figures> figures_;
};

}  // namespace skgxn

#endif  // BENCH_RATIO_REPORTER_H_
