// What the tests of every folder share: the diagnostics load step a static test
// binary lacks, a scratch directory, files, the command file rewritten, the
// trace lines a test produced, and descriptor counts.
#ifndef DIAG_TEST_SUPPORT_H_
#define DIAG_TEST_SUPPORT_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "diag/cmd_file.h"
#include "diag/diag_state.h"
#include "diag/trace.h"

namespace skgxn::test {

// What the library's load initialiser does for the diagnostics.
struct DiagEnvironment : ::testing::Environment {
  void SetUp() override { loadDiagnostics(); }
};

// A fresh directory, removed with its contents at the end of the scope.
class ScratchDir {
 public:
  ScratchDir() { EXPECT_NE(mkdtemp(path_.data()), nullptr); }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_ = ::testing::TempDir() + "skgxnXXXXXX";
};

// Files read and written whole, and text split at its newlines.
inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}
inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The lines of the trace record, oldest first, without their newlines.
inline std::vector<std::string> traceRecordLines() {
  ScratchDir dir;
  dumpTraceRing(dir.file("dump").c_str());
  return splitLines(readFile(dir.file("dump")));
}

// The text of a record line after its "...[pid:tid] " prefix.
inline std::string withoutPrefix(const std::string& line) {
  const size_t close = line.find("] ");
  return close == std::string::npos ? line : line.substr(close + 2);
}

// Renames a command file holding text into place with owner and mode, so no check
// sees it half made, with modification time mtime or, for 0, one later than any
// before, so the next check needs no clock tick. Private mount namespace only.
inline void writeCmdFile(const std::string& text, time_t mtime = 0, mode_t mode = 0644,
                         uid_t owner = 0) {
  static time_t lastTime = time(nullptr);
  const std::string next = std::string(kCmdFilePath) + ".next";
  writeFile(next, text);
  if (mtime == 0) mtime = ++lastTime;
  const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  EXPECT_EQ(chown(next.c_str(), owner, owner) | chmod(next.c_str(), mode) |
                utimensat(AT_FDCWD, next.c_str(), times, 0) | rename(next.c_str(), kCmdFilePath),
            0);
}

// The trace lines written after construction, without prefix and newline; a
// marker line under TRACE_ERR separates them from older ones.
class TraceCapture {
 public:
  TraceCapture() { traceLine((marker_ + "\n").c_str(), TRACE_ERR); }
  std::vector<std::string> lines() const {
    std::vector<std::string> found;
    for (const std::string& line : traceRecordLines()) found.push_back(withoutPrefix(line));
    const auto marker = std::find(found.rbegin(), found.rend(), marker_);
    if (marker == found.rend()) ADD_FAILURE() << "trace marker not found in the trace record";
    found.erase(found.begin(), marker == found.rend() ? found.end() : marker.base());
    return found;
  }
  // The same lines, each ended by a newline: "" when nothing was traced.
  std::string text() const {
    std::string joined;
    for (const std::string& line : lines()) joined += line + "\n";
    return joined;
  }
  size_t count(const std::string& line) const { return std::ranges::count(lines(), line); }
  std::vector<std::string> startingWith(const std::string& prefix) const {
    std::vector<std::string> found = lines();
    std::erase_if(found, [&](const std::string& line) { return line.rfind(prefix, 0) != 0; });
    return found;
  }

 private:
  static inline std::atomic<int> counter_{0};
  std::string marker_ = "test-marker " + std::to_string(++counter_);
};

// Number of descriptors open in this process (the count's own included), and
// whether fd is one of them.
inline size_t openFdCount() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return std::distance(begin(fds), end(fds));
}
inline bool fdIsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

}  // namespace skgxn::test

#endif  // DIAG_TEST_SUPPORT_H_
