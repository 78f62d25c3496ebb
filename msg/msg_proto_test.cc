// MsgProto and the message catalogue over real SOCK_SEQPACKET pairs: field
// bounds, the wire bytes, damaged or foreign messages refused, what each
// failure does to the descriptor, the event sequence, no descriptor leaked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "diag/test_support.h"
#include "diag/trace.h"
#include "msg/msg_catalogue.h"
#include "msg/shared_values.h"
#include "msg/stream_io.h"

namespace skgxn {
namespace {

// What the library's load initialiser does, before the first test.
const auto* const kDiagnostics = ::testing::AddGlobalTestEnvironment(new test::DiagEnvironment);

uint8_t area[128];
std::string text;
// A field operation on p; n is its size or value argument.
using Op = ErrCode (*)(MsgProto& p, uint32_t n);
const Op kWriteType = [](MsgProto& p, uint32_t n) { return p.writeMsgType(n); };
const Op kReadType = [](MsgProto& p, uint32_t n) { return p.readMsgType(n); };
const Op kReadText = [](MsgProto& p, uint32_t) { return p.readString(text); };
const Op kReadData = [](MsgProto& p, uint32_t n) { return p.readVarData(n, area, 96); };
const Op kWriteData = [](MsgProto& p, uint32_t n) { return p.writeVarData(n, area); };

TEST(MsgProto, FieldOperationsStopAtTheirBoundsWithoutMovingTheCursor) {
  // op, n, buffer size, its first bytes, result, cursor afterwards
  const std::tuple<Op, uint32_t, size_t, std::vector<uint8_t>, ErrCode, size_t> cases[] = {
      {kWriteType, 9, 4, {}, ERR_NONE, 4},
      {kWriteType, 9, 3, {}, ERR_SIZE, 0},
      {kWriteType, 0, 8, {}, ERR_INVALID, 0},
      {kWriteType, 10, 8, {}, ERR_INVALID, 0},
      {kReadType, 0, 4, {9}, ERR_NONE, 4},
      {kReadType, 0, 3, {1}, ERR_SIZE, 0},
      {kReadType, 0, 8, {10}, ERR_INVALID, 4},
      {kReadText, 0, 4, {'a', 'b', 'c', 0}, ERR_NONE, 4},
      {kReadText, 0, 3, {'a', 'b', 'c'}, ERR_SIZE, 3},
      {kReadData, 0, 100, {96}, ERR_NONE, 100},
      {kReadData, 0, 128, {97}, ERR_SIZE, 4},
      {kReadData, 0, 99, {96}, ERR_SIZE, 4},
      {kWriteData, 10, 14, {}, ERR_NONE, 14},
      {kWriteData, 10, 13, {}, ERR_SIZE, 0},
  };
  for (const auto& [op, n, size, bytes, rc, cursor] : cases) {
    SCOPED_TRACE(testing::Message() << "n " << n << ", buffer " << size);
    uint8_t buf[128] = {};
    std::copy(bytes.begin(), bytes.end(), buf);
    MsgProto proto(buf, size);
    EXPECT_EQ(op(proto, n), rc);
    EXPECT_EQ(proto.length(), cursor);
  }
}

// One buffer serves both ends: every message is sent before the reads begin.
class Wire : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    ASSERT_EQ(fcntl(nearFd, F_SETFL, O_NONBLOCK), 0);
  }
  void TearDown() override {
    for (int fd : fds) close(fd);
  }
  // Sends len bytes from the daemon's end as one record carrying passed.
  void sendFar(const void* data, size_t len, std::vector<int> passed = {}) {
    iovec iov{const_cast<void*>(data), len};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * passed.size()));
    msghdr msg{nullptr, 0, &iov, 1, control.data(), control.size(), 0};
    *CMSG_FIRSTHDR(&msg) = cmsghdr{CMSG_LEN(sizeof(int) * passed.size()), SOL_SOCKET, SCM_RIGHTS};
    std::copy(passed.begin(), passed.end(), reinterpret_cast<int*>(CMSG_DATA(CMSG_FIRSTHDR(&msg))));
    ASSERT_EQ(sendmsg(farFd, &msg, MSG_NOSIGNAL), static_cast<ssize_t>(len));
  }
  MsgProto& rewound() { return proto = MsgProto(buf, sizeof buf); }
  ErrCode readEvent() {
    map.fill(0xff);
    return proto.pstatReadEvt(nearFd, event, map.data(), seq);
  }

  int fds[2] = {-1, -1};
  int& nearFd = fds[0];
  int& farFd = fds[1];
  uint8_t buf[kMsgBufferBytes] = {};
  MsgProto proto{buf, sizeof buf};
  uint32_t event = 99, seq = 0, id = 0;
  MemberBitmap map{};
  const MemberBitmap members{0x10, 0, 0x81};
};

