// Tests of the message catalogue: exact wire bytes, each message built and
// parsed back on both ends, and the client decoders' handling of status,
// outputs and failures over a socket pair.
#include "msg/msg_catalogue.h"

#include <array>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "diag/trace.h"
#include "msg/test_support.h"

namespace skgxn {
namespace {

using test::SeqPacketPair;
using test::TraceCapture;

std::vector<uint8_t> bytesOf(const MsgProto& p) {
  return std::vector<uint8_t>(p.begin(), p.cursor());
}

MemberBitmap bitmapOf(std::initializer_list<uint32_t> members) {
  MemberBitmap map{};
  for (uint32_t m : members) addMember(map, m);
  return map;
}

class CatalogueWire : public ::testing::Test {
 protected:
  void TearDown() override { traceMask.store(TRACE_DEFAULT); }
  uint8_t buf[kMsgBufferBytes] = {};
  MsgProto proto{buf, sizeof buf};
};

TEST_F(CatalogueWire, DeregisterRequestIsTheDocumentedTenBytes) {
  ASSERT_EQ(buildDrgReq(proto, 42), ERR_NONE);
  const std::vector<uint8_t> expected = {0x03, 0, 0, 0, 0x2a, 0, 0, 0, 0x2d, 0};
  EXPECT_EQ(bytesOf(proto), expected);
}

TEST_F(CatalogueWire, DeregisterRequestDumpsAsOneLineOfTenBytes) {
  ASSERT_EQ(buildDrgReq(proto, 42), ERR_NONE);
  traceMask.store(TRACE_ERR | TRACE_MSG | TRACE_VER);
  TraceCapture trace;
  proto.dumpMsg("Write Msg DUMP:", proto.length());
  EXPECT_NE(trace.lines().find("MsgProto::dumpMsg:MSG Write Msg DUMP:\n"
                               "    03 00 00 00 2a 00 00 00 2d 00 \n"),
            std::string::npos);
}

TEST_F(CatalogueWire, OneCharacterRegisterRequestWithoutDataIsTwentyBytes) {
  ASSERT_EQ(buildRegReq(proto, 7, "g", 3, ByteData()), ERR_NONE);
  ASSERT_EQ(proto.length(), 20u);
  EXPECT_EQ(buf[8], 'g');
  EXPECT_EQ(buf[9], 0);
  uint32_t len = 99;
  std::memcpy(&len, buf + 14, 4);
  EXPECT_EQ(len, 0u);
}

TEST_F(CatalogueWire, FailedBuildLeavesNoPartOfItForTheNext) {
  const std::string tooLong(kMsgBufferBytes, 'x');
  EXPECT_EQ(buildQgrpReq(proto, 1, tooLong), ERR_SIZE);
  ASSERT_EQ(buildDrgReq(proto, 42), ERR_NONE);
  EXPECT_EQ(proto.length(), 10u);
  EXPECT_EQ(buf[0], MSG_DRG_REQ);
}

TEST_F(CatalogueWire, EveryRequestParsesBackOnTheDaemonSide) {
  const uint8_t bytes[] = {1, 2, 3, 0xff};
  ASSERT_EQ(buildRegReq(proto, 11, "alpha", 5, ByteData(bytes, sizeof bytes)), ERR_NONE);
  proto.rewind();
  uint32_t type = 0;
  ASSERT_EQ(peekMsgType(proto, type), ERR_NONE);
  EXPECT_EQ(type, MSG_REG_REQ);
  uint32_t id = 0;
  std::string name;
  int32_t memno = 0;
  ByteData data;
  ASSERT_EQ(parseRegReq(proto, id, name, memno, data), ERR_NONE);
  EXPECT_EQ(id, 11u);
  EXPECT_EQ(name, "alpha");
  EXPECT_EQ(memno, 5);
  EXPECT_EQ(data.hexText(), "0x01 0x02 0x03 0xff ");

  ASSERT_EQ(buildDrgReq(proto, 12), ERR_NONE);
  proto.rewind();
  ASSERT_EQ(parseDrgReq(proto, id), ERR_NONE);
  EXPECT_EQ(id, 12u);

  uint32_t seq = 0;
  ASSERT_EQ(buildPrdataReq(proto, 13, -1, 77), ERR_NONE);
  proto.rewind();
  ASSERT_EQ(parsePrdataReq(proto, id, memno, seq), ERR_NONE);
  EXPECT_EQ(id, 13u);
  EXPECT_EQ(memno, -1);
  EXPECT_EQ(seq, 77u);

  ASSERT_EQ(buildQgrpReq(proto, 14, "beta"), ERR_NONE);
  proto.rewind();
  ASSERT_EQ(parseQgrpReq(proto, id, name), ERR_NONE);
  EXPECT_EQ(id, 14u);
  EXPECT_EQ(name, "beta");
}

TEST_F(CatalogueWire, RequestOfAnotherTypeIsRefusedSilently) {
  ASSERT_EQ(buildPrdataReq(proto, 13, 1, 1), ERR_NONE);
  proto.rewind();
  uint32_t id = 0;
  TraceCapture trace;
  EXPECT_EQ(parseDrgReq(proto, id), ERR_INVALID);
  EXPECT_EQ(trace.lines(), "");
}

TEST_F(CatalogueWire, RegisterRequestDataIsKeptOnlyWhenTheWholeParseSucceeds) {
  const uint8_t bytes[] = {9, 9};
  ASSERT_EQ(buildRegReq(proto, 11, "alpha", 5, ByteData(bytes, sizeof bytes)), ERR_NONE);
  buf[proto.length() - 2] ^= 0x01;
  proto.rewind();
  uint32_t id = 0;
  std::string name;
  int32_t memno = 0;
  const uint8_t old[] = {0xaa};
  ByteData data(old, 1);
  EXPECT_EQ(parseRegReq(proto, id, name, memno, data), ERR_CHECKSUM);
  EXPECT_EQ(id, 11u);
  EXPECT_EQ(name, "alpha");
  EXPECT_EQ(memno, 5);
  EXPECT_EQ(data.hexText(), "0xaa ");
}

TEST_F(CatalogueWire, RegisterRequestWithNinetySevenBytesOfDataIsRefused) {
  const uint8_t bytes[97] = {};
  const uint32_t type = MSG_REG_REQ, id = 1;
  const int32_t memno = 0;
  ASSERT_EQ(proto.writeData(4, &type), ERR_NONE);
  ASSERT_EQ(proto.writeData(4, &id), ERR_NONE);
  ASSERT_EQ(proto.writeString("g"), ERR_NONE);
  ASSERT_EQ(proto.writeData(4, &memno), ERR_NONE);
  ASSERT_EQ(proto.writeVarData(sizeof bytes, bytes), ERR_NONE);
  ASSERT_EQ(proto.writeChecksum(), ERR_NONE);
  proto.rewind();
  uint32_t gotId = 0;
  std::string name;
  int32_t gotMemno = 0;
  ByteData data;
  EXPECT_EQ(parseRegReq(proto, gotId, name, gotMemno, data), ERR_SIZE);
  EXPECT_TRUE(data.empty());
}

// The client decoders read what the daemon's senders wrote on the far end.
class CatalogueExchange : public ::testing::Test {
 protected:
  void SetUp() override { pair.setNearNonBlocking(); }

