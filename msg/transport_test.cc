// Tests of the transport over real SOCK_SEQPACKET pairs: codes, trace lines
// and descriptor outcomes of each failure, event sequencing, and that no
// passed descriptor survives a read that did not ask for it.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "msg/msg_catalogue.h"
#include "msg/msg_proto.h"
#include "msg/stream_io.h"
#include "msg/test_support.h"

namespace skgxn {
namespace {

using test::fdIsOpen;
using test::SeqPacketPair;
using test::TraceCapture;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A pipe whose write end is passed; once every copy of the write end is
// closed the read end sees end of file, which shows no copy leaked.
struct PassedPipe {
  PassedPipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
  ~PassedPipe() {
    if (fds[0] != -1) close(fds[0]);
    if (fds[1] != -1) close(fds[1]);
  }
  int writeEnd() const { return fds[1]; }
  // Drops our own write end and tells whether any other copy is still open.
  bool copyStillOpen() {
    close(fds[1]);
    fds[1] = -1;
    char c;
    return read(fds[0], &c, 1) != 0;
  }
  int fds[2] = {-1, -1};
};

class Transport : public ::testing::Test {
 protected:
  void SetUp() override { pair.setNearNonBlocking(); }

  void sendEvent(uint32_t event, const MemberBitmap& map, uint32_t seq) {
    ASSERT_EQ(skgxn::sendEvent(daemonProto, pair.farFd, event, map, seq), ERR_NONE);
  }

  SeqPacketPair pair;
  uint8_t daemonBuf[kMsgBufferBytes] = {};
  MsgProto daemonProto{daemonBuf, sizeof daemonBuf};
  uint8_t clientBuf[kMsgBufferBytes] = {};
  MsgProto clientProto{clientBuf, sizeof clientBuf};
};

TEST_F(Transport, PeerCloseWhileAwaitingResponseClosesTheDescriptor) {
  const int original = pair.nearFd;
  pair.closeFar();
  TraceCapture trace;
  EXPECT_EQ(clientProto.readRespMsg(pair.nearFd, MSG_DRG_RESP, 1), ERR_COMM);
  EXPECT_EQ(pair.nearFd, -1);
  EXPECT_FALSE(fdIsOpen(original));
  EXPECT_TRUE(contains(trace.lines(), "MsgProto::readRespMsg:ERROR Communication failure\n"));
}

TEST_F(Transport, PeerCloseSeenByReadMsgClosesTheDescriptor) {
  pair.closeFar();
  TraceCapture trace;
  EXPECT_EQ(clientProto.readMsg(pair.nearFd), ERR_COMM);
  EXPECT_EQ(pair.nearFd, -1);
  EXPECT_TRUE(contains(trace.lines(), "MsgProto::readMsg:ERROR Communication failure!\n"));
}

TEST_F(Transport, OversizedRecordDrainLeavesNextRecordIntact) {
  const std::vector<uint8_t> big(kMsgBufferBytes * 3 + 7, 0x11);
  pair.sendFar(big.data(), big.size());
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 4, 0), ERR_NONE);
  TraceCapture trace;
  EXPECT_EQ(clientProto.readMsg(pair.nearFd), ERR_READ);
  EXPECT_TRUE(contains(trace.lines(), "MsgProto::readMsg:ERROR bad large msg read!\n"));
  ASSERT_EQ(clientProto.readMsg(pair.nearFd), ERR_NONE);
  EXPECT_TRUE(clientProto.validResponse(MSG_DRG_RESP, 4));
}

TEST_F(Transport, OversizedResponseDrainLeavesNextResponseIntact) {
  // Longer than 101 buffer-fulls: the drain gives up counting, yet the
  // following record is still the next one read.
  int sndbuf = 1 << 20;
  ASSERT_EQ(setsockopt(pair.farFd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf), 0);
  const std::vector<uint8_t> big(kMsgBufferBytes * 110, 0x22);
  pair.sendFar(big.data(), big.size());
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 4, 0), ERR_NONE);
  TraceCapture trace;
  EXPECT_EQ(clientProto.readRespMsg(pair.nearFd, MSG_DRG_RESP, 4), ERR_READ);
  EXPECT_TRUE(contains(trace.lines(), "MsgProto::readRespMsg:ERROR bad large msg rcvd\n"));
  ASSERT_EQ(clientProto.readMsg(pair.nearFd), ERR_NONE);
  EXPECT_TRUE(clientProto.validResponse(MSG_DRG_RESP, 4));
}

