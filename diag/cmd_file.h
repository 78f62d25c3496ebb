// The runtime command file through which an administrator switches tracing,
// the trace log, dumps and poll statistics in a running process.
#ifndef DIAG_CMD_FILE_H_
#define DIAG_CMD_FILE_H_

#include <string_view>

namespace skgxn {

inline constexpr const char* kCmdFilePath = "/var/cluster/velk/skgxn_client_cmd";

// Run at the entry of every exported call: a missing file resets the mask to
// errors only and closes the trace log; a file whose modification time moved
// forward is processed whole. A file owned by anyone but root or the
// process's effective user, or writable by group or others, counts as
// missing; why is traced once, and the file is looked at again when its
// times, owner or mode change. Serialised under traceLock().
void checkCmdFile();

// Splits one command-file line into words at " \t\r\n\v\f". A line whose first
// column is '#' has no words.
class CmdTokenizer {
 public:
  explicit CmdTokenizer(std::string_view line) : line_(line) {}
  // The next word, or false when the line has none left.
  bool next(std::string_view& word);

 private:
  static constexpr size_t kEnd = static_cast<size_t>(-1);
  std::string_view line_;
  size_t pos_ = 0;
};

}  // namespace skgxn

#endif  // DIAG_CMD_FILE_H_