  // Sends what daemonProto holds (built by hand) from the daemon's end.
  void sendBuilt() {
    pair.sendFar(daemonProto.begin(), daemonProto.length());
    daemonProto.rewind();
  }

  SeqPacketPair pair;
  uint8_t daemonBuf[kMsgBufferBytes] = {};
  MsgProto daemonProto{daemonBuf, sizeof daemonBuf};
  uint8_t clientBuf[kMsgBufferBytes] = {};
  MsgProto clientProto{clientBuf, sizeof clientBuf};
};

TEST_F(CatalogueExchange, RequestArrivesAtTheDaemonIntact) {
  const uint8_t bytes[] = {0x10, 0x20};
  ASSERT_EQ(sendRegReq(clientProto, pair.nearFd, 99, "grp", 2, ByteData(bytes, 2)), ERR_NONE);
  EXPECT_EQ(clientProto.length(), 0u);
  ASSERT_EQ(daemonProto.readMsg(pair.farFd), ERR_NONE);
  uint32_t id = 0;
  std::string name;
  int32_t memno = 0;
  ByteData data;
  ASSERT_EQ(parseRegReq(daemonProto, id, name, memno, data), ERR_NONE);
  EXPECT_EQ(id, 99u);
  EXPECT_EQ(name, "grp");
  EXPECT_EQ(data.size(), 2u);
}

TEST_F(CatalogueExchange, GrantedRegistrationGivesTheMemberNumber) {
  ASSERT_EQ(sendRegResp(daemonProto, pair.farFd, 5, 0, 17), ERR_NONE);
  uint32_t id = 5;
  int32_t memno = -1;
  EXPECT_EQ(recvRegResp(clientProto, pair.nearFd, id, memno), ERR_NONE);
  EXPECT_EQ(memno, 17);
}

TEST_F(CatalogueExchange, RefusedRegistrationStillStoresTheMemberNumber) {
  ASSERT_EQ(sendRegResp(daemonProto, pair.farFd, 5, ERR_EXIST, 3), ERR_NONE);
  uint32_t id = 5;
  int32_t memno = -1;
  EXPECT_EQ(recvRegResp(clientProto, pair.nearFd, id, memno), ERR_EXIST);
  EXPECT_EQ(memno, 3);
}

TEST_F(CatalogueExchange, DeregisterStatusBecomesTheResult) {
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 6, 0), ERR_NONE);
  uint32_t id = 6;
  EXPECT_EQ(recvDrgResp(clientProto, pair.nearFd, id), ERR_NONE);
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 6, ERR_BAD_STATE), ERR_NONE);
  EXPECT_EQ(recvDrgResp(clientProto, pair.nearFd, id), ERR_BAD_STATE);
}

