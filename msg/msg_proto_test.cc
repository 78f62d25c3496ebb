// Tests of the MsgProto field operations, the checksum, message dumps and
// ByteData: exact results, cursor movement and trace texts.
#include "msg/msg_proto.h"

#include <array>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "diag/trace.h"
#include "msg/byte_data.h"
#include "msg/test_support.h"

namespace skgxn {
namespace {

using test::TraceCapture;

TEST(Checksum, SumsUnsignedBytesModulo65536) {
  std::array<uint8_t, 300> bytes;
  bytes.fill(0xff);
  EXPECT_EQ(msgChecksum(bytes.data(), bytes.size()), (300 * 255) % 65536);
  EXPECT_EQ(msgChecksum(bytes.data(), 0), 0);
}

TEST(ByteData, KeepsOnlyTheFirst96Bytes) {
  std::array<uint8_t, 200> bytes;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  const ByteData data(bytes.data(), bytes.size());
  ASSERT_EQ(data.size(), 96u);
  EXPECT_EQ(std::memcmp(data.data(), bytes.data(), 96), 0);
}

TEST(ByteData, NullPointerGivesEmptyWhateverTheLength) {
  const ByteData data(nullptr, 10);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(data.hexText(), "");
}

TEST(ByteData, HexTextIsLowerCaseWithPrefixAndBlank) {
  const uint8_t bytes[] = {0x00, 0xab, 0x7f};
  EXPECT_EQ(ByteData(bytes, 3).hexText(), "0x00 0xab 0x7f ");
}

class MsgProtoFields : public ::testing::Test {
 protected:
  uint8_t buf[32] = {};
  MsgProto proto{buf, sizeof buf};
};

TEST_F(MsgProtoFields, WriteDataWithoutRoomWritesNothingAndTracesNothing) {
  uint8_t src[40] = {};
  TraceCapture trace;
  EXPECT_EQ(proto.writeData(33, src), ERR_SIZE);
  EXPECT_EQ(proto.length(), 0u);
  EXPECT_EQ(proto.writeData(4, nullptr), ERR_INVALID);
  EXPECT_EQ(trace.lines(), "");
  EXPECT_EQ(proto.writeData(32, src), ERR_NONE);
  EXPECT_EQ(proto.cursor(), proto.end());
}

TEST_F(MsgProtoFields, ShortReadTracesSizeAndOffsets) {
  uint8_t skipped[28];
  uint8_t dst[8];
  ASSERT_EQ(proto.readData(sizeof skipped, skipped), ERR_NONE);
  TraceCapture trace;
  EXPECT_EQ(proto.readData(8, dst), ERR_SIZE);
  EXPECT_EQ(proto.length(), 28u);
  EXPECT_NE(trace.lines().find(
                "MsgProto::readData:ERROR BUF TOO SMALL - bufsize=8, begBuf=28, endBuf=32\n"),
            std::string::npos);
}

TEST_F(MsgProtoFields, TypesZeroAndTenAreNeverWritten) {
  for (uint32_t type : {0u, 10u}) {
    TraceCapture trace;
    EXPECT_EQ(proto.writeMsgType(type), ERR_INVALID);
    EXPECT_EQ(proto.length(), 0u);
    EXPECT_NE(trace.lines().find("MsgProto::writeMsgType:ERROR invalid msgType " +
                                 std::to_string(type) + "\n"),
              std::string::npos);
  }
}

TEST_F(MsgProtoFields, ReadingAnInvalidTypeConsumesItsFourBytes) {
  const uint32_t ten = 10;
  std::memcpy(buf, &ten, 4);
  uint32_t type = 0;
  TraceCapture trace;
  EXPECT_EQ(proto.readMsgType(type), ERR_INVALID);
  EXPECT_EQ(type, 10u);
  EXPECT_EQ(proto.length(), 4u);
  EXPECT_NE(trace.lines().find("MsgProto::readMsgType:ERROR invalid msgType 10\n"),
            std::string::npos);
}

TEST_F(MsgProtoFields, TypeCutByTheBufferEndNamesTheError) {
  MsgProto small(buf, 2);
  uint32_t type = 0;
  TraceCapture trace;
  EXPECT_EQ(small.readMsgType(type), ERR_SIZE);
  EXPECT_NE(trace.lines().find(std::string("MsgProto::readMsgType:ERROR reading msgType: ") +
                               errorName(ERR_SIZE) + "\n"),
            std::string::npos);
}

TEST_F(MsgProtoFields, TextWithoutNulKeepsWhatWasRead) {
  MsgProto small(buf, 3);
  std::memcpy(buf, "abc", 3);
  std::string text = "old";
  TraceCapture trace;
  EXPECT_EQ(small.readString(text), ERR_SIZE);
  EXPECT_EQ(text, "abc");
  EXPECT_NE(trace.lines().find(
                "MsgProto::readString:ERROR BUF TOO SMALL - bufsize=3, begBuf=3, endBuf=3\n"),
            std::string::npos);
}

TEST_F(MsgProtoFields, TextAtTheBufferEndIsEmpty) {
  MsgProto empty(buf, 0);
  std::string text = "old";
  EXPECT_EQ(empty.readString(text), ERR_NONE);
  EXPECT_EQ(text, "");
}

TEST_F(MsgProtoFields, TextRoundTripsWithItsNul) {
  ASSERT_EQ(proto.writeString("grp"), ERR_NONE);
  EXPECT_EQ(proto.length(), 4u);
  EXPECT_EQ(buf[3], 0);
  proto.rewind();
  std::string text;
  EXPECT_EQ(proto.readString(text), ERR_NONE);
  EXPECT_EQ(text, "grp");
  EXPECT_EQ(proto.length(), 4u);
}

class MsgProtoVarData : public ::testing::Test {
 protected:
  uint8_t buf[256] = {};
  MsgProto proto{buf, sizeof buf};
  uint8_t area[kMaxPrivateData] = {};

