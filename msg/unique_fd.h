// UniqueFd: a move-only owner of one descriptor, closed when the owner goes,
// and closeFd for descriptor variables that must read -1 once closed.
// Used for descriptors that arrive by descriptor passing and are not kept.
#ifndef MSG_UNIQUE_FD_H_
#define MSG_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace skgxn {

// Closes fd when it is not -1 and sets it to -1. errno is left as it was, so
// a failure can still be reported after the close.
void closeFd(int& fd);

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      closeFd(fd_);
      fd_ = other.release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { closeFd(fd_); }

  int get() const { return fd_; }
  // Hands the descriptor to the caller, who then owns it; the owner reads -1.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

}  // namespace skgxn

#endif  // MSG_UNIQUE_FD_H_
