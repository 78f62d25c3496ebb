// What the tests of every folder share: the diagnostics load step a static
// test binary lacks, a scratch directory, files read back, the command file
// rewritten, the trace lines a test produced, and descriptor counts.
#ifndef DIAG_TEST_SUPPORT_H_
#define DIAG_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace skgxn::test {

// What the library's load initialiser does for the diagnostics.
class DiagEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
};

// A fresh directory, removed with its contents at the end of the scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
std::vector<std::string> splitLines(const std::string& text);

// The lines of the trace record, oldest first, without their newlines.
std::vector<std::string> traceRecordLines();

// The text of a record line after its "...[pid:tid] " prefix.
std::string withoutPrefix(const std::string& line);

// Replaces the command file with text and gives it a modification time later
// than any earlier one, so the next check processes it without waiting for
// the clock. Only for tests run in the private mount namespace.
void writeCmdFile(const std::string& text);

// The trace lines written after construction; a marker line under TRACE_ERR
// separates them from older ones.
class TraceCapture {
 public:
  TraceCapture();

  // Each line without its time/pid/tid prefix and newline.
  std::vector<std::string> lines() const;
  // The same lines, each ended by a newline: "" when nothing was traced.
  std::string text() const;
  // Number of captured lines equal to line.
  size_t count(const std::string& line) const;
  // The captured lines that start with prefix.
  std::vector<std::string> startingWith(const std::string& prefix) const;

 private:
  std::string marker_;
};

// Number of descriptors open in this process.
size_t openFdCount();

// True when fd is an open descriptor of this process.
bool fdIsOpen(int fd);

}  // namespace skgxn::test

#endif  // DIAG_TEST_SUPPORT_H_
