// The scripted fake daemon: one server thread accepting connections on the
// registration socket and running each script against its peer.
#include "tests/fake_daemon.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "msg/msg_catalogue.h"
#include "msg/msg_client.h"
#include "msg/stream_io.h"

namespace skgxn::test {

FakePeer::FakePeer(int fd) : fd_(fd), proto_(buf_, sizeof buf_) {}

FakePeer::~FakePeer() {
  closeEvents();
  ::close(fd_);
}

uint32_t FakePeer::readRequest(bool closeAllowed) {
  const ssize_t n = ::recv(fd_, buf_, sizeof buf_, 0);
  if (n == 0 && closeAllowed) return 0;
  if (n <= 0) {
    ADD_FAILURE() << "fake daemon: no request, recv returned " << n;
    return 0;
  }
  proto_.rewind();
  uint32_t type = 0;
  EXPECT_EQ(peekMsgType(proto_, type), ERR_NONE);
  ErrCode rc = ERR_NONE;
  switch (type) {
    case MSG_REG_REQ:
      rc = parseRegReq(proto_, id, name, memno, data);
      break;
    case MSG_DRG_REQ:
      rc = parseDrgReq(proto_, id);
      break;
    case MSG_PRDATA_REQ:
      rc = parsePrdataReq(proto_, id, memno, seq);
      break;
    case MSG_QGRP_REQ:
      rc = parseQgrpReq(proto_, id, name);
      break;
    default:
      ADD_FAILURE() << "fake daemon: unexpected message type " << type;
  }
  EXPECT_EQ(rc, ERR_NONE) << "fake daemon: request of type " << type << " did not parse";
  proto_.rewind();
  return type;
}

void FakePeer::passEventFd() {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  EXPECT_EQ(sendFd(fd_, pair[1]), 0);
  ::close(pair[1]);
  eventFd_ = pair[0];
}

// readRequest() leaves the buffer rewound, so each reply is built from its start.
void FakePeer::replyReg(uint32_t replyId, int32_t status, int32_t grantedMemno) {
  sendBuilt(buildRegResp(proto_, replyId, status, grantedMemno), fd_);
}

void FakePeer::replyDrg(uint32_t replyId, int32_t status) {
  sendBuilt(buildDrgResp(proto_, replyId, status), fd_);
}

void FakePeer::replyPrdata(uint32_t replyId, int32_t status, const ByteData& replyData) {
  sendBuilt(buildPrdataResp(proto_, replyId, status, replyData), fd_);
}

void FakePeer::replyQgrp(uint32_t replyId, const MemberBitmap& members) {
  sendBuilt(buildQgrpResp(proto_, replyId, members), fd_);
}

void FakePeer::sendEvent(uint32_t event, const MemberBitmap& members, uint32_t eventSeq,
                         bool corrupt) {
  ASSERT_NE(eventFd_, -1) << "fake daemon: no event pair passed";
  const ErrCode rc = buildEvent(proto_, event, members, eventSeq);
  if (corrupt) proto_.cursor()[-1] ^= 0x01;
  sendBuilt(rc, eventFd_);
}

void FakePeer::closeEvents() {
  if (eventFd_ != -1) ::close(eventFd_);
  eventFd_ = -1;
}

void FakePeer::waitClose() {
  uint8_t sink[kMsgBufferBytes];
  while (::recv(fd_, sink, sizeof sink, 0) > 0) {
  }
}

void FakePeer::sendBuilt(ErrCode built, int fd) {
  EXPECT_EQ(built, ERR_NONE) << "fake daemon: reply not built";
  EXPECT_EQ(::send(fd, proto_.begin(), proto_.length(), MSG_NOSIGNAL),
            static_cast<ssize_t>(proto_.length()));
  proto_.rewind();
}

FakeDaemon::FakeDaemon() {
  ::unlink(kRegisterPipe);
  ::unlink(kRegisterSocket);
  EXPECT_EQ(::mkfifo(kRegisterPipe, 0666), 0) << std::strerror(errno);
  listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, kRegisterSocket, sizeof addr.sun_path - 1);
  EXPECT_EQ(::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0)
      << std::strerror(errno);
  EXPECT_EQ(::listen(listenFd_, 16), 0);
  server_ = std::thread([this] { run(); });
}

FakeDaemon::~FakeDaemon() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  // Wakes a blocked accept.
  ::shutdown(listenFd_, SHUT_RDWR);
  server_.join();
  ::close(listenFd_);
  ::unlink(kRegisterSocket);
  ::unlink(kRegisterPipe);
}

void FakeDaemon::serve(Script script) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    scripts_.push_back(std::move(script));
  }
  changed_.notify_all();
}

void FakeDaemon::waitIdle() {
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return scripts_.empty() && !busy_; });
}

void FakeDaemon::run() {
  for (;;) {
    Script script;
    {
      std::unique_lock<std::mutex> guard(lock_);
      changed_.wait(guard, [this] { return stopping_ || !scripts_.empty(); });
      if (stopping_) return;
      script = scripts_.front();
      busy_ = true;
    }
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      FakePeer peer(fd);
      script(peer);
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      scripts_.pop_front();
      busy_ = false;
    }
    changed_.notify_all();
    if (fd < 0) return;
  }
}

}  // namespace skgxn::test
