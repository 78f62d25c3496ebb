// Tests of the MsgProto field operations, the checksum, message dumps and
// ByteData: exact results, cursor movement and trace texts.
#include "msg/msg_proto.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "diag/trace.h"
#include "msg/byte_data.h"
#include "msg/test_support.h"

namespace skgxn {
namespace {

using test::TraceCapture;

bool traced(const TraceCapture& trace, const std::string& line) {
  return trace.text().find(line) != std::string::npos;
}

TEST(ByteData, KeepsAtMost96BytesAndNothingFromNull) {
  std::array<uint8_t, 200> bytes;
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  const ByteData data(bytes.data(), bytes.size());
  ASSERT_EQ(data.size(), 96u);
  EXPECT_EQ(std::memcmp(data.data(), bytes.data(), 96), 0);
  EXPECT_EQ(ByteData(nullptr, 10).hexText(), "");
  EXPECT_EQ(ByteData("\x00\xab\x7f", 3).hexText(), "0x00 0xab 0x7f ");
}

class MsgProtoTest : public ::testing::Test {
 protected:
  void TearDown() override { traceMask.store(TRACE_DEFAULT); }
  void announce(uint32_t len) {
    std::memcpy(buf, &len, 4);
    std::memset(buf + 4, 0x5a, len);
  }
  uint8_t buf[256] = {};
  MsgProto proto{buf, sizeof buf};
};

TEST_F(MsgProtoTest, DataWithoutRoomMovesNothingAndReadTracesOffsets) {
  uint8_t bytes[40] = {};
  MsgProto small(buf, 32);
  TraceCapture trace;
  EXPECT_EQ(small.writeData(33, bytes), ERR_SIZE);
  EXPECT_EQ(trace.text(), "");
  ASSERT_EQ(small.readData(28, bytes), ERR_NONE);
  EXPECT_EQ(small.readData(8, bytes), ERR_SIZE);
  EXPECT_EQ(small.length(), 28u);
  EXPECT_TRUE(traced(trace,
                     "MsgProto::readData:ERROR BUF TOO SMALL - bufsize=8, begBuf=28, "
                     "endBuf=32\n"));
}

TEST_F(MsgProtoTest, TypesZeroAndTenAreNeverWrittenAndTenIsRefusedOnRead) {
  for (uint32_t type : {0u, 10u}) {
    SCOPED_TRACE(type);
    TraceCapture trace;
    EXPECT_EQ(proto.writeMsgType(type), ERR_INVALID);
    EXPECT_EQ(proto.length(), 0u);
    EXPECT_TRUE(traced(
        trace, "MsgProto::writeMsgType:ERROR invalid msgType " + std::to_string(type) + "\n"));
  }
  buf[0] = 10;
  uint32_t type = 0;
  TraceCapture trace;
  EXPECT_EQ(proto.readMsgType(type), ERR_INVALID);
  EXPECT_EQ(type, 10u);
  EXPECT_EQ(proto.length(), 4u);
  EXPECT_TRUE(traced(trace, "MsgProto::readMsgType:ERROR invalid msgType 10\n"));
  EXPECT_EQ(MsgProto(buf, 2).readMsgType(type), ERR_SIZE);
  EXPECT_TRUE(traced(trace, std::string("MsgProto::readMsgType:ERROR reading msgType: ") +
                                errorName(ERR_SIZE) + "\n"));
}

TEST_F(MsgProtoTest, TextRoundTripsWithItsNulAndKeepsWhatWasReadWithoutOne) {
  std::string text = "old";
  ASSERT_EQ(proto.writeString("grp"), ERR_NONE);
  EXPECT_EQ(proto.length(), 4u);
  proto.rewind();
  EXPECT_EQ(proto.readString(text), ERR_NONE);
  EXPECT_EQ(text, "grp");
  EXPECT_EQ(proto.length(), 4u);

  std::memcpy(buf, "abc", 3);
  TraceCapture trace;
  EXPECT_EQ(MsgProto(buf, 3).readString(text), ERR_SIZE);
  EXPECT_EQ(text, "abc");
  EXPECT_TRUE(traced(trace,
                     "MsgProto::readString:ERROR BUF TOO SMALL - bufsize=3, begBuf=3, "
                     "endBuf=3\n"));
}

TEST_F(MsgProtoTest, VarDataOf96IsAcceptedAnd97RefusedAfterTheLength) {
  uint8_t area[kMaxPrivateData] = {};
  uint32_t len = 0;
  announce(96);
  EXPECT_EQ(proto.readVarData(len, area, kMaxPrivateData), ERR_NONE);
  EXPECT_EQ(len, 96u);
  EXPECT_EQ(area[95], 0x5a);
  EXPECT_EQ(proto.length(), 100u);

  std::memset(area, 0, sizeof area);
  announce(97);
  proto.rewind();
  TraceCapture trace;
  EXPECT_EQ(proto.readVarData(len, area, kMaxPrivateData), ERR_SIZE);
  EXPECT_EQ(len, 97u);
  EXPECT_EQ(proto.length(), 4u);
  EXPECT_EQ(area[0], 0);
  EXPECT_TRUE(traced(trace,
                     "MsgProto::readVarData:ERROR BUF TOO SMALL - "
                     "maxsize=96bufsize=97, begBuf=4, endBuf=256\n"));
  announce(60);
  EXPECT_EQ(MsgProto(buf, 50).readVarData(len, area, kMaxPrivateData), ERR_SIZE);
}

TEST_F(MsgProtoTest, VarDataWriteNeedsRoomForLengthAndData) {
  const uint8_t area[10] = {};
  MsgProto tight(buf, 4 + 10 - 1);
  EXPECT_EQ(tight.writeVarData(10, area), ERR_SIZE);
  EXPECT_EQ(tight.cursor(), buf);
  MsgProto exact(buf, 4 + 10);
  EXPECT_EQ(exact.writeVarData(10, area), ERR_NONE);
  EXPECT_EQ(exact.length(), 14u);
}

TEST_F(MsgProtoTest, ChecksumIsTheSumOfEveryByteBeforeItAndFailsSilently) {
  std::array<uint8_t, 300> ones;
  ones.fill(0xff);
  EXPECT_EQ(msgChecksum(ones.data(), ones.size()), (300 * 255) % 65536);
  const uint32_t value = 0x01020304;
  ASSERT_EQ(proto.writeData(4, &value), ERR_NONE);
  ASSERT_EQ(proto.writeChecksum(), ERR_NONE);
  EXPECT_EQ(buf[4] | buf[5] << 8, 10);
  for (const ErrCode expected : {ERR_NONE, ERR_CHECKSUM}) {
    proto.rewind();
    uint32_t back = 0;
    ASSERT_EQ(proto.readData(4, &back), ERR_NONE);
    TraceCapture trace;
    EXPECT_EQ(proto.readChecksum(), expected);
    EXPECT_EQ(trace.text(), "");
    buf[0] ^= 1;
  }
}

TEST_F(MsgProtoTest, ValidResponseNeedsTypeAndIdAndTracesWhatItSaw) {
  const uint32_t words[2] = {MSG_DRG_RESP, 42};
  std::memcpy(buf, words, sizeof words);
  TraceCapture trace;
  EXPECT_TRUE(proto.validResponse(MSG_DRG_RESP, 42));
  EXPECT_EQ(trace.text(), "");
  EXPECT_FALSE(proto.validResponse(MSG_DRG_RESP, 43));
  EXPECT_TRUE(traced(trace,
                     "MsgProto::validResponse:ERROR saw type=4,id=42 BUT looking for "
                     "type=4,id=43\n"));
  EXPECT_FALSE(MsgProto(buf, 6).validResponse(MSG_DRG_RESP, 42));
  EXPECT_TRUE(traced(trace, std::string("MsgProto::validResponse:ERROR ") + errorName(ERR_SIZE) +
                                " when peeking at msg buffer\n"));
}

TEST_F(MsgProtoTest, DumpNeedsBothBitsAndBreaksTheLineEverySixteenBytes) {
  for (uint8_t i = 0; i < 17; ++i) buf[i] = i;
  traceMask.store(TRACE_ERR | TRACE_MSG);
  TraceCapture trace;
  proto.dumpMsg("Read Msg DUMP:", 17);
  EXPECT_FALSE(traced(trace, "dumpMsg"));
  traceMask.store(TRACE_ERR | TRACE_MSG | TRACE_VER);
  proto.dumpMsg("Read Msg DUMP:", 17);
  EXPECT_TRUE(traced(trace,
                     "MsgProto::dumpMsg:MSG Read Msg DUMP:\n"
                     "    00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f \n"
                     "    10 \n"));
}

}  // namespace
}  // namespace skgxn
