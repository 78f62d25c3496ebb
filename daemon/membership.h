// The membership core of velkd: groups, member numbers, private data and the
// events each change produces. It knows nothing of sockets; members are keyed
// by node and connection, and events come out as deliveries for the transport
// to write.
#ifndef DAEMON_MEMBERSHIP_H_
#define DAEMON_MEMBERSHIP_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "diag/err_code.h"
#include "msg/byte_data.h"
#include "msg/member_bitmap.h"
#include "msg/shared_values.h"

namespace skgxn {

// Identifies one client connection for the life of the daemon; never reused.
using ConnId = uint64_t;

// Identifies a membership across the cluster: the node whose daemon holds
// the member's connection, and that connection there.
struct MemberKey {
  uint32_t node = 0;
  ConnId conn = 0;
  friend bool operator==(const MemberKey&, const MemberKey&) = default;
};

struct MemberKeyHash {
  size_t operator()(const MemberKey& key) const {
    return std::hash<uint64_t>()(key.conn ^ (static_cast<uint64_t>(key.node) << 40));
  }
};

struct PeerCred {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

struct JoinRequest {
  std::string name;
  int32_t memno = -1;  // 0..127 asks for that number, anything else the lowest free
  ByteData data;
  PeerCred peer;
  int64_t now = 0;  // wall-clock seconds, kept as the joining time
};

// One event for one registration; the transport numbers it when it writes it.
struct Delivery {
  MemberKey key;
  uint32_t event = 0;
  MemberBitmap bitmap{};
};
using Outbox = std::vector<Delivery>;

struct Member {
  MemberKey key;
  std::string group;
  int32_t memno = 0;
  PeerCred peer;
  ByteData data;
  int64_t joinedAt = 0;
};

struct GroupSummary {
  std::string name;
  MemberBitmap bitmap{};
  size_t count = 0;
};

class Membership {
 public:
  // Binds key to a membership. On success memno is the granted number and
  // every member of the group, the joiner included, gets a reconfiguration
  // in out. Refusals: ERR_INVALID (name too long), ERR_IN_USE (key already
  // holds a membership), ERR_MAX_MEMBERS (group full), ERR_EXIST (the number
  // asked for is taken; memno is that number). Other refusals leave memno -1.
  [[nodiscard]] ErrCode join(MemberKey key, const JoinRequest& req, int32_t& memno, Outbox& out);

  // Ends key's membership; the remaining members get a reconfiguration. A
  // group whose last member leaves ceases to exist. ERR_BAD_STATE when key
  // holds none. Used for a leave request and for a lost connection alike.
  [[nodiscard]] ErrCode leave(MemberKey key, Outbox& out);

  // Ends every membership held on node, as when that node is gone: each
  // group that loses members gets one reconfiguration for its remaining
  // members, however many it lost. Returns the number of memberships ended.
  size_t dropNode(uint32_t node, Outbox& out);

  // The private data of member memno in the asker's group. ERR_BAD_STATE when
  // key holds no membership, ERR_EXIST when there is no such member.
  [[nodiscard]] ErrCode privateData(MemberKey key, int32_t memno, ByteData& data) const;

  // The group's member bitmap; all zero when the group does not exist.
  MemberBitmap query(const std::string& name) const;

  // Sends event with the group's bitmap to every member of the group, or to
  // member memno only. ERR_EXIST when the group or the member does not exist.
  [[nodiscard]] ErrCode signal(const std::string& name, uint32_t event,
                               std::optional<int32_t> memno, Outbox& out) const;
  // Sends event to every member of every group.
  void signalAll(uint32_t event, Outbox& out) const;

  // The membership bound to key, or null.
  const Member* memberOf(MemberKey key) const;
  // The members of a group in number order; empty when it does not exist.
  std::vector<Member> members(const std::string& name) const;
  std::vector<GroupSummary> groups() const;
  size_t groupCount() const { return groups_.size(); }
  size_t memberCount() const { return byKey_.size(); }

 private:
  struct Group {
    MemberBitmap bitmap{};
    std::map<int32_t, Member> members;
  };
  struct Binding {
    std::string group;
    int32_t memno = 0;
  };

  static int32_t lowestFree(const Group& group);
  static void tellAll(const Group& group, uint32_t event, Outbox& out);

  std::map<std::string, Group> groups_;
  std::unordered_map<MemberKey, Binding, MemberKeyHash> byKey_;
};

}  // namespace skgxn

#endif  // DAEMON_MEMBERSHIP_H_