TEST_F(Transport, RecordOfExactlyOneBufferIsWhole) {
  const std::vector<uint8_t> full(kMsgBufferBytes, 0x33);
  pair.sendFar(full.data(), full.size());
  EXPECT_EQ(clientProto.readMsg(pair.nearFd), ERR_NONE);
  EXPECT_EQ(clientProto.received(), kMsgBufferBytes);
}

TEST_F(Transport, NothingPendingGivesNoEventAndAZeroedBitmap) {
  MemberBitmap map;
  map.fill(0xff);
  uint32_t event = 99, seq = 3;
  EXPECT_EQ(clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq), ERR_NONE);
  EXPECT_EQ(event, 0u);
  EXPECT_EQ(map, MemberBitmap{});
  EXPECT_EQ(seq, 3u);
}

TEST_F(Transport, FirstEventIsAcceptedAtAnyNumberAndTheNextMustFollow) {
  MemberBitmap sent{};
  addMember(sent, 4);
  sendEvent(1, sent, 1234);
  sendEvent(2, sent, 1235);
  MemberBitmap map{};
  uint32_t event = 0, seq = 0;
  ASSERT_EQ(clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq), ERR_NONE);
  EXPECT_EQ(event, 1u);
  EXPECT_EQ(map, sent);
  EXPECT_EQ(seq, 1234u);
  ASSERT_EQ(clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq), ERR_NONE);
  EXPECT_EQ(event, 2u);
  EXPECT_EQ(seq, 1235u);
}

TEST_F(Transport, SkippedSequenceNumberGivesBadSequence) {
  MemberBitmap sent{};
  addMember(sent, 1);
  sendEvent(1, sent, 5);
  sendEvent(1, sent, 7);
  MemberBitmap map{};
  uint32_t event = 0, seq = 0;
  ASSERT_EQ(clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq), ERR_NONE);
  EXPECT_EQ(clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq), ERR_BAD_SEQ);
  EXPECT_EQ(map, MemberBitmap{});
  EXPECT_EQ(seq, 7u);
  EXPECT_NE(pair.nearFd, -1);
}

TEST_F(Transport, SequenceWrapsAroundInThirtyTwoBits) {
  sendEvent(1, MemberBitmap{}, 0);
  MemberBitmap map{};
  uint32_t event = 0, seq = 0xffffffffu;
  EXPECT_EQ(clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq), ERR_NONE);
}

TEST_F(Transport, EventWithBadChecksumGivesChecksumFailure) {
  MemberBitmap sent{};
  addMember(sent, 2);
  ASSERT_EQ(buildEvent(daemonProto, 1, sent, 2), ERR_NONE);
  daemonBuf[daemonProto.length() - 2] ^= 1;
  pair.sendFar(daemonBuf, daemonProto.length());
  MemberBitmap map{};
  uint32_t event = 0, seq = 1;
  EXPECT_EQ(clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq), ERR_CHECKSUM);
  EXPECT_EQ(map, MemberBitmap{});
  EXPECT_EQ(seq, 2u);
}

TEST_F(Transport, BrokenSequenceOutranksABadChecksum) {
  ASSERT_EQ(buildEvent(daemonProto, 1, MemberBitmap{}, 9), ERR_NONE);
  daemonBuf[daemonProto.length() - 2] ^= 1;
  pair.sendFar(daemonBuf, daemonProto.length());
  MemberBitmap map{};
  uint32_t event = 0, seq = 1;
  EXPECT_EQ(clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq), ERR_BAD_SEQ);
}

TEST_F(Transport, EventOfAnotherTypeIsInvalid) {
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 1, 0), ERR_NONE);
  MemberBitmap map;
  map.fill(0xff);
  uint32_t event = 0, seq = 0;
  EXPECT_EQ(clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq), ERR_INVALID);
  EXPECT_EQ(map, MemberBitmap{});
}

TEST_F(Transport, LostEventConnectionGivesAbort) {
  pair.closeFar();
  MemberBitmap map;
  map.fill(0xff);
  uint32_t event = 0, seq = 4;
  TraceCapture trace;
  EXPECT_EQ(clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq), ERR_COMM);
  EXPECT_EQ(event, 8u);
  EXPECT_EQ(map, MemberBitmap{});
  EXPECT_EQ(pair.nearFd, -1);
  EXPECT_TRUE(contains(trace.lines(), "MsgProto::pstatReadEvt:ERROR reading event on fd -1\n"));
}

