// Membership policy of velkd: who may join under which number, and which
// members hear of each change. Pure bookkeeping; the server does the I/O.
#include "daemon/membership.h"

#include "msg/shared_values.h"

namespace skgxn {

ErrCode Membership::join(MemberKey key, const JoinRequest& req, int32_t& memno, Outbox& out) {
  memno = -1;
  if (req.name.size() > kMaxGroupName) return ERR_INVALID;
  if (byKey_.count(key) != 0) return ERR_IN_USE;
  auto found = groups_.find(req.name);
  if (found != groups_.end() && found->second.members.size() >= kMaxMembers) {
    return ERR_MAX_MEMBERS;
  }
  const bool asked = req.memno >= 0 && req.memno < static_cast<int32_t>(kMaxMembers);
  if (asked && found != groups_.end() && found->second.members.count(req.memno) != 0) {
    memno = req.memno;
    return ERR_EXIST;
  }
  Group& group = groups_[req.name];
  const int32_t granted = asked ? req.memno : lowestFree(group);
  group.members[granted] = Member{key, req.name, granted, req.peer, req.data, req.now};
  addMember(group.bitmap, static_cast<uint32_t>(granted));
  byKey_[key] = Binding{req.name, granted};
  memno = granted;
  tellAll(group, kEventReconfig, out);
  return ERR_NONE;
}

ErrCode Membership::leave(MemberKey key, Outbox& out) {
  auto bound = byKey_.find(key);
  if (bound == byKey_.end()) return ERR_BAD_STATE;
  auto found = groups_.find(bound->second.group);
  Group& group = found->second;
  group.members.erase(bound->second.memno);
  removeMember(group.bitmap, static_cast<uint32_t>(bound->second.memno));
  byKey_.erase(bound);
  if (group.members.empty()) {
    groups_.erase(found);
  } else {
    tellAll(group, kEventReconfig, out);
  }
  return ERR_NONE;
}

size_t Membership::dropNode(uint32_t node, Outbox& out) {
  size_t dropped = 0;
  // Groups in name order, so every daemon that applies this emits the same
  // deliveries in the same order.
  for (auto g = groups_.begin(); g != groups_.end();) {
    Group& group = g->second;
    const size_t before = group.members.size();
    std::erase_if(group.members, [&](const auto& entry) {
      const Member& m = entry.second;
      if (m.key.node != node) return false;
      removeMember(group.bitmap, static_cast<uint32_t>(m.memno));
      byKey_.erase(m.key);
      return true;
    });
    dropped += before - group.members.size();
    if (group.members.empty()) {
      g = groups_.erase(g);
      continue;
    }
    if (group.members.size() != before) tellAll(group, kEventReconfig, out);
    ++g;
  }
  return dropped;
}

ErrCode Membership::privateData(MemberKey key, int32_t memno, ByteData& data) const {
  auto bound = byKey_.find(key);
  if (bound == byKey_.end()) return ERR_BAD_STATE;
  const Group& group = groups_.at(bound->second.group);
  auto member = group.members.find(memno);
  if (member == group.members.end()) return ERR_EXIST;
  data = member->second.data;
  return ERR_NONE;
}

MemberBitmap Membership::query(const std::string& name) const {
  auto found = groups_.find(name);
  return found == groups_.end() ? MemberBitmap{} : found->second.bitmap;
}

ErrCode Membership::signal(const std::string& name, uint32_t event, std::optional<int32_t> memno,
                           Outbox& out) const {
  auto found = groups_.find(name);
  if (found == groups_.end()) return ERR_EXIST;
  const Group& group = found->second;
  if (!memno) {
    tellAll(group, event, out);
    return ERR_NONE;
  }
  auto member = group.members.find(*memno);
  if (member == group.members.end()) return ERR_EXIST;
  out.push_back(Delivery{member->second.key, event, group.bitmap});
  return ERR_NONE;
}

void Membership::signalAll(uint32_t event, Outbox& out) const {
  for (const auto& [name, group] : groups_) tellAll(group, event, out);
}

const Member* Membership::memberOf(MemberKey key) const {
  auto bound = byKey_.find(key);
  if (bound == byKey_.end()) return nullptr;
  return &groups_.at(bound->second.group).members.at(bound->second.memno);
}

std::vector<Member> Membership::members(const std::string& name) const {
  std::vector<Member> list;
  auto found = groups_.find(name);
  if (found == groups_.end()) return list;
  for (const auto& [memno, member] : found->second.members) list.push_back(member);
  return list;
}

std::vector<GroupSummary> Membership::groups() const {
  std::vector<GroupSummary> list;
  for (const auto& [name, group] : groups_) {
    list.push_back(GroupSummary{name, group.bitmap, group.members.size()});
  }
  return list;
}

int32_t Membership::lowestFree(const Group& group) {
  int32_t candidate = 0;
  // members is ordered by number, so the first gap is the lowest free number.
  for (const auto& [memno, member] : group.members) {
    if (memno != candidate) break;
    ++candidate;
  }
  return candidate;
}

void Membership::tellAll(const Group& group, uint32_t event, Outbox& out) {
  for (const auto& [memno, member] : group.members) {
    out.push_back(Delivery{member.key, event, group.bitmap});
  }
}

}  // namespace skgxn
