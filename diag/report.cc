// Reports of failed system calls, messages to the system log, and the
// diagnostics mutex with the severe-error latch it guards.
#include "diag/report.h"

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "diag/diag_internal.h"
#include "diag/trace.h"

namespace skgxn {

namespace {
constexpr size_t kReportBytes = 512;
constexpr size_t kSysLogBytes = 1024;
constexpr const char* kLibraryTag = "Cluster.KVO.SKGXN";
constexpr const char* kDaemonTag = "Cluster.KVO.VELKD";

// Created once at load and destroyed at exit; mutexReady tells lockDiag
// whether there is a mutex to take (not before load, not after exit).
pthread_mutex_t diagMutex;
std::once_flag diagMutexOnce;
std::atomic<bool> mutexReady{false};
std::atomic<MutexCall> mutexLock{pthread_mutex_lock};
std::atomic<MutexCall> mutexUnlock{pthread_mutex_unlock};

// Guarded by diagMutex; atomic as well so that a read or write made while the
// mutex is failing is still not a data race.
std::atomic<bool> severeSeen{false};

void defaultSysLogSink(const char* ident, int facility, int priority, const char* text) {
  openlog(ident, 0, facility);
  syslog(priority, "%s", text);
  closelog();
}
std::atomic<SysLogSink> sysLogSink{defaultSysLogSink};

// The trace line of reportError, without the latch. Mutex failures are
// reported through this alone: setting the latch would need the very mutex
// that just failed, and a report must never lead to another mutex call.
void traceReport(const char* text, int32_t code) {
  if (!traceEnabled(TRACE_ERR)) return;
  char line[kReportBytes];
  int wanted = std::snprintf(line, sizeof line, "%s: error code %d\n", text, code);
  // An over-long text still gives a line that ends in its newline.
  if (wanted >= static_cast<int>(sizeof line)) line[sizeof line - 2] = '\n';
  traceLine(line, TRACE_ERR);
}

// Takes diagMutex; false (after one report) when it could not be taken.
bool takeDiagMutex() {
  if (!mutexReady.load(std::memory_order_acquire)) return false;
  int rc = mutexLock.load(std::memory_order_relaxed)(&diagMutex);
  if (rc != 0) traceReport("mutex_lock()", rc);
  return rc == 0;
}

void giveDiagMutex() {
  if (!mutexReady.load(std::memory_order_acquire)) return;
  int rc = mutexUnlock.load(std::memory_order_relaxed)(&diagMutex);
  if (rc != 0) traceReport("mutex_unlock()", rc);
}
}  // namespace

void createDiagMutex() {
  std::call_once(diagMutexOnce, [] {
    pthread_mutex_init(&diagMutex, nullptr);
    mutexReady.store(true, std::memory_order_release);
  });
}

void destroyDiagMutex() {
  if (mutexReady.exchange(false, std::memory_order_acq_rel)) pthread_mutex_destroy(&diagMutex);
}

void setDiagMutexCalls(MutexCall lock, MutexCall unlock) {
  mutexLock.store(lock != nullptr ? lock : pthread_mutex_lock, std::memory_order_relaxed);
  mutexUnlock.store(unlock != nullptr ? unlock : pthread_mutex_unlock, std::memory_order_relaxed);
}

SysLogSink setSysLogSink(SysLogSink sink) {
  return sysLogSink.exchange(sink != nullptr ? sink : defaultSysLogSink);
}

void lockDiag() { (void)takeDiagMutex(); }

void unlockDiag() { giveDiagMutex(); }

DiagGuard::DiagGuard() : held_(takeDiagMutex()) {}

DiagGuard::~DiagGuard() {
  if (held_) giveDiagMutex();
}

void reportError(const char* text, int32_t code, bool severe) {
  traceReport(text != nullptr ? text : "", code);
  if (!severe) return;
  // No latch update when the mutex cannot be taken: retrying, or reporting
  // that failure as severe in turn, would never end.
  DiagGuard guard;
  if (guard.held()) severeSeen.store(true, std::memory_order_relaxed);
}

void reportErrno(const char* text, bool severe) {
  int e = errno;
  char reason[256];
  char withReason[kReportBytes];
  // The GNU strerror_r: thread-safe, and gives the C library's own fallback
  // text for a number it has no description of.
  std::snprintf(withReason, sizeof withReason, "%s: %s", text != nullptr ? text : "",
                strerror_r(e, reason, sizeof reason));
  reportError(withReason, e, severe);
  errno = e;
}

void sysLog(int priority, int selector, const char* format, ...) {
  int savedErrno = errno;
  char ident[64];
  std::snprintf(ident, sizeof ident, "ID[%d %s]", static_cast<int>(getpid()),
                selector == 1 ? kLibraryTag : kDaemonTag);
  char text[kSysLogBytes] = "";
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
  sysLogSink.load()(ident, LOG_LOCAL0, priority, text);
  // A failing unlock is traced, and tracing leaves errno alone, so the value
  // restored here is what the caller sees.
  DiagGuard guard;
  errno = savedErrno;
}

bool severeErrorSeen() {
  DiagGuard guard;
  return severeSeen.load(std::memory_order_relaxed);
}

}  // namespace skgxn
