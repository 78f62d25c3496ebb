// Helpers shared by the diagnostics tests: the load step a static test binary
// lacks, a scratch directory, and reading back files and the trace record.
#ifndef DIAG_TEST_SUPPORT_H_
#define DIAG_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "diag/diag_state.h"
#include "diag/trace.h"

namespace skgxn {

// What the library's load initialiser does for the diagnostics.
class DiagEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { loadDiagnostics(); }
};

// A fresh directory, removed with its contents at the end of the scope.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = ::testing::TempDir() + "diagXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    path_ = mkdtemp(name.data());
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
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
  std::string path = dir.file("dump");
  dumpTraceRing(path.c_str());
  return splitLines(readFile(path));
}

// The text of a record line after its "...[pid:tid] " prefix.
inline std::string withoutPrefix(const std::string& line) {
  size_t close = line.find("] ");
  return close == std::string::npos ? line : line.substr(close + 2);
}

}  // namespace skgxn

#endif  // DIAG_TEST_SUPPORT_H_
