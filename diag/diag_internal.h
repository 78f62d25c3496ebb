// Interfaces between the diagnostics files, and the seams their tests use.
// Nothing outside diag/ includes this header, apart from diag's own tests and
// benchmark.
#ifndef DIAG_DIAG_INTERNAL_H_
#define DIAG_DIAG_INTERNAL_H_

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "diag/diag_state.h"

namespace skgxn {

// The settings the command file writes, read and written under traceLock().
struct DiagSettings {
  uint32_t outputSize = 0;   // trace log size limit, 0 = none
  uint32_t outputCount = 0;  // trace log generations
  StatsSettings stats;
};
DiagSettings& diagSettings();
// Stores new statistics settings and keeps statsEnabled in step.
void setStatsSettings(StatsSettings stats);

// The trace record, and the trace log. All of the *Locked calls and the
// record's create and release expect traceLock() to be held.
void createTraceRecord();
void releaseTraceRecord();
void openTraceLogLocked(const char* path);
// traceLine for a caller that already holds traceLock().
void traceLineLocked(const char* text, uint32_t category);
void closeTraceLogLocked();
void dumpTraceRingLocked(const char* path);
// True while a trace log is open; lets the command-file check skip the lock
// when the file is missing and there is nothing to close.
extern std::atomic<bool> traceLogOpen;

// formatTracePrefix for a given clock reading; a negative time (or one that
// cannot be converted) leaves the time part empty.
size_t formatTracePrefixAt(time_t now, char* buf, size_t size);

// Processes the command file at path under traceLock(), as the check does
// for the fixed path once its time has moved forward and its owner and mode
// have passed.
void processCmdFile(const char* path);
// Forgets the times of the last file processed or ignored.
void resetCmdFileState();

// diagMutex's life: created once at load, destroyed at exit.
void createDiagMutex();
void destroyDiagMutex();
// The calls lockDiag and unlockDiag make; replaceable so that tests can make
// the mutex fail. Passing null restores pthread_mutex_lock/unlock.
using MutexCall = int (*)(pthread_mutex_t*);
void setDiagMutexCalls(MutexCall lock, MutexCall unlock);

// Where sysLog's messages go: the identity, the facility, the priority and the
// finished text. The default opens, writes and closes the system log; null
// restores it. Returns the previous sink.
using SysLogSink = void (*)(const char* ident, int facility, int priority, const char* text);
SysLogSink setSysLogSink(SysLogSink sink);

}  // namespace skgxn

#endif  // DIAG_DIAG_INTERNAL_H_
