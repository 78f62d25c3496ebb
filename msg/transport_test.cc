// Tests of the transport over real SOCK_SEQPACKET pairs: codes, trace lines
// and descriptor outcomes of each failure, event sequencing, and that no
// passed descriptor survives a read that did not ask for it.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "msg/msg_catalogue.h"
#include "msg/msg_proto.h"
#include "msg/stream_io.h"
#include "msg/test_support.h"

namespace skgxn {
namespace {

using test::fdIsOpen;
using test::SeqPacketPair;
using test::TraceCapture;

bool traced(const TraceCapture& trace, const std::string& part) {
  return trace.text().find(part) != std::string::npos;
}

// A pipe whose write end is passed; once every copy of the write end is
// closed the read end sees end of file, which shows no copy leaked.
struct PassedPipe {
  PassedPipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
  ~PassedPipe() {
    for (int fd : fds) {
      if (fd != -1) close(fd);
    }
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

const char kZero = 0;

class Transport : public ::testing::Test {
 protected:
  void SetUp() override { pair.setNearNonBlocking(); }

  void sendEvent(uint32_t number, const MemberBitmap& members, uint32_t eventSeq,
                 bool corrupt = false) {
    ASSERT_EQ(buildEvent(daemonProto, number, members, eventSeq), ERR_NONE);
    if (corrupt) daemonBuf[daemonProto.length() - 2] ^= 1;
    pair.sendFar(daemonBuf, daemonProto.length());
  }
  // Reads one event into event, map (filled with 0xff first) and seq.
  ErrCode readEvent() {
    map.fill(0xff);
    return clientProto.pstatReadEvt(pair.nearFd, event, map.data(), seq);
  }

  SeqPacketPair pair;
  uint8_t daemonBuf[kMsgBufferBytes] = {};
  MsgProto daemonProto{daemonBuf, sizeof daemonBuf};
  uint8_t clientBuf[kMsgBufferBytes] = {};
  MsgProto clientProto{clientBuf, sizeof clientBuf};
  uint32_t event = 99;
  uint32_t seq = 0;
  MemberBitmap map{};
  const MemberBitmap members{0x10, 0, 0x81};
};

TEST_F(Transport, PeerCloseWhileAwaitingResponseClosesTheDescriptor) {
  const int original = pair.nearFd;
  pair.closeFar();
  TraceCapture trace;
  EXPECT_EQ(clientProto.readRespMsg(pair.nearFd, MSG_DRG_RESP, 1), ERR_COMM);
  EXPECT_EQ(pair.nearFd, -1);
  EXPECT_FALSE(fdIsOpen(original));
  EXPECT_TRUE(traced(trace, "MsgProto::readRespMsg:ERROR Communication failure\n"));
}

TEST_F(Transport, OversizedRecordDrainLeavesNextRecordIntact) {
  // 110 buffer-fulls outlast the drain's count; a record of exactly one
  // buffer is still whole.
  int sndbuf = 1 << 20;
  ASSERT_EQ(setsockopt(pair.farFd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf), 0);
  for (size_t size : {kMsgBufferBytes * 3 + 7, kMsgBufferBytes * 110, kMsgBufferBytes}) {
    const std::vector<uint8_t> record(size, 0x11);
    pair.sendFar(record.data(), record.size());
    ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 4, 0), ERR_NONE);
  }
  TraceCapture trace;
  EXPECT_EQ(clientProto.readMsg(pair.nearFd), ERR_READ);
  EXPECT_TRUE(traced(trace, "MsgProto::readMsg:ERROR bad large msg read!\n"));
  ASSERT_EQ(clientProto.readMsg(pair.nearFd), ERR_NONE);
  EXPECT_TRUE(clientProto.validResponse(MSG_DRG_RESP, 4));
  EXPECT_EQ(clientProto.readRespMsg(pair.nearFd, MSG_DRG_RESP, 4), ERR_READ);
  EXPECT_TRUE(traced(trace, "MsgProto::readRespMsg:ERROR bad large msg rcvd\n"));
  EXPECT_EQ(clientProto.readRespMsg(pair.nearFd, MSG_DRG_RESP, 4), ERR_NONE);
  EXPECT_EQ(clientProto.readMsg(pair.nearFd), ERR_NONE);
  EXPECT_EQ(clientProto.received(), kMsgBufferBytes);
}

TEST_F(Transport, PassedDescriptorWhereAMessageWasExpectedIsClosed) {
  PassedPipe passed;
  pair.sendFarWithFds({passed.writeEnd()}, &kZero, 1);
  TraceCapture trace;
  EXPECT_EQ(clientProto.readMsg(pair.nearFd), ERR_READ);
  EXPECT_TRUE(traced(trace, "MsgProto::readMsg:ERROR ioctl msg on read queue!\n"));
  EXPECT_NE(pair.nearFd, -1);
  EXPECT_FALSE(passed.copyStillOpen());
}

TEST_F(Transport, EventStreamGivesGapsSilenceAndLossApart) {
  sendEvent(1, members, 5);
  sendEvent(1, members, 7);
  ASSERT_EQ(readEvent(), ERR_NONE);
  EXPECT_EQ(std::make_tuple(event, map, seq), std::make_tuple(1u, members, 5u))
      << "the first event is accepted at any number";
  EXPECT_EQ(readEvent(), ERR_BAD_SEQ);
  EXPECT_EQ(std::make_tuple(map, seq), std::make_tuple(MemberBitmap{}, 7u));
  EXPECT_EQ(readEvent(), ERR_NONE) << "nothing pending";
  EXPECT_EQ(std::make_tuple(event, map, seq), std::make_tuple(0u, MemberBitmap{}, 7u));
  pair.closeFar();
  TraceCapture trace;
  EXPECT_EQ(readEvent(), ERR_COMM);
  EXPECT_EQ(std::make_tuple(event, map, pair.nearFd), std::make_tuple(8u, MemberBitmap{}, -1));
  EXPECT_TRUE(traced(trace, "MsgProto::pstatReadEvt:ERROR reading event on fd -1\n"));
}

TEST_F(Transport, BadChecksumOrTypeIsRefusedButABrokenSequenceOutranksThem) {
  seq = 0xffffffffu;
  sendEvent(1, members, 0);
  EXPECT_EQ(readEvent(), ERR_NONE) << "the sequence wraps around in 32 bits";
  sendEvent(1, members, 1, true);
  EXPECT_EQ(readEvent(), ERR_CHECKSUM);
  EXPECT_EQ(map, MemberBitmap{});
  EXPECT_EQ(seq, 1u);
  sendEvent(1, members, 9, true);
  EXPECT_EQ(readEvent(), ERR_BAD_SEQ);
  seq = 0;
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 1, 0), ERR_NONE);
  EXPECT_EQ(readEvent(), ERR_INVALID);
  EXPECT_EQ(map, MemberBitmap{});
}

