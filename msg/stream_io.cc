// STREAMS message operations on SOCK_SEQPACKET sockets: records in and out,
// descriptor passing, and the closing of every descriptor nobody asked for.
// The system calls of the transport live here and in msg_transport.cc.
#include "msg/stream_io.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "msg/unique_fd.h"

namespace skgxn {

namespace {

// The kernel's limit of descriptors in one record. With room for all of
// them none is dropped on the floor as MSG_CTRUNC, so each one that arrives
// is ours to close.
constexpr size_t kMaxPassedFds = 253;

struct ControlArea {
  alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(int) * kMaxPassedFds)];
};

msghdr recordHeader(iovec& iov, ControlArea& control) {
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.bytes;
  msg.msg_controllen = sizeof control.bytes;
  return msg;
}

// Calls take(descriptor) for each descriptor the record carried.
template <typename Take>
size_t forEachPassedFd(msghdr& msg, Take&& take) {
  size_t count = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const unsigned char* data = CMSG_DATA(c);
    for (size_t i = 0; i < n; ++i) {
      int passed;
      std::memcpy(&passed, data + i * sizeof(int), sizeof passed);
      take(passed);
      ++count;
    }
  }
  return count;
}

size_t closePassedFds(msghdr& msg) {
  return forEachPassedFd(msg, [](int passed) { UniqueFd dropped(passed); });
}

// Runs a system call again for as long as a signal interrupts it.
template <typename Call>
auto retryOnSignal(Call&& call) {
  auto rc = call();
  while (rc < 0 && errno == EINTR) rc = call();
  return rc;
}

int64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

int putMsg(int fd, const void* data, size_t len) {
  // MSG_NOSIGNAL: a daemon that has gone shows as EPIPE, never as SIGPIPE,
  // whatever the process did with the signal.
  return retryOnSignal([&] { return send(fd, data, len, MSG_NOSIGNAL); }) < 0 ? -1 : 0;
}

GetMsgResult getMsg(int fd, void* buf, size_t maxlen) {
  iovec iov{buf, maxlen};
  ControlArea control;
  msghdr msg = recordHeader(iov, control);
  // MSG_TRUNC makes recvmsg return the record's whole length, so an
  // oversized record is known by its size and not only by a flag.
  const ssize_t n = retryOnSignal([&] { return recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_TRUNC); });
  if (n < 0) return {-1, 0};
  const size_t passed = closePassedFds(msg);
  if (passed > 0 || (msg.msg_flags & MSG_CTRUNC) != 0) {
    errno = EBADMSG;
    return {-1, 0};
  }
  const size_t whole = static_cast<size_t>(n);
  if (whole > maxlen) {
    return {1, static_cast<ssize_t>(maxlen), whole - maxlen};
  }
  return {0, n};
}

GetMsgResult getMsgRest(const GetMsgResult& prev, size_t maxlen) {
  const size_t part = std::min(prev.rest, maxlen);
  const size_t rest = prev.rest - part;
  return {rest > 0 ? 1 : 0, static_cast<ssize_t>(part), rest};
}

int recvFd(int fd) {
  char payload[2];
  iovec iov{payload, sizeof payload};
  ControlArea control;
  msghdr msg = recordHeader(iov, control);
  const ssize_t n = retryOnSignal([&] { return recvmsg(fd, &msg, MSG_CMSG_CLOEXEC); });
  if (n < 0) return -1;
  UniqueFd kept;
  const size_t passed = forEachPassedFd(msg, [&kept](int received) {
    if (kept.get() == -1) {
      kept = UniqueFd(received);
    } else {
      UniqueFd dropped(received);
    }
  });
  if (passed == 1 && n == 1 && (msg.msg_flags & MSG_CTRUNC) == 0) return kept.release();
  errno = (n == 0 && passed == 0) ? ECONNRESET : EBADMSG;
  return -1;
}

int sendFd(int fd, int passed) {
  char payload = 0;
  iovec iov{&payload, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &passed, sizeof passed);
  return retryOnSignal([&] { return sendmsg(fd, &msg, MSG_NOSIGNAL); }) < 0 ? -1 : 0;
}

ssize_t discardMsg(int fd) {
  char byte;
  iovec iov{&byte, 1};
  ControlArea control;
  msghdr msg = recordHeader(iov, control);
  // MSG_TRUNC: the whole record goes, however long, and its length is known.
  const ssize_t n =
      retryOnSignal([&] { return recvmsg(fd, &msg, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC); });
  if (n >= 0) closePassedFds(msg);
  return n;
}

int waitReadable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN | POLLPRI | POLLRDNORM | POLLRDBAND, 0};
  const int64_t deadline = monotonicMs() + timeoutMs;
  int rc = poll(&entry, 1, timeoutMs);
  while (rc < 0 && errno == EINTR) {
    int left = -1;
    if (timeoutMs >= 0) left = static_cast<int>(std::max<int64_t>(deadline - monotonicMs(), 0));
    rc = poll(&entry, 1, left);
  }
  return rc;
}

}  // namespace skgxn
