// Tests of the benchmarks' summary: that a ratio compares like with like
// (one unit, the right run) and that a run without usable figures reads n/a
// rather than a number.
#include "bench/ratio_reporter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace skgxn {
namespace {

using BenchRun = benchmark::BenchmarkReporter::Run;

// A run of `function` (with the reported option suffix) whose time per
// iteration is realPerIter and cpuPerIter seconds, displayed in unit.
BenchRun makeRun(const std::string& function, const std::string& suffix, double realPerIter,
                 double cpuPerIter, benchmark::TimeUnit unit = benchmark::kNanosecond) {
  BenchRun run;
  run.run_name.function_name = function;
  run.run_name.time_type = suffix;
  run.iterations = 1000;
  run.time_unit = unit;
  run.real_accumulated_time = realPerIter * 1000;
  run.cpu_accumulated_time = cpuPerIter * 1000;
  return run;
}

// The reporter with its table sent to a string and its summary to a
// temporary file, read back by summary().
class RatioReporterTest : public testing::Test {
 protected:
  RatioReporterTest() : file_(std::tmpfile()), reporter_(file_) {
    reporter_.SetOutputStream(&table_);
    reporter_.SetErrorStream(&table_);
  }
  ~RatioReporterTest() override { std::fclose(file_); }

  void report(const std::vector<BenchRun>& runs) { reporter_.ReportRuns(runs); }

  std::string summary() {
    std::fflush(file_);
    std::rewind(file_);
    std::string text;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, file_) != nullptr) text += chunk;
    return text;
  }

  std::FILE* file_;
  std::ostringstream table_;
  RatioReporter reporter_;
};

TEST_F(RatioReporterTest, RatioComparesRunsShownInDifferentUnits) {
  // 150 us displayed in microseconds against 50 us displayed in nanoseconds.
  report({makeRun("BM_Measured", "", 150e-6, 150e-6, benchmark::kMicrosecond),
          makeRun("BM_Floor", "", 50e-6, 50e-6, benchmark::kNanosecond)});
  reporter_.ratio("label", "BM_Measured", "BM_Floor", 5.0, RatioReporter::Clock::kReal);
  EXPECT_NE(
      summary().find("ratio: ok   label: 3.00x (BM_Measured 150000.0 ns / BM_Floor 50000.0 ns"),
      std::string::npos)
      << summary();
}

TEST_F(RatioReporterTest, RatioUsesTheClockAskedFor) {
  report({makeRun("BM_A", "", 4e-6, 1e-6), makeRun("BM_B", "", 1e-6, 1e-6)});
  reporter_.ratio("cpu", "BM_A", "BM_B", 2.0, RatioReporter::Clock::kCpu);
  reporter_.ratio("real", "BM_A", "BM_B", 2.0, RatioReporter::Clock::kReal);
  const std::string text = summary();
  EXPECT_NE(text.find("ratio: ok   cpu: 1.00x"), std::string::npos) << text;
  EXPECT_NE(text.find("ratio: MISS real: 4.00x"), std::string::npos) << text;
}

TEST_F(RatioReporterTest, FindsRunsByFunctionDespiteOptionSuffixes) {
  // BM_FloorExtra must not be taken for BM_Floor just because it starts alike.
  report({makeRun("BM_FloorExtra", "", 100e-9, 100e-9),
          makeRun("BM_Floor", "real_time", 10e-9, 10e-9),
          makeRun("BM_Measured", "iterations:200/manual_time", 20e-9, 20e-9)});
  reporter_.ratio("label", "BM_Measured", "BM_Floor", 3.0, RatioReporter::Clock::kReal);
  EXPECT_NE(summary().find("ratio: ok   label: 2.00x"), std::string::npos) << summary();
}

TEST_F(RatioReporterTest, SkippedOrMissingRunsReadNotMeasured) {
  BenchRun skipped = makeRun("BM_Measured", "", 1e-9, 1e-9);
  skipped.error_occurred = true;
  skipped.error_message = "daemon did not start";
  report({skipped, makeRun("BM_Floor", "", 1e-9, 1e-9)});
  reporter_.ratio("skipped", "BM_Measured", "BM_Floor", 2.0, RatioReporter::Clock::kCpu);
  reporter_.ratio("absent", "BM_Other", "BM_Floor", 2.0, RatioReporter::Clock::kCpu);
  reporter_.limit("no counter", "BM_Floor", "median_us", 1000);
  reporter_.pairedRatio("no pair", "BM_Floor", "a_us", "b_us", 2.0);
  const std::string text = summary();
  EXPECT_NE(text.find("ratio: n/a  skipped:"), std::string::npos) << text;
  EXPECT_NE(text.find("ratio: n/a  absent:"), std::string::npos) << text;
  EXPECT_NE(text.find("limit: n/a  no counter:"), std::string::npos) << text;
  EXPECT_NE(text.find("ratio: n/a  no pair:"), std::string::npos) << text;
  EXPECT_EQ(text.find(" ok "), std::string::npos) << text;
}

TEST_F(RatioReporterTest, CountersGiveLimitsAndPairedRatios) {
  BenchRun run = makeRun("BM_Pair", "manual_time", 1e-6, 1e-6);
  run.counters["median_us"] = benchmark::Counter(1200);
  run.counters["mine_us"] = benchmark::Counter(90);
  run.counters["floor_us"] = benchmark::Counter(60);
  report({run});
  reporter_.limit("median", "BM_Pair", "median_us", 1000);
  reporter_.pairedRatio("paired", "BM_Pair", "mine_us", "floor_us", 2.0);
  const std::string text = summary();
  EXPECT_NE(text.find("limit: MISS median: 1200.0 us (target < 1000 us)"), std::string::npos)
      << text;
  EXPECT_NE(text.find("ratio: ok   paired: 1.50x (mine_us 90.0 / floor_us 60.0"), std::string::npos)
      << text;
}

}  // namespace
}  // namespace skgxn
