// The size-limited, rotating append-only log used for the trace log and the
// poll-statistics files, and the one place such files are opened.
#include "diag/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace skgxn {

namespace {
constexpr const char* kMarker = "*** NEW LOGGING STARTED ***\n";

// Creates path afresh, or else opens the file already there. Sets created
// when the file is new. A file removed between the two opens is created on a
// second round; one replaced by something else is refused by the checks after.
int createOrOpen(const char* path, int flags, mode_t mode, bool& created) {
  for (int round = 0; round < 2; ++round) {
    int fd = ::open(path, flags | O_CREAT | O_EXCL, mode);
    created = fd >= 0;
    if (created || errno != EEXIST) return fd;
    fd = ::open(path, flags);
    if (fd >= 0 || errno != ENOENT) return fd;
  }
  return -1;
}
}  // namespace

FILE* openLogStream(const char* path, uint32_t mode, bool truncate) {
  if (path == nullptr) return nullptr;
  // The directories these files live in are often world-writable: a final
  // symbolic link planted there must not redirect our writes, and a FIFO or
  // device there must not block or swallow the caller.
  int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (truncate ? O_TRUNC : O_APPEND);
  bool created = false;
  int fd = createOrOpen(path, flags, static_cast<mode_t>(mode), created);
  if (fd < 0) return nullptr;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  // Only a file made here is given the mode, on the descriptor so that the
  // creation mask does not narrow it. A file that was already there keeps
  // its owner's choice: a process running as root must not open up whatever
  // file a path names.
  if (created) (void)::fchmod(fd, static_cast<mode_t>(mode));
  FILE* file = ::fdopen(fd, truncate ? "w" : "a");
  if (file == nullptr) ::close(fd);
  return file;
}

LogFile::LogFile(std::string path, uint32_t mode, uint32_t maxSize, uint32_t count)
    : path_(std::move(path)), mode_(mode), maxSize_(maxSize), count_(count) {
  open();
  write(kMarker);
}

LogFile::~LogFile() {
  if (file_ != nullptr) {
    std::fflush(file_);
    std::fclose(file_);
  }
}

void LogFile::write(const char* text) {
  if (file_ == nullptr || text == nullptr) return;
  size_t n = std::strlen(text);
  if (maxSize_ != 0 && uint64_t{size_} + n > maxSize_) rotate();
  if (file_ == nullptr) return;
  std::fputs(text, file_);
  size_ += static_cast<uint32_t>(n);
}

void LogFile::flush() {
  if (file_ != nullptr) std::fflush(file_);
}

void LogFile::open() {
  file_ = openLogStream(path_.c_str(), mode_, false);
  if (file_ == nullptr) return;
  struct stat st;
  if (::fstat(::fileno(file_), &st) == 0) {
    size_ = st.st_size < 0 ? 0 : static_cast<uint32_t>(st.st_size);
  }
}

void LogFile::rotate() {
  // Only the generations that exist are shifted, so the work is bounded by
  // the files on disk rather than by count, which may be as large as 2^32-1.
  // The shift stops at the first missing generation: older files beyond a gap
  // are left where they are.
  uint32_t top = 0;
  struct stat st;
  while (top + 1 < count_ && ::stat((path_ + std::to_string(top + 1)).c_str(), &st) == 0) ++top;
  for (uint32_t k = top; k >= 1; --k) {
    (void)::rename((path_ + std::to_string(k)).c_str(), (path_ + std::to_string(k + 1)).c_str());
  }
  std::fflush(file_);
  std::fclose(file_);
  file_ = nullptr;
  (void)::rename(path_.c_str(), (path_ + "1").c_str());
  open();
}

}  // namespace skgxn
