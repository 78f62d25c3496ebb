// Test support for the group and api tests: switches diagnostics through the
// real command file (namespace tests only) and reads back the trace lines a
// test produced from the in-memory trace record.
#ifndef GROUP_DIAG_TEST_SUPPORT_H_
#define GROUP_DIAG_TEST_SUPPORT_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "diag/cmd_file.h"
#include "diag/trace.h"

namespace skgxn::testsupport {

// Replaces the command file with text and gives it a modification time later
// than any earlier one, so the next check processes it without waiting for
// the clock. Only for tests run in the private mount namespace.
inline void writeCmdFile(const std::string& text) {
  static time_t nextTime = time(nullptr);
  {
    std::ofstream out(kCmdFilePath, std::ios::trunc);
    out << text;
  }
  ++nextTime;
  struct timespec times[2] = {{nextTime, 0}, {nextTime, 0}};
  ::utimensat(AT_FDCWD, kCmdFilePath, times, 0);
}

// Trace lines written after construction, without their time/pid/tid prefix
// and newline. A marker line under TRACE_ERR separates them from older ones.
class TraceCapture {
 public:
  TraceCapture() : marker_("test-marker " + std::to_string(++counter())) {
    traceLine(marker_ + "\n", TRACE_ERR);
  }

  std::vector<std::string> lines() const {
    char path[] = "/tmp/skgxn_trace_dumpXXXXXX";
    int fd = ::mkstemp(path);
    if (fd >= 0) ::close(fd);
    dumpTraceRing(path);
    std::ifstream in(path);
    std::vector<std::string> found;
    std::string line;
    bool after = false;
    while (std::getline(in, line)) {
      std::string body = stripPrefix(line);
      if (body == marker_) {
        after = true;
        found.clear();
      } else if (after) {
        found.push_back(body);
      }
    }
    ::unlink(path);
    return found;
  }

  // Number of captured lines equal to text.
  size_t count(const std::string& text) const {
    size_t n = 0;
    for (const std::string& line : lines()) n += line == text ? 1 : 0;
    return n;
  }

  // The captured lines that start with prefix.
  std::vector<std::string> startingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : lines()) {
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    }
    return found;
  }

 private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  static std::string stripPrefix(const std::string& line) {
    size_t end = line.find("] ");
    return end == std::string::npos ? line : line.substr(end + 2);
  }

  std::string marker_;
};

}  // namespace skgxn::testsupport

#endif  // GROUP_DIAG_TEST_SUPPORT_H_
