// The runtime command file: the cheap check made at every exported call, and
// the processing of the file's commands when it has changed.
#include "diag/cmd_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "diag/diag_internal.h"
#include "diag/log_file.h"
#include "diag/trace.h"

namespace skgxn {

namespace {
constexpr const char* kSeparators = " \t\r\n\v\f";
constexpr const char* kTraceLogName = "skgxn_client.log";
constexpr const char* kDumpName = "skgxn_client_dump.log";
constexpr uint32_t kAllButVerbose = 0x1F;

// Modification time of the last file processed or ignored. Written under
// traceLock(); read without it by the check, which looks again under the lock.
std::atomic<int64_t> lastMtime{0};
// Change time, in nanoseconds, of the last file looked at and not obeyed (not
// readable, not a regular file, or not trusted), or kNotIgnored. Such a file
// is looked at again once anything about it changes (a chmod or chown moves
// only this time), and never before: why it was ignored is traced once per
// change, not at every call. Written and read like lastMtime.
constexpr int64_t kNotIgnored = -1;
std::atomic<int64_t> ignoredChange{kNotIgnored};

// Which groups of commands the file held; a group it no longer holds goes
// back to its default after the last line.
struct Seen {
  bool trace = false;
  bool output = false;
  bool stats = false;
};

uint32_t categoryBit(std::string_view word) {
  if (word == "EVT") return TRACE_EVT;
  if (word == "CALL") return TRACE_CALL;
  if (word == "MSG") return TRACE_MSG;
  if (word == "CCR") return TRACE_CCR;
  if (word == "VER") return TRACE_VER;
  return 0;
}

// As atoi: optional sign and leading digits, 0 without digits; the result is
// taken as unsigned, so "-1" is a very large limit. Saturates instead of
// overflowing on absurdly long numbers.
uint32_t toNumber(std::string_view word) {
  std::string text(word);
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) value = INT_MAX;
  if (value < INT_MIN) value = INT_MIN;
  return static_cast<uint32_t>(static_cast<int32_t>(value));
}

uint32_t numberOrZero(CmdTokenizer& words) {
  std::string_view word;
  return words.next(word) ? toNumber(word) : 0;
}

std::string pathOr(CmdTokenizer& words, const char* defaultName) {
  std::string_view word;
  if (words.next(word)) return std::string(word);
  return defaultDir() + defaultName;
}

void doDump(CmdTokenizer& words) { dumpTraceRingLocked(pathOr(words, kDumpName).c_str()); }

void doTrace(CmdTokenizer& words, Seen& seen) {
  std::string_view word;
  if (!words.next(word)) return;
  bool on = word == "ON";
  if (!on && word != "OFF") return;
  seen.trace = true;
  uint32_t mask = on ? TRACE_ERR : traceMask.load(std::memory_order_relaxed);
  bool anyWord = false;
  while (words.next(word)) {
    anyWord = true;
    mask = on ? (mask | categoryBit(word)) : (mask & ~categoryBit(word));
  }
  if (!anyWord) mask = on ? kAllButVerbose : TRACE_ERR;
  traceMask.store(mask | TRACE_ERR, std::memory_order_relaxed);
}

void doOutput(CmdTokenizer& words, Seen& seen) {
  std::string_view word;
  if (!words.next(word)) return;
  if (word == "ON") {
    seen.output = true;
    closeTraceLogLocked();
    openTraceLogLocked(pathOr(words, kTraceLogName).c_str());
  } else if (word == "OFF") {
    seen.output = true;
    closeTraceLogLocked();
  } else if (word == "SIZE") {
    diagSettings().outputSize = numberOrZero(words);
  } else if (word == "COUNT") {
    diagSettings().outputCount = numberOrZero(words);
  }
}

void doStats(CmdTokenizer& words, Seen& seen) {
  std::string_view word;
  if (!words.next(word)) return;
  StatsSettings stats = diagSettings().stats;
  if (word == "ON") {
    seen.stats = true;
    stats.dir = pathOr(words, "");
  } else if (word == "OFF") {
    seen.stats = true;
    stats.dir.clear();
  } else if (word == "SIZE") {
    stats.size = numberOrZero(words);
  } else if (word == "COUNT") {
    stats.count = numberOrZero(words);
  } else {
    return;
  }
  setStatsSettings(std::move(stats));
}

void doLine(std::string_view line, Seen& seen) {
  CmdTokenizer words(line);
  std::string_view first;
  if (!words.next(first)) return;
  if (first == "DUMP") {
    doDump(words);
  } else if (first == "TRACE") {
    doTrace(words, seen);
  } else if (first == "OUTPUT") {
    doOutput(words, seen);
  } else if (first == "STATS") {
    doStats(words, seen);
  }
}

void resetUnseen(const Seen& seen) {
  if (!seen.trace) traceMask.store(TRACE_DEFAULT, std::memory_order_relaxed);
  if (!seen.output) closeTraceLogLocked();
  if (!seen.stats) {
    StatsSettings stats = diagSettings().stats;
    stats.dir.clear();
    setStatsSettings(std::move(stats));
  }
}

// Opens the command file for reading and fills st from the descriptor.
// Non-blocking, and regular files only: a FIFO put in its place must not hang
// every exported call.
FILE* openCmdFile(const char* path, struct stat& st) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  FILE* file = ::fdopen(fd, "r");
  if (file == nullptr) ::close(fd);
  return file;
}

