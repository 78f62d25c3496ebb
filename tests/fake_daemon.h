// A scripted stand-in for the membership daemon, for tests that run in a
// private mount namespace: it provides the registration marker and socket
// and serves each accepted connection with the next script, in order.
// It speaks the daemon's wire exactly, so the client under test cannot tell.
#ifndef TESTS_FAKE_DAEMON_H_
#define TESTS_FAKE_DAEMON_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "msg/byte_data.h"
#include "msg/member_bitmap.h"
#include "msg/msg_proto.h"

namespace skgxn::test {

// The daemon's side of one accepted connection. Every operation fails the
// running test (gtest ADD_FAILURE) when the wire does not do what it should.
class FakePeer {
 public:
  explicit FakePeer(int fd);
  ~FakePeer();
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  // Waits for the next request and returns its type; the id and the fields
  // of the request are kept below. A close instead gives 0, and fails the
  // test unless closeAllowed.
  uint32_t readRequest(bool closeAllowed = false);
  uint32_t id = 0;
  std::string name;
  int32_t memno = 0;
  uint32_t seq = 0;
  ByteData data;

  // Makes an event pair, passes one end to the client and keeps the other.
  void passEventFd();
  void replyReg(uint32_t replyId, int32_t status, int32_t grantedMemno);
  void replyDrg(uint32_t replyId, int32_t status);
  void replyPrdata(uint32_t replyId, int32_t status, const ByteData& replyData);
  void replyQgrp(uint32_t replyId, const MemberBitmap& members);
  // Writes an event on the kept end of the event pair; with corrupt the
  // checksum is off by one.
  void sendEvent(uint32_t event, const MemberBitmap& members, uint32_t eventSeq,
                 bool corrupt = false);
  // Closes the daemon's end of the event pair (the client sees the stream end).
  void closeEvents();
  // Blocks until the client closes the connection.
  void waitClose();

 private:
  // Sends what the last build put in the buffer, which built reports on.
  void sendBuilt(ErrCode built, int fd);

  int fd_;
  int eventFd_ = -1;
  uint8_t buf_[kMsgBufferBytes];
  MsgProto proto_;
};

class FakeDaemon {
 public:
  using Script = std::function<void(FakePeer&)>;

  // Creates the marker FIFO and the listening socket; removes both and stops
  // serving when destroyed. Scripts not yet run are dropped.
  FakeDaemon();
  ~FakeDaemon();
  FakeDaemon(const FakeDaemon&) = delete;
  FakeDaemon& operator=(const FakeDaemon&) = delete;

  // The next accepted connection runs script; its end is closed afterwards.
  void serve(Script script);
  // Waits until every script handed to serve() has finished.
  void waitIdle();

 private:
  void run();

  int listenFd_ = -1;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Script> scripts_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread server_;
};

}  // namespace skgxn::test

#endif  // TESTS_FAKE_DAEMON_H_