TEST_F(CatalogueExchange, NinetySixBytesOfPrivateDataReachTheCaller) {
  std::array<uint8_t, 96> bytes;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(sendPrdataResp(daemonProto, pair.farFd, 8, 0, ByteData(bytes.data(), 96)),
            ERR_NONE);
  uint32_t id = 8;
  ByteData data;
  ASSERT_EQ(recvPrdataResp(clientProto, pair.nearFd, id, data), ERR_NONE);
  ASSERT_EQ(data.size(), 96u);
  EXPECT_EQ(std::memcmp(data.data(), bytes.data(), 96), 0);
}

TEST_F(CatalogueExchange, NinetySevenAnnouncedBytesLeaveTheCallersDataAlone) {
  const uint8_t bytes[97] = {};
  const uint32_t type = MSG_PRDATA_RESP, id = 8;
  const int32_t status = 0;
  ASSERT_EQ(daemonProto.writeData(4, &type), ERR_NONE);
  ASSERT_EQ(daemonProto.writeData(4, &id), ERR_NONE);
  ASSERT_EQ(daemonProto.writeData(4, &status), ERR_NONE);
  ASSERT_EQ(daemonProto.writeVarData(sizeof bytes, bytes), ERR_NONE);
  ASSERT_EQ(daemonProto.writeChecksum(), ERR_NONE);
  sendBuilt();
  uint32_t gotId = 8;
  const uint8_t old[] = {0xaa};
  ByteData data(old, 1);
  EXPECT_EQ(recvPrdataResp(clientProto, pair.nearFd, gotId, data), ERR_SIZE);
  EXPECT_EQ(data.hexText(), "0xaa ");
}

TEST_F(CatalogueExchange, RefusedPrivateDataLeavesTheCallersDataAlone) {
  const uint8_t sent[] = {1};
  ASSERT_EQ(sendPrdataResp(daemonProto, pair.farFd, 8, ERR_INVALID, ByteData(sent, 1)),
            ERR_NONE);
  uint32_t id = 8;
  const uint8_t old[] = {0xaa};
  ByteData data(old, 1);
  EXPECT_EQ(recvPrdataResp(clientProto, pair.nearFd, id, data), ERR_INVALID);
  EXPECT_EQ(data.hexText(), "0xaa ");
}

TEST_F(CatalogueExchange, GroupQueryGivesTheMemberBitmap) {
  ASSERT_EQ(sendQgrpResp(daemonProto, pair.farFd, 9, bitmapOf({0, 9, 127})), ERR_NONE);
  uint32_t id = 9;
  MemberBitmap map{};
  ASSERT_EQ(recvQgrpResp(clientProto, pair.nearFd, id, map), ERR_NONE);
  EXPECT_EQ(map, bitmapOf({0, 9, 127}));
}

TEST_F(CatalogueExchange, GroupQueryWithWrongChecksumZeroesTheBitmap) {
  ASSERT_EQ(buildQgrpResp(daemonProto, 9, bitmapOf({1, 2})), ERR_NONE);
  daemonBuf[daemonProto.length() - 1] ^= 0x40;
  sendBuilt();
  uint32_t id = 9;
  MemberBitmap map = bitmapOf({5});
  EXPECT_EQ(recvQgrpResp(clientProto, pair.nearFd, id, map), ERR_CHECKSUM);
  EXPECT_EQ(map, MemberBitmap{});
}

TEST_F(CatalogueExchange, ResponseToAnotherRequestIsRefusedAndConsumed) {
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 1000, 0), ERR_NONE);
  uint32_t id = 1001;
  TraceCapture trace;
  EXPECT_EQ(recvDrgResp(clientProto, pair.nearFd, id), ERR_READ);
  EXPECT_NE(trace.lines().find("saw type=4,id=1000 BUT looking for type=4,id=1001"),
            std::string::npos);
  EXPECT_EQ(clientProto.readMsg(pair.nearFd), ERR_EMPTY);
}

TEST_F(CatalogueExchange, ResponseOfAnotherTypeIsRefused) {
  ASSERT_EQ(sendDrgResp(daemonProto, pair.farFd, 5, 0), ERR_NONE);
  uint32_t id = 5;
  int32_t memno = -1;
  EXPECT_EQ(recvRegResp(clientProto, pair.nearFd, id, memno), ERR_READ);
  EXPECT_EQ(memno, -1);
}

}  // namespace
}  // namespace skgxn
