// Tests of the message catalogue: exact wire bytes, each message built and
// parsed back on both ends, and the decoders' handling of status, outputs and
// failures, the client's over a socket pair.
#include "msg/msg_catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "diag/trace.h"
#include "msg/test_support.h"

namespace skgxn {
namespace {

using test::SeqPacketPair;
using test::TraceCapture;

MemberBitmap bitmapOf(std::initializer_list<uint32_t> members) {
  MemberBitmap map{};
  for (uint32_t m : members) addMember(map, m);
  return map;
}

class Catalogue : public ::testing::Test {
 protected:
  void SetUp() override { pair.setNearNonBlocking(); }
  void TearDown() override { traceMask.store(TRACE_DEFAULT); }
  std::vector<uint8_t> daemonBytes() const { return {daemonProto.begin(), daemonProto.cursor()}; }
  // daemonProto rewound, for parsing what was just built.
  MsgProto& built() {
    daemonProto.rewind();
    return daemonProto;
  }
  // Sends what daemonProto holds from the daemon's end.
  void sendBuilt() {
    pair.sendFar(daemonBuf, daemonProto.length());
    daemonProto.rewind();
  }

  SeqPacketPair pair;
  uint8_t daemonBuf[kMsgBufferBytes] = {};
  MsgProto daemonProto{daemonBuf, sizeof daemonBuf};
  uint8_t clientBuf[kMsgBufferBytes] = {};
  MsgProto clientProto{clientBuf, sizeof clientBuf};
  uint32_t id = 0;
  std::string name;
  int32_t memno = -1;
  uint32_t seq = 0;
  ByteData data{"\xaa", 1};
  const ByteData full{std::string(96, '\x5b').data(), 96};
};

TEST_F(Catalogue, DeregisterRequestIsTenBytesAfterAFailedBuildAndDumpsAsOneLine) {
  EXPECT_EQ(buildQgrpReq(daemonProto, 1, std::string(kMsgBufferBytes, 'x')), ERR_SIZE);
  ASSERT_EQ(buildDrgReq(daemonProto, 42), ERR_NONE);
  EXPECT_EQ(daemonBytes(), (std::vector<uint8_t>{0x03, 0, 0, 0, 0x2a, 0, 0, 0, 0x2d, 0}));
  traceMask.store(TRACE_ERR | TRACE_MSG | TRACE_VER);
  TraceCapture trace;
  daemonProto.dumpMsg("Write Msg DUMP:", daemonProto.length());
  EXPECT_NE(trace.text().find("MsgProto::dumpMsg:MSG Write Msg DUMP:\n"
                               "    03 00 00 00 2a 00 00 00 2d 00 \n"),
            std::string::npos);
}

TEST_F(Catalogue, OneCharacterRegisterRequestWithoutDataIsTwentyBytes) {
  ASSERT_EQ(buildRegReq(daemonProto, 7, "g", 3, ByteData()), ERR_NONE);
  EXPECT_EQ(daemonBytes(), (std::vector<uint8_t>{1, 0, 0, 0, 7, 0, 0, 0, 'g',  0,
                                                 3, 0, 0, 0, 0, 0, 0, 0, 0x72, 0}));
}

TEST_F(Catalogue, EveryRequestParsesBackOnTheDaemonSide) {
  ASSERT_EQ(buildRegReq(daemonProto, 11, "alpha", 5, ByteData("\x01\x02\xff", 3)), ERR_NONE);
  uint32_t type = 0;
  ASSERT_EQ(peekMsgType(built(), type), ERR_NONE);
  EXPECT_EQ(type, MSG_REG_REQ);
  ASSERT_EQ(parseRegReq(daemonProto, id, name, memno, data), ERR_NONE);
  EXPECT_EQ(std::make_tuple(id, name, memno, data.hexText()),
            std::make_tuple(11u, std::string("alpha"), 5, std::string("0x01 0x02 0xff ")));
  ASSERT_EQ(buildDrgReq(daemonProto, 12), ERR_NONE);
  ASSERT_EQ(parseDrgReq(built(), id), ERR_NONE);
  EXPECT_EQ(id, 12u);
  ASSERT_EQ(buildPrdataReq(daemonProto, 13, -1, 77), ERR_NONE);
  ASSERT_EQ(parsePrdataReq(built(), id, memno, seq), ERR_NONE);
  EXPECT_EQ(std::make_tuple(id, memno, seq), std::make_tuple(13u, -1, 77u));
  ASSERT_EQ(buildQgrpReq(daemonProto, 14, "beta"), ERR_NONE);
  ASSERT_EQ(parseQgrpReq(built(), id, name), ERR_NONE);
  EXPECT_EQ(std::make_tuple(id, name), std::make_tuple(14u, std::string("beta")));
  TraceCapture trace;
  EXPECT_EQ(parseDrgReq(built(), id), ERR_INVALID);
  EXPECT_EQ(trace.text(), "");
}

TEST_F(Catalogue, RegisterRequestKeepsDataOnlyWhenTheChecksumAndSizeAreRight) {
  ASSERT_EQ(buildRegReq(daemonProto, 11, "alpha", 5, ByteData("\x09\x09", 2)), ERR_NONE);
  daemonBuf[daemonProto.length() - 2] ^= 0x01;
  EXPECT_EQ(parseRegReq(built(), id, name, memno, data), ERR_CHECKSUM);
  EXPECT_EQ(std::make_tuple(id, name, memno, data.hexText()),
            std::make_tuple(11u, std::string("alpha"), 5, std::string("0xaa ")));
  ASSERT_EQ(buildRegReq(daemonProto, 1, "g", 0, full), ERR_NONE);
  daemonBuf[14] = 97;  // the length word of the data
  EXPECT_EQ(parseRegReq(built(), id, name, memno, data), ERR_SIZE);
  EXPECT_EQ(data.hexText(), "0xaa ");
}

TEST_F(Catalogue, EveryResponseParsesBackOnTheClientSide) {
  ASSERT_EQ(sendRegResp(daemonProto, pair.farFd, 5, 0, 17), ERR_NONE);
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 6, 0), ERR_NONE);
  ASSERT_EQ(sendPrdataResp(daemonProto, pair.farFd, 8, 0, full), ERR_NONE);
  ASSERT_EQ(sendQgrpResp(daemonProto, pair.farFd, 9, bitmapOf({0, 9, 127})), ERR_NONE);
  MemberBitmap map{};
  id = 5;
  EXPECT_EQ(recvRegResp(clientProto, pair.nearFd, id, memno), ERR_NONE);
  EXPECT_EQ(memno, 17);
  id = 6;
  EXPECT_EQ(recvDrgResp(clientProto, pair.nearFd, id), ERR_NONE);
  id = 8;
  EXPECT_EQ(recvPrdataResp(clientProto, pair.nearFd, id, data), ERR_NONE);
  EXPECT_EQ(data.hexText(), full.hexText());
  id = 9;
  EXPECT_EQ(recvQgrpResp(clientProto, pair.nearFd, id, map), ERR_NONE);
  EXPECT_EQ(map, bitmapOf({0, 9, 127}));
}

