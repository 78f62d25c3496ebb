// LogFile: an append-only text file with a size limit and numbered rotation
// (path1, path2, ...). Used for the trace log and the poll statistics files.
// Opened without following a final symbolic link; a file it creates gets the
// mode, one already there keeps its own. A file that cannot be opened
// swallows every write.
#ifndef DIAG_LOG_FILE_H_
#define DIAG_LOG_FILE_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace skgxn {

// Opens path for writing, appending or truncating, without following a final
// symbolic link. A file created here is given exactly mode, whatever the
// creation mask; an existing file keeps its mode and owner. Anything but a
// regular file is refused. Returns the stream (owned by the caller) or null.
FILE* openLogStream(const char* path, uint32_t mode, bool truncate);

// Owner of a stream that lives for one scope (a dump, a command file read).
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FileOwner = std::unique_ptr<FILE, FileCloser>;

class LogFile {
 public:
  // Opens path for appending (creating it with mode), counts its existing
  // length and writes the marker line "*** NEW LOGGING STARTED ***\n".
  // maxSize 0 means no limit. Rotation keeps generations 1 to count (at
  // least 1) and renames only those that exist, so any count is cheap.
  LogFile(std::string path, uint32_t mode, uint32_t maxSize, uint32_t count);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Appends text, rotating first when it would take the file past maxSize.
  void write(const char* text);
  void flush();

  bool isOpen() const { return file_ != nullptr; }
  uint32_t size() const { return size_; }
  const std::string& path() const { return path_; }

 private:
  void open();
  void rotate();

  std::string path_;
  uint32_t mode_;
  uint32_t maxSize_;
  uint32_t count_;
  FILE* file_ = nullptr;
  uint32_t size_ = 0;
};

}  // namespace skgxn

#endif  // DIAG_LOG_FILE_H_
