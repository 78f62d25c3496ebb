// Keeps each error-free run's times and counters and prints the summary lines
// that compare them with their targets.
#include "bench/ratio_reporter.h"

#include <unistd.h>

#include <cstdio>

namespace skgxn {

RatioReporter::RatioReporter(FILE* summary)
    : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular), summary_(summary) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    // A skipped or failed run carries no usable time; leaving it out makes
    // its ratio read n/a instead of a meaningless number.
    if (run.error_occurred || run.iterations == 0) continue;
    // Adjusted times are in the run's display unit; ratios need one unit.
    const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    Figures& f = figures_[run.benchmark_name()];
    f.realNs = run.GetAdjustedRealTime() * toNs;
    f.cpuNs = run.GetAdjustedCPUTime() * toNs;
    for (const auto& [name, counter] : run.counters) f.counters[name] = counter.value;
  }
}

const RatioReporter::Figures* RatioReporter::find(const std::string& name) const {
  // Reported names carry the run's options after a slash ("/real_time",
  // "/iterations:200/manual_time"); a figure is looked up by its function.
  for (const auto& [reported, figures] : figures_) {
    if (reported.compare(0, name.size(), name) == 0 &&
        (reported.size() == name.size() || reported[name.size()] == '/')) {
      return &figures;
    }
  }
  return nullptr;
}

void RatioReporter::ratio(const std::string& label, const std::string& measured,
                          const std::string& floor, double maxRatio, Clock clock) {
  const Figures* m = find(measured);
  const Figures* f = find(floor);
  const double mNs = m == nullptr ? 0 : (clock == Clock::kCpu ? m->cpuNs : m->realNs);
  const double fNs = f == nullptr ? 0 : (clock == Clock::kCpu ? f->cpuNs : f->realNs);
  if (mNs <= 0 || fNs <= 0) {
    notMeasured(label, measured + " or " + floor + " has no error-free run");
    return;
  }
  char detail[256];
  std::snprintf(detail, sizeof detail, "%s %.1f ns / %s %.1f ns", measured.c_str(), mNs,
                floor.c_str(), fNs);
  printRatio(label, mNs, fNs, detail, maxRatio);
}

void RatioReporter::pairedRatio(const std::string& label, const std::string& benchmarkName,
                                const std::string& measuredCounter, const std::string& floorCounter,
                                double maxRatio) {
  const Figures* f = find(benchmarkName);
  if (f == nullptr || f->counters.count(measuredCounter) == 0 ||
      f->counters.count(floorCounter) == 0 || f->counters.at(floorCounter) <= 0) {
    notMeasured(label, benchmarkName + " has no error-free run");
    return;
  }
  const double m = f->counters.at(measuredCounter);
  const double fl = f->counters.at(floorCounter);
  char detail[256];
  std::snprintf(detail, sizeof detail, "%s %.1f / %s %.1f", measuredCounter.c_str(), m,
                floorCounter.c_str(), fl);
  printRatio(label, m, fl, detail, maxRatio);
}

void RatioReporter::printRatio(const std::string& label, double measured, double floor,
                               const std::string& detail, double maxRatio) {
  const double r = measured / floor;
  std::fprintf(summary_, "ratio: %-4s %s: %.2fx (%s; target <= %.2fx)\n",
               r <= maxRatio ? "ok" : "MISS", label.c_str(), r, detail.c_str(), maxRatio);
  std::fflush(summary_);
}

void RatioReporter::limit(const std::string& label, const std::string& benchmarkName,
                          const std::string& counter, double maxUs) {
  const Figures* f = find(benchmarkName);
  if (f == nullptr || f->counters.count(counter) == 0) {
    std::fprintf(summary_, "limit: n/a  %s: %s has no error-free run\n", label.c_str(),
                 benchmarkName.c_str());
  } else {
    const double us = f->counters.at(counter);
    std::fprintf(summary_, "limit: %-4s %s: %.1f us (target < %.0f us)\n",
                 us < maxUs ? "ok" : "MISS", label.c_str(), us, maxUs);
  }
  std::fflush(summary_);
}

void RatioReporter::notMeasured(const std::string& label, const std::string& why) {
  std::fprintf(summary_, "ratio: n/a  %s: %s\n", label.c_str(), why.c_str());
  std::fflush(summary_);
}

}  // namespace skgxn