  void announce(uint32_t len) {
    std::memcpy(buf, &len, 4);
    std::memset(buf + 4, 0x5a, len);
  }
};

TEST_F(MsgProtoVarData, NinetySixBytesAreAccepted) {
  announce(96);
  uint32_t len = 0;
  EXPECT_EQ(proto.readVarData(len, area, kMaxPrivateData), ERR_NONE);
  EXPECT_EQ(len, 96u);
  EXPECT_EQ(area[95], 0x5a);
  EXPECT_EQ(proto.length(), 100u);
}

TEST_F(MsgProtoVarData, NinetySevenBytesAreRefusedAfterTheLength) {
  announce(97);
  uint32_t len = 0;
  TraceCapture trace;
  EXPECT_EQ(proto.readVarData(len, area, kMaxPrivateData), ERR_SIZE);
  EXPECT_EQ(len, 97u);
  EXPECT_EQ(proto.length(), 4u);
  EXPECT_EQ(area[0], 0);
  EXPECT_NE(trace.lines().find("MsgProto::readVarData:ERROR BUF TOO SMALL - "
                               "maxsize=96bufsize=97, begBuf=4, endBuf=256\n"),
            std::string::npos);
}

TEST_F(MsgProtoVarData, LengthBeyondTheBufferEndIsRefused) {
  MsgProto small(buf, 50);
  announce(60);
  uint32_t len = 0;
  EXPECT_EQ(small.readVarData(len, area, kMaxPrivateData), ERR_SIZE);
}

TEST_F(MsgProtoVarData, WriteWithoutRoomForLengthAndDataWritesNothing) {
  MsgProto small(buf, 4 + 10 - 1);
  EXPECT_EQ(small.writeVarData(10, area), ERR_SIZE);
  EXPECT_EQ(small.length(), 0u);
  MsgProto exact(buf, 4 + 10);
  EXPECT_EQ(exact.writeVarData(10, area), ERR_NONE);
  EXPECT_EQ(exact.length(), 14u);
}

TEST_F(MsgProtoVarData, EmptyDataFromNullWritesTheLengthOnly) {
  buf[0] = 0xee;
  EXPECT_EQ(proto.writeVarData(0, nullptr), ERR_NONE);
  EXPECT_EQ(proto.length(), 4u);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(proto.writeVarData(1, nullptr), ERR_INVALID);
}

TEST(MsgProtoChecksum, MatchesTheSumOfEveryByteBeforeIt) {
  uint8_t buf[16] = {};
  MsgProto proto(buf, sizeof buf);
  const uint32_t value = 0x01020304;
  ASSERT_EQ(proto.writeData(4, &value), ERR_NONE);
  ASSERT_EQ(proto.writeChecksum(), ERR_NONE);
  EXPECT_EQ(buf[4] | buf[5] << 8, 10);
  proto.rewind();
  uint32_t back = 0;
  ASSERT_EQ(proto.readData(4, &back), ERR_NONE);
  EXPECT_EQ(proto.readChecksum(), ERR_NONE);
  buf[0] ^= 1;
  proto.rewind();
  ASSERT_EQ(proto.readData(4, &back), ERR_NONE);
  TraceCapture trace;
  EXPECT_EQ(proto.readChecksum(), ERR_CHECKSUM);
  EXPECT_EQ(trace.lines(), "");
}

TEST(MsgProtoPeek, LeavesTheCursorAndAdvancesThePosition) {
  uint8_t buf[6] = {1, 0, 0, 0, 2, 0};
  MsgProto proto(buf, sizeof buf);
  const uint8_t* pos = nullptr;
  uint32_t value = 0;
  EXPECT_EQ(proto.peekData(pos, &value, 4), ERR_NONE);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(pos, buf + 4);
  EXPECT_EQ(proto.peekData(pos, &value, 4), ERR_SIZE);
  EXPECT_EQ(proto.peekData(pos, nullptr, 1), ERR_INVALID);
  EXPECT_EQ(proto.length(), 0u);
}

class MsgProtoValidResponse : public ::testing::Test {
 protected:
  void SetUp() override {
    const uint32_t words[2] = {MSG_DRG_RESP, 42};
    std::memcpy(buf, words, sizeof words);
  }
  uint8_t buf[16] = {};
  MsgProto proto{buf, sizeof buf};
};

TEST_F(MsgProtoValidResponse, MatchingTypeAndIdTracesNothing) {
  TraceCapture trace;
  EXPECT_TRUE(proto.validResponse(MSG_DRG_RESP, 42));
  EXPECT_EQ(trace.lines(), "");
}

TEST_F(MsgProtoValidResponse, AnotherIdIsRefusedWithTheSawLine) {
  TraceCapture trace;
  EXPECT_FALSE(proto.validResponse(MSG_DRG_RESP, 43));
  EXPECT_NE(trace.lines().find("MsgProto::validResponse:ERROR saw type=4,id=42 BUT looking "
                               "for type=4,id=43\n"),
            std::string::npos);
}

TEST_F(MsgProtoValidResponse, ShortBufferIsRefusedWithThePeekLine) {
  MsgProto small(buf, 6);
  TraceCapture trace;
  EXPECT_FALSE(small.validResponse(MSG_DRG_RESP, 42));
  EXPECT_NE(trace.lines().find(std::string("MsgProto::validResponse:ERROR ") +
                               errorName(ERR_SIZE) + " when peeking at msg buffer\n"),
            std::string::npos);
}

class MsgProtoDump : public ::testing::Test {
 protected:
  void TearDown() override { traceMask.store(TRACE_DEFAULT); }
  uint8_t buf[64] = {};
  MsgProto proto{buf, sizeof buf};
};

TEST_F(MsgProtoDump, NeedsBothMessageAndVerboseBits) {
  traceMask.store(TRACE_ERR | TRACE_MSG);
  TraceCapture trace;
  proto.dumpMsg("Write Msg DUMP:", 4);
  EXPECT_EQ(trace.lines().find("dumpMsg"), std::string::npos);
}

TEST_F(MsgProtoDump, BreaksTheLineEverySixteenBytes) {
  for (uint8_t i = 0; i < 17; ++i) buf[i] = i;
  traceMask.store(TRACE_ERR | TRACE_MSG | TRACE_VER);
  TraceCapture trace;
  proto.dumpMsg("Read Msg DUMP:", 17);
  EXPECT_NE(trace.lines().find("MsgProto::dumpMsg:MSG Read Msg DUMP:\n"
                               "    00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \n"
                               "    10 \n"),
            std::string::npos);
}

}  // namespace
}  // namespace skgxn