// A message is dumped, its wire bytes (checksum last) sixteen to a line,
// only when asked for. A failed build leaves nothing behind for the next.
TEST_F(Wire, RegisterRequestHasItsWireLayout) {
  EXPECT_EQ(buildQgrpReq(proto, 1, std::string(kMsgBufferBytes, 'x')), ERR_SIZE);
  test::TraceCapture trace;
  traceMask.store(TRACE_ERR | TRACE_MSG);
  ASSERT_EQ(sendRegReq(proto, farFd, 7, "g", 3, ByteData()), ERR_NONE);
  traceMask.store(TRACE_ERR | TRACE_MSG | TRACE_VER);
  EXPECT_EQ(proto.readMsg(nearFd), ERR_NONE);
  traceMask.store(TRACE_DEFAULT);
  EXPECT_EQ(trace.text(),
            "MsgProto::dumpMsg:MSG Read Msg DUMP:\n"
            "    01 00 00 00 07 00 00 00 67 00 03 00 00 00 00 00 \n"
            "    00 00 72 00 \n");
}

// Private data is replaced, and a bitmap kept, only on success; a damaged
// answer is consumed all the same.
TEST_F(Wire, DamagedOrForeignMessagesAreRefusedAndLeaveTheCallersData) {
  std::string name;
  int32_t memno = 0;
  ByteData data("\xaa", 1);
  ASSERT_EQ(buildRegReq(proto, 11, "g", 5, ByteData("\x09", 1)), ERR_NONE);
  buf[proto.length() - 2] ^= 0x01;
  EXPECT_EQ(parseRegReq(rewound(), id, name, memno, data), ERR_CHECKSUM);
  buf[14] = 97;  // the length word of the data
  EXPECT_EQ(parseRegReq(rewound(), id, name, memno, data), ERR_SIZE);
  EXPECT_EQ(parseDrgReq(rewound(), id), ERR_INVALID) << "a join is not a leave";
  ASSERT_EQ(sendPrdataResp(proto, farFd, 8, ERR_INVALID, ByteData("\x01", 1)), ERR_NONE);
  ASSERT_EQ(buildQgrpResp(proto, 9, members), ERR_NONE);
  buf[proto.length() - 1] ^= 0x40;
  sendFar(buf, proto.length());
  EXPECT_EQ(recvPrdataResp(proto, nearFd, id = 8, data), ERR_INVALID);
  EXPECT_EQ(data.hexText(), "0xaa ");
  map = members;
  EXPECT_EQ(recvQgrpResp(proto, nearFd, id = 9, map), ERR_CHECKSUM);
  EXPECT_EQ(map, MemberBitmap{});
}

TEST_F(Wire, OversizedRecordDrainLeavesNextRecordIntact) {
  // 110 buffer-fulls outlast the drain's count.
  int sndbuf = 1 << 20;
  ASSERT_EQ(setsockopt(farFd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf), 0);
  for (size_t size : {kMsgBufferBytes * 3 + 7, kMsgBufferBytes * 110}) {
    sendFar(std::vector<uint8_t>(size, 0x11).data(), size);
    ASSERT_EQ(sendDrgResp(proto, farFd, 4, 0), ERR_NONE);
  }
  EXPECT_EQ(proto.readRespMsg(nearFd, MSG_DRG_RESP, 4), ERR_READ);
  EXPECT_EQ(proto.readRespMsg(nearFd, MSG_DRG_RESP, 4), ERR_NONE);
  EXPECT_EQ(proto.received(), 14u);
  EXPECT_EQ(proto.readMsg(nearFd), ERR_READ);
  EXPECT_EQ(proto.readMsg(nearFd), ERR_NONE) << "the next record is whole";
}