TEST_F(Catalogue, RefusingStatusIsTheResultOnceEveryFieldIsRead) {
  ASSERT_EQ(sendRegResp(daemonProto, pair.farFd, 5, ERR_EXIST, 3), ERR_NONE);
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 6, ERR_BAD_STATE), ERR_NONE);
  ASSERT_EQ(sendPrdataResp(daemonProto, pair.farFd, 8, ERR_INVALID, ByteData("\x01", 1)), ERR_NONE);
  id = 5;
  EXPECT_EQ(recvRegResp(clientProto, pair.nearFd, id, memno), ERR_EXIST);
  EXPECT_EQ(memno, 3);
  id = 6;
  EXPECT_EQ(recvDrgResp(clientProto, pair.nearFd, id), ERR_BAD_STATE);
  id = 8;
  EXPECT_EQ(recvPrdataResp(clientProto, pair.nearFd, id, data), ERR_INVALID);
  EXPECT_EQ(data.hexText(), "0xaa ");
}

TEST_F(Catalogue, DamagedOrForeignResponsesAreConsumedAndLeaveOutputsAlone) {
  ASSERT_EQ(buildPrdataResp(daemonProto, 8, 0, full), ERR_NONE);
  daemonBuf[12] = 97;  // the length word of the data
  sendBuilt();
  ASSERT_EQ(buildQgrpResp(daemonProto, 9, bitmapOf({1, 2})), ERR_NONE);
  daemonBuf[daemonProto.length() - 1] ^= 0x40;
  sendBuilt();
  ASSERT_EQ(sendRegResp(daemonProto, pair.farFd, 5, 0, 1), ERR_NONE);
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 1000, 0), ERR_NONE);
  id = 8;
  EXPECT_EQ(recvPrdataResp(clientProto, pair.nearFd, id, data), ERR_SIZE);
  EXPECT_EQ(data.hexText(), "0xaa ");
  MemberBitmap map = bitmapOf({5});
  id = 9;
  EXPECT_EQ(recvQgrpResp(clientProto, pair.nearFd, id, map), ERR_CHECKSUM);
  EXPECT_EQ(map, MemberBitmap{});
  id = 5;
  EXPECT_EQ(recvDrgResp(clientProto, pair.nearFd, id), ERR_READ);
  id = 1001;
  EXPECT_EQ(recvDrgResp(clientProto, pair.nearFd, id), ERR_READ);
  EXPECT_EQ(clientProto.readMsg(pair.nearFd), ERR_EMPTY);
}

}  // namespace
}  // namespace skgxn
