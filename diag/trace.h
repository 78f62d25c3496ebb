// The process-wide trace mask and traceLine, through which every component
// reports; the trace log behind it is switched by the command file.
// Lines reach the in-memory trace record always and the trace log when open.
#ifndef DIAG_TRACE_H_
#define DIAG_TRACE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace skgxn {

constexpr uint32_t TRACE_ERR = 0x01;   // errors and warnings; never switched off
constexpr uint32_t TRACE_EVT = 0x02;   // status-poll interval warnings and event lines
constexpr uint32_t TRACE_CALL = 0x04;  // entry and exit lines of the exported calls
constexpr uint32_t TRACE_MSG = 0x08;   // daemon request entry and exit lines
constexpr uint32_t TRACE_CCR = 0x10;   // settable, tested by nobody
constexpr uint32_t TRACE_VER = 0x20;   // with TRACE_MSG: full message dumps
constexpr uint32_t TRACE_DEFAULT = TRACE_ERR;

// Written only by the command-file check (under traceLock()); read anywhere
// without a lock, since a stale value only decides whether one line is written.
extern std::atomic<uint32_t> traceMask;

inline bool traceEnabled(uint32_t category) {
  return (traceMask.load(std::memory_order_relaxed) & category) != 0;
}

// Writes text (which ends in its own newline) with the time/pid/tid prefix to
// the trace record and the open trace log, if the mask has a bit of category.
// A line longer than 511 characters is cut to 510 and a newline.
void traceLine(const char* text, uint32_t category);
inline void traceLine(const std::string& text, uint32_t category) {
  if (traceEnabled(category)) traceLine(text.c_str(), category);
}

// Writes the line prefix, e.g. "Dec 05 09:03:59[812:1] ", into buf (at least
// 64 bytes) and returns its length. The time part is empty when the clock or
// its formatting fails.
size_t formatTracePrefix(char* buf, size_t size);

// Makes a new trace log at path with the current size and count settings.
// An earlier one is closed first, so there is never more than one. Null:
// nothing.
void openTraceLog(const char* path);
// Closes the trace log, if one is open.
void closeTraceLog();
// Writes the trace record, oldest line first, to path (truncated). Null or a
// file that cannot be opened: nothing happens.
void dumpTraceRing(const char* path);

}  // namespace skgxn

#endif  // DIAG_TRACE_H_
