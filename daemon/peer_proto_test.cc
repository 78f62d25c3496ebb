// Tests of the codec between velkd instances: every message survives a round
// trip, and every damaged message is refused rather than half-applied.
#include "daemon/peer_proto.h"

#include <gtest/gtest.h>

#include <vector>

namespace skgxn {
namespace {

std::vector<uint8_t> encoded(const PeerMessage& m) {
  std::vector<uint8_t> out;
  EXPECT_EQ(encodePeer(m, out), ERR_NONE);
  return out;
}

JoinRequest request(const std::string& name) {
  return JoinRequest{name, 5, ByteData("\x01\xff", 2), PeerCred{1234, 1000, 100}, 1700000000};
}

PeerState state() {
  const JoinRequest r = request("db");
  Member m{MemberKey{3, 1ull << 40}, r.name, 127, r.peer, r.data, r.now};
  return PeerState{{1, 2, 3}, {m, m}, {1, 3}};
}

TEST(PeerProto, EveryTypeRoundTripsAndOnlyItsWholeEncodingDecodes) {
  for (const PeerMessage& m : {PeerMessage{PeerJoin{7, request("group-of-18-chars!")}},
                               PeerMessage{PeerLeave{8, LeaveReason::kConnectionLost}},
                               PeerMessage{PeerSignal{"db", 8, false, 3}},
                               PeerMessage{PeerSync{true, 2, {1, 2}}}, PeerMessage{state()}}) {
    std::vector<uint8_t> bytes = encoded(m);
    PeerMessage back;
    uint16_t version = 0;
    for (size_t n = 0; n < bytes.size(); ++n)
      EXPECT_EQ(decodePeer(bytes.data(), n, back, version), ERR_INVALID) << m.index() << " " << n;
    ASSERT_EQ(decodePeer(bytes.data(), bytes.size(), back, version), ERR_NONE) << m.index();
    EXPECT_EQ(back.index(), m.index());
    EXPECT_EQ(encoded(back), bytes) << m.index();
    bytes.push_back(0);
    EXPECT_EQ(decodePeer(bytes.data(), bytes.size(), back, version), ERR_INVALID);
  }
}

// Each case damages one byte of an encoded message.
TEST(PeerProto, DamagedFieldsAreRefusedAndAnotherVersionIsNamed) {
  const size_t body = kPeerHeaderBytes;
  const struct {
    const char* what;
    PeerMessage message;
    size_t offset;
    uint8_t value;
    ErrCode expected;
  } cases[] = {
      {"magic", PeerLeave{1}, 0, 0x00, ERR_INVALID},
      {"version", PeerLeave{1}, 5, 0x02, ERR_UNAVAILABLE},
      {"unknown type", PeerLeave{1}, 7, 0x09, ERR_INVALID},
      {"length", PeerLeave{1}, 11, 0x0a, ERR_INVALID},
      {"leave reason", PeerLeave{1}, body + 8, 0x03, ERR_INVALID},
      {"name over 18", PeerSignal{"db", 1, true, 0}, body, 19, ERR_INVALID},
      {"signal flag", PeerSignal{"db", 1, true, 0}, body + 7, 2, ERR_INVALID},
      {"sync flag", PeerSync{true, 1, {1}}, body, 2, ERR_INVALID},
      {"node count", PeerSync{true, 1, {1}}, body + 5, 0xff, ERR_INVALID},
      {"member count", state(), body + 16, 0x7f, ERR_INVALID},
      {"member number", state(), body + 20 + 4 + 8 + 3, 0x80, ERR_INVALID},
      {"data over 96", PeerJoin{1, request("")}, body + 8 + 1 + 4, 97, ERR_INVALID},
  };
  for (const auto& d : cases) {
    std::vector<uint8_t> bytes = encoded(d.message);
    bytes.at(d.offset) = d.value;
    PeerMessage back;
    uint16_t version = 0;
    EXPECT_EQ(decodePeer(bytes.data(), bytes.size(), back, version), d.expected) << d.what;
    EXPECT_TRUE(d.expected != ERR_UNAVAILABLE || version == 2) << d.what;
  }
}

TEST(PeerProto, UnrepresentableFieldsAreNotEncoded) {
  std::vector<uint8_t> out;
  EXPECT_EQ(encodePeer(PeerJoin{1, request("a-name-of-nineteen!")}, out), ERR_INVALID);
  EXPECT_EQ(encodePeer(PeerSignal{std::string(19, 'x'), 1, true, 0}, out), ERR_INVALID);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace skgxn
