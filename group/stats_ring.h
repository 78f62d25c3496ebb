// The process-wide in-memory record of recent poll-statistics lines. It is
// filled by every poll of every group and never written to a file.
#ifndef GROUP_STATS_RING_H_
#define GROUP_STATS_RING_H_

#include <cstdint>
#include <cstdio>

namespace skgxn {

inline constexpr uint32_t kStatsRingBytes = 262144;

// Created first at library load; released at process exit.
void createStatsRing();
void releaseStatsRing();

// Stores one line (the ring's storing rule); nothing before creation or
// after release. Safe from several threads.
void storeStatsLine(const char* line);
// Writes the stored lines, oldest first (for tests and dumps).
void writeStatsRing(FILE* out);

// Take and release the record's lock; only for holding it across fork(), so
// that a child never inherits it taken by a thread it does not have.
void lockStatsRing();
void unlockStatsRing();

}  // namespace skgxn

#endif  // GROUP_STATS_RING_H_