void obeyLocked(FILE* file) {
  Seen seen;
  // getline grows the buffer as long lines need; lines have no length limit.
  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length;
  while ((length = ::getline(&buffer, &capacity, file)) >= 0) {
    doLine(std::string_view(buffer, static_cast<size_t>(length)), seen);
  }
  std::free(buffer);
  resetUnseen(seen);
}

// The file can name any path for the trace log and dumps, and the process
// writes there with its own rights: only root or the process's own user may
// give it commands. Writes the reason into why and returns false otherwise.
bool trusted(const struct stat& st, char (&why)[128]) {
  const uid_t self = ::geteuid();
  if (st.st_uid != 0 && st.st_uid != self) {
    std::snprintf(why, sizeof why, "owned by uid %u, neither root nor this process's uid %u",
                  static_cast<unsigned>(st.st_uid), static_cast<unsigned>(self));
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::snprintf(why, sizeof why, "mode %04o lets group or others write it",
                  static_cast<unsigned>(st.st_mode & 07777));
    return false;
  }
  return true;
}

int64_t changeTime(const struct stat& st) {
  return int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
}

// True when the file st describes has not been looked at yet in this state.
bool changedSinceLastLook(const struct stat& st) {
  if (st.st_mtim.tv_sec > lastMtime.load(std::memory_order_relaxed)) return true;
  const int64_t ignored = ignoredChange.load(std::memory_order_relaxed);
  return ignored != kNotIgnored && changeTime(st) != ignored;
}

// An untrusted file counts as no file: errors only, no trace log. The reason
// goes to the trace first, so that a log still open receives it.
void distrustLocked(const char* why) {
  char line[256];
  std::snprintf(line, sizeof line, "checkCmdFile:WARN %s ignored: %s\n", kCmdFilePath, why);
  traceLineLocked(line, TRACE_ERR);
  traceMask.store(TRACE_DEFAULT, std::memory_order_relaxed);
  closeTraceLogLocked();
}

// The file is gone: errors only, no trace log. Looked at again under the lock
// so that a file that has just come back and been processed by another
// thread is not undone here.
void resetForMissingFile() {
  std::lock_guard<std::mutex> guard(traceLock());
  struct stat st;
  if (::stat(kCmdFilePath, &st) == 0) return;
  traceMask.store(TRACE_DEFAULT, std::memory_order_relaxed);
  closeTraceLogLocked();
}

// Looked at again under the lock, so only one thread acts on a change. The
// owner and mode are judged on the descriptor that is read, so a file swapped
// in after the stat cannot slip past the check.
void processIfChanged() {
  std::lock_guard<std::mutex> guard(traceLock());
  struct stat st;
  if (::stat(kCmdFilePath, &st) != 0 || !changedSinceLastLook(st)) return;
  const int64_t mtime = st.st_mtim.tv_sec;
  FileOwner file(openCmdFile(kCmdFilePath, st));
  char why[128];
  int64_t ignored = changeTime(st);
  if (file == nullptr) {
    // Unreadable, or not a regular file: nothing is changed or said.
  } else if (!trusted(st, why)) {
    distrustLocked(why);
  } else {
    obeyLocked(file.get());
    ignored = kNotIgnored;
  }
  ignoredChange.store(ignored, std::memory_order_relaxed);
  lastMtime.store(mtime, std::memory_order_relaxed);
}
}  // namespace

bool CmdTokenizer::next(std::string_view& word) {
  if (pos_ == 0 && !line_.empty() && line_[0] == '#') return false;
  if (pos_ == kEnd) return false;
  size_t start = line_.find_first_not_of(kSeparators, pos_);
  if (start == std::string_view::npos) {
    pos_ = kEnd;
    return false;
  }
  size_t end = line_.find_first_of(kSeparators, start);
  if (end == std::string_view::npos) {
    word = line_.substr(start);
    pos_ = kEnd;
  } else {
    word = line_.substr(start, end - start);
    pos_ = end;
  }
  return true;
}

void checkCmdFile() {
  // This runs at the start of every exported call, so the usual cases cost
  // one stat and a few relaxed loads, and take no lock.
  struct stat st;
  if (::stat(kCmdFilePath, &st) != 0) {
    if (traceMask.load(std::memory_order_relaxed) != TRACE_DEFAULT ||
        traceLogOpen.load(std::memory_order_relaxed)) {
      resetForMissingFile();
    }
    return;
  }
  if (changedSinceLastLook(st)) processIfChanged();
}

void processCmdFile(const char* path) {
  if (path == nullptr) return;
  std::lock_guard<std::mutex> guard(traceLock());
  struct stat st;
  FileOwner file(openCmdFile(path, st));
  if (file != nullptr) obeyLocked(file.get());
}

void resetCmdFileState() {
  std::lock_guard<std::mutex> guard(traceLock());
  lastMtime.store(0, std::memory_order_relaxed);
  ignoredChange.store(kNotIgnored, std::memory_order_relaxed);
}

}  // namespace skgxn