TEST_F(Transport, PassedDescriptorWhereAMessageWasExpectedIsClosed) {
  PassedPipe passed;
  const char zero = 0;
  pair.sendFarWithFds({passed.writeEnd()}, &zero, 1);
  TraceCapture trace;
  EXPECT_EQ(clientProto.readMsg(pair.nearFd), ERR_READ);
  EXPECT_TRUE(contains(trace.lines(), "MsgProto::readMsg:ERROR ioctl msg on read queue!\n"));
  EXPECT_NE(pair.nearFd, -1);
  EXPECT_FALSE(passed.copyStillOpen());
}

TEST_F(Transport, PassedDescriptorWhereAResponseWasExpectedIsClosed) {
  PassedPipe passed;
  const char zero = 0;
  pair.sendFarWithFds({passed.writeEnd()}, &zero, 1);
  TraceCapture trace;
  EXPECT_EQ(clientProto.readRespMsg(pair.nearFd, MSG_REG_RESP, 1), ERR_READ);
  EXPECT_TRUE(contains(trace.lines(), "MsgProto::readRespMsg:ERROR: "));
  EXPECT_FALSE(passed.copyStillOpen());
}

TEST_F(Transport, WriteToAFullPipeGivesFullWithoutATraceLine) {
  ASSERT_EQ(buildDrgReq(clientProto, 1), ERR_NONE);
  const char filler[512] = {};
  while (send(pair.nearFd, filler, sizeof filler, MSG_NOSIGNAL) > 0) {
  }
  ASSERT_EQ(errno, EAGAIN);
  TraceCapture trace;
  EXPECT_EQ(clientProto.writeMsg(pair.nearFd), ERR_FULL);
  EXPECT_EQ(trace.lines(), "");
  EXPECT_EQ(clientProto.length(), 0u);
}

