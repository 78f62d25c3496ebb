// The statistics record and the lock that lets polls of different groups
// store into it from several threads.
#include "group/stats_ring.h"

#include <mutex>

#include "diag/trace_ring.h"

namespace skgxn {

namespace {
// Written at load and exit only, under statsLock; never destroyed itself so
// that a late poll during process exit finds a null ring, not a freed one.
std::mutex& statsLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
TraceRing* statsRing = nullptr;
}  // namespace

void createStatsRing() {
  std::lock_guard<std::mutex> guard(statsLock());
  if (statsRing == nullptr) statsRing = new TraceRing(kStatsRingBytes);
}

void releaseStatsRing() {
  std::lock_guard<std::mutex> guard(statsLock());
  delete statsRing;
  statsRing = nullptr;
}

void storeStatsLine(const char* line) {
  std::lock_guard<std::mutex> guard(statsLock());
  if (statsRing != nullptr) statsRing->store(line);
}

void writeStatsRing(FILE* out) {
  std::lock_guard<std::mutex> guard(statsLock());
  if (statsRing != nullptr) statsRing->writeTo(out);
}

void lockStatsRing() { statsLock().lock(); }

void unlockStatsRing() { statsLock().unlock(); }

}  // namespace skgxn
