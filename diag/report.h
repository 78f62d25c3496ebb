// Error reports of failed system calls, the system log, and the small state
// they share: diagMutex and the severe-error latch.
#ifndef DIAG_REPORT_H_
#define DIAG_REPORT_H_

#include <cstdint>

namespace skgxn {

// Traces "text: error code <code>\n" under TRACE_ERR; severe also sets the
// latch.
void reportError(const char* text, int32_t code, bool severe);
// reportError with "text: <strerror(errno)>" and errno as the code.
void reportErrno(const char* text, bool severe);
// One message to the system log (facility local0) under the identity
// "ID[<pid> Cluster.KVO.SKGXN]" (selector 1) or "... Cluster.KVO.VELKD]"
// (any other selector). Cut to 1023 characters; errno is left as it was.
void sysLog(int priority, int selector, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The latch, read under diagMutex.
bool severeErrorSeen();

// Take and release diagMutex. A failing mutex call is reported once, without
// touching the latch, so a broken mutex cannot recurse or block.
void lockDiag();
void unlockDiag();

// Holds diagMutex for a scope. A lock that failed has been reported and is
// not undone at the end; held() says whether the mutex is this scope's.
class DiagGuard {
 public:
  DiagGuard();
  ~DiagGuard();
  DiagGuard(const DiagGuard&) = delete;
  DiagGuard& operator=(const DiagGuard&) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

}  // namespace skgxn

#endif  // DIAG_REPORT_H_