TEST_F(Transport, WriteToAClosedPeerGivesWriteErrorWithoutASignal) {
  // SIGPIPE keeps its default action here: a raised signal would end the test.
  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  struct sigaction old{};
  sigaction(SIGPIPE, &dfl, &old);
  pair.closeFar();
  ASSERT_EQ(buildDrgReq(clientProto, 1), ERR_NONE);
  TraceCapture trace;
  EXPECT_EQ(clientProto.writeMsg(pair.nearFd), ERR_WRITE);
  EXPECT_TRUE(contains(trace.lines(), "MsgProto::writeMsg:ERROR writing msg: "));
  EXPECT_NE(pair.nearFd, -1);
  sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(Transport, ClosedDescriptorVariableIsInvalidInput) {
  int fd = -1;
  TraceCapture trace;
  EXPECT_EQ(clientProto.writeMsg(fd), ERR_INVALID);
  EXPECT_EQ(clientProto.readMsg(fd), ERR_INVALID);
  EXPECT_EQ(clientProto.readRespMsg(fd, MSG_DRG_RESP, 1), ERR_INVALID);
  const std::string lines = trace.lines();
  EXPECT_TRUE(contains(lines, "MsgProto::writeMsg:ERROR bad fd -1\n"));
  EXPECT_TRUE(contains(lines, "MsgProto::readMsg:ERROR bad fd -1\n"));
  EXPECT_TRUE(contains(lines, "MsgProto::readRespMsg:ERROR bad fd -1\n"));
}

void noOp(int) {}

TEST_F(Transport, SignalDuringTheResponseWaitEndsItWithPollError) {
  struct sigaction action{};
  action.sa_handler = noOp;  // no SA_RESTART: the wait must see EINTR
  struct sigaction old{};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  TraceCapture trace;
  std::promise<pthread_t> started;
  auto waiter = std::async(std::launch::async, [&] {
    started.set_value(pthread_self());
    return clientProto.readRespMsg(pair.nearFd, MSG_DRG_RESP, 1);
  });
  const pthread_t thread = started.get_future().get();
  // A signal that lands before the thread is inside poll is lost, so it is
  // repeated until the wait has ended.
  while (waiter.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
    pthread_kill(thread, SIGUSR1);
  }
  EXPECT_EQ(waiter.get(), ERR_POLL);
  EXPECT_NE(pair.nearFd, -1);
  EXPECT_TRUE(contains(trace.lines(), "MsgProto::readRespMsg:ERROR polling for msg: "));
  sigaction(SIGUSR1, &old, nullptr);
}

TEST(SetNonBlocking, AddsTheFlagAndKeepsTheDescriptor) {
  SeqPacketPair pair;
  int fd = pair.nearFd;
  ASSERT_EQ(setNonBlocking(fd), ERR_NONE);
  EXPECT_EQ(fd, pair.nearFd);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST(SetNonBlocking, FailureClearsTheVariableAndReportsTheCall) {
  int fd = dup(0);
  ASSERT_NE(fd, -1);
  close(fd);
  TraceCapture trace;
  EXPECT_EQ(setNonBlocking(fd), ERR_PIPE);
  EXPECT_EQ(fd, -1);
  EXPECT_TRUE(contains(trace.lines(), "fcntl(F_GETFL): "));
}

class StreamIo : public ::testing::Test {
 protected:
  void SetUp() override { pair.setNearNonBlocking(); }
  SeqPacketPair pair;
};

TEST_F(StreamIo, PassedDescriptorIsReceived) {
  PassedPipe passed;
  ASSERT_EQ(sendFd(pair.farFd, passed.writeEnd()), 0);
  const int received = recvFd(pair.nearFd);
  ASSERT_NE(received, -1);
  EXPECT_NE(fcntl(received, F_GETFD) & FD_CLOEXEC, 0);
  close(received);
  EXPECT_FALSE(passed.copyStillOpen());
}

TEST_F(StreamIo, OrdinaryMessageIsNotADescriptor) {
  const char text[] = "hello";
  pair.sendFar(text, sizeof text);
  EXPECT_EQ(recvFd(pair.nearFd), -1);
  EXPECT_EQ(errno, EBADMSG);
}

TEST_F(StreamIo, RecordWithTwoDescriptorsIsRefusedAndBothClosed) {
  PassedPipe first, second;
  const char zero = 0;
  pair.sendFarWithFds({first.writeEnd(), second.writeEnd()}, &zero, 1);
  EXPECT_EQ(recvFd(pair.nearFd), -1);
  EXPECT_EQ(errno, EBADMSG);
  EXPECT_FALSE(first.copyStillOpen());
  EXPECT_FALSE(second.copyStillOpen());
}

TEST_F(StreamIo, PeerCloseIsNotADescriptor) {
  pair.closeFar();
  EXPECT_EQ(recvFd(pair.nearFd), -1);
  EXPECT_EQ(errno, ECONNRESET);
}

TEST_F(StreamIo, NothingQueuedIsWouldBlock) {
  EXPECT_EQ(recvFd(pair.nearFd), -1);
  EXPECT_EQ(errno, EAGAIN);
}

TEST(DescriptorLeaks, NoFailedReadLeavesADescriptorOpen) {
  const size_t before = test::openFdCount();
  {
    uint8_t buf[kMsgBufferBytes];
    MsgProto proto(buf, sizeof buf);
    const char zero = 0;
    const std::vector<uint8_t> big(kMsgBufferBytes * 2, 0);
    for (int round = 0; round < 20; ++round) {
      SeqPacketPair pair;
      pair.setNearNonBlocking();
      PassedPipe a, b, c;
      pair.sendFarWithFds({a.writeEnd()}, &zero, 1);
      pair.sendFarWithFds({b.writeEnd(), c.writeEnd()}, big.data(), big.size());
      pair.sendFarWithFds({a.writeEnd(), b.writeEnd()}, &zero, 1);
      pair.sendFar(&zero, 1);
      pair.sendFarWithFds({c.writeEnd()}, &zero, 1);
      uint32_t event = 0, seq = 0;
      uint8_t map[16];
      EXPECT_EQ(proto.readMsg(pair.nearFd), ERR_READ);
      EXPECT_EQ(proto.pstatReadEvt(pair.nearFd, event, map, seq), ERR_READ);
      EXPECT_EQ(recvFd(pair.nearFd), -1);
      EXPECT_EQ(recvFd(pair.nearFd), -1);
      EXPECT_EQ(proto.readRespMsg(pair.nearFd, MSG_REG_RESP, 1), ERR_READ);
      pair.closeFar();
      EXPECT_EQ(proto.readMsg(pair.nearFd), ERR_COMM);
      EXPECT_EQ(pair.nearFd, -1);
    }
  }
  EXPECT_EQ(test::openFdCount(), before);
}

}  // namespace
}  // namespace skgxn
