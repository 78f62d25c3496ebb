// The process-wide diagnostics settings behind the trace log and the
// statistics files, the lock that serialises them, and their load and exit.
// Writers: the command-file check only, always under traceLock().
#ifndef DIAG_DIAG_STATE_H_
#define DIAG_DIAG_STATE_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace skgxn {

class TraceRing;

inline constexpr uint32_t kTraceRingBytes = 65536;
inline constexpr uint32_t kLogFileMode = 0666;

struct StatsSettings {
  std::string dir;  // empty: statistics off
  uint32_t size = 0;
  uint32_t count = 0;
};

// One lock over trace writes, trace-log replacement, the settings and the
// whole command-file check. Never held while diagMutex is taken for a trace.
std::mutex& traceLock();

// Held around the C library's local-time conversion, and by the fork
// handler, so no thread of ours is inside it when the process forks: the C
// library's own time-zone lock is not reset in the child, whose first trace
// or statistics line would otherwise wait for it for ever. Held last: no
// other lock is taken under it.
std::mutex& clockLock();

// "/var/tmp/": home of the default trace log, dump file and statistics files.
const std::string& defaultDir();

// True while statistics are on; lets the status poll skip the lock.
extern std::atomic<bool> statsEnabled;
// A copy of the statistics settings, taken under traceLock().
StatsSettings statsSettings();

// Load-time set-up, in order: defaultDir, diagMutex, statsDir (empty), the
// trace record. Exit (process exit or unload): the trace record is released,
// the trace log closed and diagMutex destroyed.
void loadDiagnostics();
void releaseDiagnostics();

}  // namespace skgxn

#endif  // DIAG_DIAG_STATE_H_
