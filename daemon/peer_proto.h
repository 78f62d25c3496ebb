// The messages velkd instances multicast to each other through the cluster
// engine, and their codec. Not the library's messages to the daemon: those
// are msg/. Every field is big-endian; a message is a fixed header (magic,
// protocol version, type, body length) and a body that must be consumed
// exactly.
#ifndef DAEMON_PEER_PROTO_H_
#define DAEMON_PEER_PROTO_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "daemon/membership.h"
#include "diag/err_code.h"

namespace skgxn {

inline constexpr uint32_t kPeerMagic = 0x564b4c44;
// Raised whenever a layout changes; a peer speaking another version is
// named in the log and its messages are not applied.
inline constexpr uint16_t kPeerVersion = 1;
inline constexpr size_t kPeerHeaderBytes = 12;
// The most members a state message may describe; far above what any table
// holds, low enough that a lying count cannot make a decoder allocate much.
inline constexpr uint32_t kMaxPeerMembers = 1u << 20;

enum class PeerType : uint16_t { kJoin = 1, kLeave = 2, kSignal = 3, kSync = 4, kState = 5 };

// A client of node `origin` asks to join; origin is the sender's node.
struct PeerJoin {
  ConnId conn = 0;
  JoinRequest req;
};

enum class LeaveReason : uint8_t { kRequest = 0, kConnectionLost = 1, kEventFailed = 2 };

struct PeerLeave {
  ConnId conn = 0;
  LeaveReason reason = LeaveReason::kRequest;
};

// The administrator's event to a whole group (all) or to member memno.
struct PeerSignal {
  std::string group;
  uint32_t event = 0;
  bool all = true;
  int32_t memno = 0;
};

// Sent by every node at a configuration change: whether the sender held a
// table agreed under quorum (synced), how many nodes shared that table just
// before the change (partition), and the node list it saw change to.
struct PeerSync {
  bool synced = false;
  uint32_t partition = 0;
  std::vector<uint32_t> view;
};

// The whole table, as the chosen node held it at its point in the order,
// for the configuration view; synced lists the nodes that hold it.
struct PeerState {
  std::vector<uint32_t> view;
  std::vector<Member> members;
  std::vector<uint32_t> synced;
};

using PeerMessage = std::variant<PeerJoin, PeerLeave, PeerSignal, PeerSync, PeerState>;

// Appends m, header and body, to out. ERR_INVALID when a field cannot be
// represented (a name over kMaxGroupName, data over kMaxPrivateData, more
// than kMaxPeerMembers members); out is then unchanged.
[[nodiscard]] ErrCode encodePeer(const PeerMessage& m, std::vector<uint8_t>& out);

// Decodes the n bytes at data. ERR_NONE with m set; ERR_UNAVAILABLE when the
// magic is right but the version is not ours (version says which, m is not
// set); ERR_INVALID for anything else: a wrong magic, a truncated header or
// body, a length that disagrees with n, an unknown type, a field out of
// range or bytes left over. Never reads outside data.
[[nodiscard]] ErrCode decodePeer(const uint8_t* data, size_t n, PeerMessage& m, uint16_t& version);

}  // namespace skgxn

#endif  // DAEMON_PEER_PROTO_H_