TEST_F(Transport, WriteToAFullPipeGivesFullWithoutATraceLine) {
  ASSERT_EQ(buildDrgReq(clientProto, 1), ERR_NONE);
  const char filler[512] = {};
  while (send(pair.nearFd, filler, sizeof filler, MSG_NOSIGNAL) > 0) {
  }
  ASSERT_EQ(errno, EAGAIN);
  TraceCapture trace;
  EXPECT_EQ(clientProto.writeMsg(pair.nearFd), ERR_FULL);
  EXPECT_EQ(trace.text(), "");
  EXPECT_EQ(clientProto.length(), 0u);
}

TEST_F(Transport, WriteToAClosedPeerGivesWriteErrorWithoutASignal) {
  // SIGPIPE keeps its default action here: a raised signal would end the test.
  struct sigaction dfl {
  }, old{};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  pair.closeFar();
  ASSERT_EQ(buildDrgReq(clientProto, 1), ERR_NONE);
  TraceCapture trace;
  EXPECT_EQ(clientProto.writeMsg(pair.nearFd), ERR_WRITE);
  EXPECT_TRUE(traced(trace, "MsgProto::writeMsg:ERROR writing msg: "));
  EXPECT_NE(pair.nearFd, -1);
  sigaction(SIGPIPE, &old, nullptr);
}

TEST_F(Transport, PassedDescriptorIsReceivedCloseOnExec) {
  PassedPipe passed;
  ASSERT_EQ(sendFd(pair.farFd, passed.writeEnd()), 0);
  const int received = recvFd(pair.nearFd);
  ASSERT_NE(received, -1);
  EXPECT_NE(fcntl(received, F_GETFD) & FD_CLOEXEC, 0);
  close(received);
  EXPECT_FALSE(passed.copyStillOpen());
}

TEST(DescriptorLeaks, NoFailedReadLeavesADescriptorOpen) {
  const size_t before = test::openFdCount();
  uint8_t buf[kMsgBufferBytes];
  MsgProto proto(buf, sizeof buf);
  const std::vector<uint8_t> big(kMsgBufferBytes * 2, 0);
  for (int round = 0; round < 20; ++round) {
    SeqPacketPair pair;
    pair.setNearNonBlocking();
    PassedPipe a, b, c;
    pair.sendFarWithFds({a.writeEnd()}, &kZero, 1);
    pair.sendFarWithFds({b.writeEnd(), c.writeEnd()}, big.data(), big.size());
    pair.sendFarWithFds({a.writeEnd(), b.writeEnd()}, &kZero, 1);
    pair.sendFar(&kZero, 1);
    pair.sendFarWithFds({c.writeEnd()}, &kZero, 1);
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
  EXPECT_EQ(test::openFdCount(), before);
}

}  // namespace
}  // namespace skgxn
