// The process-wide diagnostics settings, the lock over them and the trace
// writers, and the load and exit steps of the whole diagnostics subsystem.
#include "diag/diag_state.h"

#include <utility>

#include "diag/diag_internal.h"

namespace skgxn {

// Written only by the command-file check, under traceLock().
std::atomic<bool> statsEnabled{false};

// The holders below are allocated once and never destroyed: a thread still
// tracing while the process exits must find them intact.
std::mutex& traceLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

std::mutex& clockLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

const std::string& defaultDir() {
  static const auto* dir = new std::string("/var/tmp/");
  return *dir;
}

DiagSettings& diagSettings() {
  static auto* settings = new DiagSettings;
  return *settings;
}

StatsSettings statsSettings() {
  std::lock_guard<std::mutex> guard(traceLock());
  return diagSettings().stats;
}

void setStatsSettings(StatsSettings stats) {
  diagSettings().stats = std::move(stats);
  statsEnabled.store(!diagSettings().stats.dir.empty(), std::memory_order_relaxed);
}

void loadDiagnostics() {
  (void)defaultDir();
  createDiagMutex();
  std::lock_guard<std::mutex> guard(traceLock());
  setStatsSettings(StatsSettings{"", diagSettings().stats.size, diagSettings().stats.count});
  createTraceRecord();
}

void releaseDiagnostics() {
  {
    std::lock_guard<std::mutex> guard(traceLock());
    releaseTraceRecord();
    // Every line is already flushed; closing matters when the library is
    // unloaded, where an open log would leak its descriptor at every cycle.
    closeTraceLogLocked();
  }
  destroyDiagMutex();
}

}  // namespace skgxn
