// The shared test helpers: files, the command file, the trace record and
// descriptor counts.
#include "diag/test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "diag/cmd_file.h"
#include "diag/diag_state.h"
#include "diag/trace.h"

namespace skgxn::test {

void DiagEnvironment::SetUp() { loadDiagnostics(); }

ScratchDir::ScratchDir() {
  std::string pattern = ::testing::TempDir() + "skgxnXXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  path_ = mkdtemp(name.data());
}

ScratchDir::~ScratchDir() { std::filesystem::remove_all(path_); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> traceRecordLines() {
  ScratchDir dir;
  const std::string path = dir.file("dump");
  dumpTraceRing(path.c_str());
  return splitLines(readFile(path));
}

std::string withoutPrefix(const std::string& line) {
  const size_t close = line.find("] ");
  return close == std::string::npos ? line : line.substr(close + 2);
}

void writeCmdFile(const std::string& text) {
  static time_t nextTime = time(nullptr);
  writeFile(kCmdFilePath, text);
  ++nextTime;
  const struct timespec times[2] = {{nextTime, 0}, {nextTime, 0}};
  ::utimensat(AT_FDCWD, kCmdFilePath, times, 0);
}

TraceCapture::TraceCapture() {
  static std::atomic<int> counter{0};
  marker_ = "test-marker " + std::to_string(++counter);
  traceLine((marker_ + "\n").c_str(), TRACE_ERR);
}

std::vector<std::string> TraceCapture::lines() const {
  std::vector<std::string> found;
  for (const std::string& line : traceRecordLines()) found.push_back(withoutPrefix(line));
  const auto marker = std::find(found.rbegin(), found.rend(), marker_);
  if (marker == found.rend()) ADD_FAILURE() << "trace marker not found in the trace record";
  found.erase(found.begin(), marker == found.rend() ? found.end() : marker.base());
  return found;
}

std::string TraceCapture::text() const {
  std::string joined;
  for (const std::string& line : lines()) joined += line + "\n";
  return joined;
}

size_t TraceCapture::count(const std::string& line) const {
  const std::vector<std::string> found = lines();
  return std::count(found.begin(), found.end(), line);
}

std::vector<std::string> TraceCapture::startingWith(const std::string& prefix) const {
  std::vector<std::string> found = lines();
  std::erase_if(found, [&](const std::string& line) { return line.rfind(prefix, 0) != 0; });
  return found;
}

size_t openFdCount() {
  // Includes the directory's own descriptor, in every count alike.
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return std::distance(begin(fds), end(fds));
}

bool fdIsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

}  // namespace skgxn::test