TEST_F(Wire, EventStreamTellsGapsDamageSilenceAndLossApart) {
  for (const auto& [number, corrupt] :
       {std::pair{5u, false}, {6u, true}, {7u, false}, {9u, true}}) {
    ASSERT_EQ(buildEvent(proto, kEventReconfig, members, number), ERR_NONE);
    if (corrupt) buf[proto.length() - 2] ^= 1;
    sendFar(buf, proto.length());
  }
  ASSERT_EQ(readEvent(), ERR_NONE) << "the first event is accepted at any number";
  EXPECT_EQ(std::tie(event, map, seq), std::make_tuple(kEventReconfig, members, 5u));
  EXPECT_EQ(readEvent(), ERR_CHECKSUM);
  EXPECT_EQ(std::tie(map, seq), std::make_tuple(MemberBitmap{}, 6u));
  EXPECT_EQ(readEvent(), ERR_NONE);
  EXPECT_EQ(readEvent(), ERR_BAD_SEQ) << "a gap outranks damage";
  EXPECT_EQ(std::tie(map, seq), std::make_tuple(MemberBitmap{}, 9u));
  EXPECT_EQ(readEvent(), ERR_NONE) << "nothing pending";
  EXPECT_EQ(std::tie(event, map, seq), std::make_tuple(kEventNone, MemberBitmap{}, 9u));
  ASSERT_EQ(sendDrgResp(proto, farFd, 1, 0), ERR_NONE);
  seq = 0;
  EXPECT_EQ(readEvent(), ERR_INVALID) << "not an event";
  close(std::exchange(farFd, -1));
  EXPECT_EQ(readEvent(), ERR_COMM);
  EXPECT_EQ(std::tie(event, map, nearFd), std::make_tuple(kEventAbort, MemberBitmap{}, -1));
}

// SIGPIPE keeps its default action here: a raised signal would end the test.
TEST_F(Wire, WriteToAFullOrClosedPeerFailsWithoutSignalOrClose) {
  signal(SIGPIPE, SIG_DFL);
  while (send(nearFd, buf, 512, MSG_NOSIGNAL) > 0) {
  }
  for (const ErrCode rc : {ERR_FULL, ERR_WRITE}) {
    ASSERT_EQ(buildDrgReq(proto, 1), ERR_NONE);
    EXPECT_EQ(proto.writeMsg(nearFd), rc);
    EXPECT_EQ(proto.length(), 0u);
    close(std::exchange(farFd, -1));
  }
  EXPECT_NE(nearFd, -1);
}

TEST_F(Wire, NoReadLeavesAPassedDescriptorOpenButTheOneAskedFor) {
  // Any open descriptor will do; each received copy is a new one.
  const size_t before = test::openFdCount();
  const std::vector<uint8_t> big(kMsgBufferBytes * 2, 0);
  sendFar(big.data(), big.size(), {STDOUT_FILENO, STDERR_FILENO});
  sendFar(big.data(), 1, {STDERR_FILENO, STDOUT_FILENO});
  sendFar(big.data(), 1, {STDERR_FILENO});
  ASSERT_EQ(sendFd(farFd, STDOUT_FILENO), 0);
  EXPECT_EQ(proto.pstatReadEvt(nearFd, event, map.data(), seq), ERR_READ);
  EXPECT_EQ(recvFd(nearFd), -1);
  EXPECT_EQ(proto.readRespMsg(nearFd, MSG_REG_RESP, 1), ERR_READ);
  const int received = recvFd(nearFd);
  EXPECT_NE(fcntl(received, F_GETFD) & FD_CLOEXEC, 0);
  close(received);
  EXPECT_EQ(test::openFdCount(), before);
  const int original = nearFd;
  close(std::exchange(farFd, -1));
  EXPECT_EQ(proto.readRespMsg(nearFd, MSG_REG_RESP, 1), ERR_COMM);
  EXPECT_EQ(nearFd, -1);
  EXPECT_FALSE(test::fdIsOpen(original));
}

}  // namespace
}  // namespace skgxn
