// traceLine and the trace record and trace log behind it: the prefix, the
// 511-character cut, and opening, closing and dumping under traceLock().
#include "diag/trace.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "diag/diag_internal.h"
#include "diag/log_file.h"
#include "diag/str_util.h"
#include "diag/trace_ring.h"

namespace skgxn {

std::atomic<uint32_t> traceMask{TRACE_DEFAULT};
std::atomic<bool> traceLogOpen{false};

namespace {
constexpr size_t kPrefixBytes = 64;
constexpr size_t kLineBytes = 512;

// Both under traceLock(). At exit (process exit or unload) the record is
// freed and the log closed, each set to null under the lock, so a late line
// from another thread is dropped rather than written through a freed object.
TraceRing* traceRecord = nullptr;
LogFile* traceLog = nullptr;

// Bumped in the child of every fork: the process and thread ids change there.
std::atomic<uint32_t> forkGeneration{0};

void noteFork() { forkGeneration.fetch_add(1, std::memory_order_relaxed); }

const char* callerIds() {
  // "[pid:tid] " is made once per thread (and again after a fork): the status
  // poll writes a prefixed line on every call, and two system calls for ids
  // that never change would be a large part of its cost.
  static std::once_flag atforkOnce;
  std::call_once(atforkOnce, [] { pthread_atfork(nullptr, nullptr, noteFork); });
  thread_local uint32_t generation = UINT32_MAX;
  thread_local char ids[kPrefixBytes];
  const uint32_t now = forkGeneration.load(std::memory_order_relaxed);
  if (generation != now) {
    std::snprintf(ids, sizeof ids, "[%d:%d] ", static_cast<int>(getpid()),
                  static_cast<int>(gettid()));
    generation = now;
  }
  return ids;
}
}  // namespace

size_t formatTracePrefixAt(time_t now, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return 0;
  size_t bound = size < kPrefixBytes ? size : kPrefixBytes;
  char timePart[kPrefixBytes] = "";
  struct tm local;
  bool haveTime = false;
  if (now >= 0) {
    std::lock_guard<std::mutex> guard(clockLock());
    haveTime = localtime_r(&now, &local) != nullptr &&
               std::strftime(timePart, sizeof timePart, "%b %d %T", &local) != 0;
  }
  if (!haveTime) timePart[0] = '\0';
  strlcpy(buf, timePart, bound);
  strlcat(buf, callerIds(), bound);
  return strnlen(buf, bound);
}

size_t formatTracePrefix(char* buf, size_t size) {
  return formatTracePrefixAt(time(nullptr), buf, size);
}

namespace {
// The prefixed line, cut to kLineBytes - 1 characters with its newline kept.
void formatLine(const char* text, char (&line)[kLineBytes]) {
  formatTracePrefix(line, kPrefixBytes);
  if (strlcat(line, text, sizeof line) >= sizeof line) {
    line[kLineBytes - 2] = '\n';
    line[kLineBytes - 1] = '\0';
  }
}

void storeLineLocked(const char* line) {
  if (traceRecord != nullptr) traceRecord->store(line);
  if (traceLog != nullptr) {
    traceLog->write(line);
    traceLog->flush();
  }
}
}  // namespace

void traceLine(const char* text, uint32_t category) {
  if (!traceEnabled(category) || text == nullptr) return;
  // Callers often trace right after a failed system call and then look at
  // errno themselves; the log write must not disturb it.
  int savedErrno = errno;
  char line[kLineBytes];
  formatLine(text, line);
  {
    std::lock_guard<std::mutex> guard(traceLock());
    storeLineLocked(line);
  }
  errno = savedErrno;
}

void traceLineLocked(const char* text, uint32_t category) {
  if (!traceEnabled(category) || text == nullptr) return;
  int savedErrno = errno;
  char line[kLineBytes];
  formatLine(text, line);
  storeLineLocked(line);
  errno = savedErrno;
}

void createTraceRecord() {
  if (traceRecord == nullptr) traceRecord = new TraceRing(kTraceRingBytes);
}

void releaseTraceRecord() {
  delete traceRecord;
  traceRecord = nullptr;
}

void openTraceLogLocked(const char* path) {
  if (path == nullptr) return;
  const DiagSettings& settings = diagSettings();
  // An earlier log could never be reached again, so it is closed, not leaked.
  closeTraceLogLocked();
  traceLog = new LogFile(path, kLogFileMode, settings.outputSize, settings.outputCount);
  // The marker is on disk at once, so an administrator sees the switch.
  traceLog->flush();
  traceLogOpen.store(true, std::memory_order_relaxed);
}

void closeTraceLogLocked() {
  delete traceLog;
  traceLog = nullptr;
  traceLogOpen.store(false, std::memory_order_relaxed);
}

void dumpTraceRingLocked(const char* path) {
  FileOwner out(openLogStream(path, kLogFileMode, true));
  if (out != nullptr && traceRecord != nullptr) traceRecord->writeTo(out.get());
}

void openTraceLog(const char* path) {
  std::lock_guard<std::mutex> guard(traceLock());
  openTraceLogLocked(path);
}

void closeTraceLog() {
  std::lock_guard<std::mutex> guard(traceLock());
  closeTraceLogLocked();
}

void dumpTraceRing(const char* path) {
  std::lock_guard<std::mutex> guard(traceLock());
  dumpTraceRingLocked(path);
}

}  // namespace skgxn
