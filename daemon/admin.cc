// Admin request handling for velkd: decodes the JSON request, reads the
// membership core, and renders the JSON answer velkctl prints.
#include "daemon/admin.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "daemon/escape_text.h"
#include "msg/shared_values.h"

namespace skgxn {

namespace {

using nlohmann::json;

json failure(const std::string& why) { return json{{"ok", false}, {"error", why}}; }

json bitmapList(const MemberBitmap& map) {
  json list = json::array();
  for (uint32_t n = 0; n < kMaxMembers; ++n) {
    if (hasMember(map, n)) list.push_back(n);
  }
  return list;
}

json status(const Membership& core, const AdminFacts& facts) {
  return json{{"ok", true},
              {"uptime", facts.now - facts.startedAt},
              {"groups", core.groupCount()},
              {"members", core.memberCount()},
              {"connections", facts.connections},
              {"engine", facts.engine.engine},
              {"quorate", facts.engine.quorate},
              {"ring", facts.engine.ring},
              {"nodes", std::count_if(facts.engine.nodes.begin(), facts.engine.nodes.end(),
                                      [](const NodeView& n) { return n.state == "member"; })}};
}

json nodes(const Membership& core, const AdminFacts& facts) {
  std::map<uint32_t, size_t> counts;
  for (const auto& g : core.groups()) {
    for (const auto& m : core.members(g.name)) ++counts[m.key.node];
  }
  json list = json::array();
  for (const auto& n : facts.engine.nodes) {
    list.push_back(json{
        {"id", n.id}, {"name", escapeText(n.name)}, {"state", n.state}, {"members", counts[n.id]}});
  }
  return json{{"ok", true}, {"nodes", list}};
}

json groups(const Membership& core) {
  json list = json::array();
  for (const auto& g : core.groups()) {
    list.push_back(
        json{{"name", escapeText(g.name)}, {"count", g.count}, {"members", bitmapList(g.bitmap)}});
  }
  return json{{"ok", true}, {"groups", list}};
}

// The group a request names, in raw bytes.
std::string groupOf(const json& req) { return unescapeText(req.value(kAdminKeyGroup, "")); }

json members(const json& req, const Membership& core, const AdminFacts& facts) {
  const std::string name = groupOf(req);
  const auto list = core.members(name);
  if (list.empty()) return failure("no such group: " + escapeText(name));
  json rows = json::array();
  for (const auto& m : list) {
    rows.push_back(json{{"member", m.memno},
                        {"node", m.key.node},
                        {"pid", m.peer.pid},
                        {"uid", m.peer.uid},
                        {"gid", m.peer.gid},
                        {"data", plainHex(m.data)},
                        {"joined_at", m.joinedAt},
                        {"events_waiting", facts.eventsWaiting ? facts.eventsWaiting(m.key) : 0}});
  }
  return json{{"ok", true}, {"group", escapeText(name)}, {"members", rows}};
}

bool eventCode(const std::string& word, uint32_t& code) {
  if (word == kAdminEventSuspend)
    code = kEventSuspend;
  else if (word == kAdminEventResume)
    code = kEventResume;
  else if (word == kAdminEventAbort)
    code = kEventAbort;
  else
    return false;
  return true;
}

json event(const json& req, const AdminFacts& facts) {
  const std::string name = groupOf(req);
  uint32_t code = 0;
  if (!eventCode(req.value(kAdminKeyEvent, ""), code)) return failure("unknown event");
  std::optional<int32_t> memno;
  if (req.contains(kAdminKeyMember)) {
    if (!req[kAdminKeyMember].is_number_integer()) return failure("member must be a number");
    memno = req[kAdminKeyMember].get<int32_t>();
  }
  const ErrCode status = facts.signal(name, code, memno);
  if (status == ERR_UNAVAILABLE) {
    return failure("this node has no quorum (or no Corosync): no event can be sent from it");
  }
  if (status != ERR_NONE) {
    const std::string shown = escapeText(name);
    return failure(memno ? "no such member in group " + shown : "no such group: " + shown);
  }
  return json{{"ok", true}};
}

json dispatch(const json& req, const Membership& core, const AdminFacts& facts) {
  if (!req.is_object() || !req.contains(kAdminKeyCmd) || !req[kAdminKeyCmd].is_string()) {
    return failure("request without a command");
  }
  const std::string cmd = req[kAdminKeyCmd];
  if (cmd == kAdminCmdStatus) return status(core, facts);
  if (cmd == kAdminCmdNodes) return nodes(core, facts);
  if (cmd == kAdminCmdGroups) return groups(core);
  if (cmd == kAdminCmdMembers) return members(req, core, facts);
  if (cmd == kAdminCmdEvent) return event(req, facts);
  return failure("unknown command: " + escapeText(cmd));
}

}  // namespace

std::string answerAdmin(const std::string& request, const Membership& core,
                        const AdminFacts& facts) {
  // Malformed JSON and values of the wrong type come from the administrator's
  // socket only, but must not end the daemon. A parse error quotes the bytes
  // it stopped at, which need not be UTF-8.
  try {
    return dispatch(json::parse(request), core, facts).dump();
  } catch (const json::exception& e) {
    return adminRefusal(escapeText(std::string("bad request: ") + e.what()));
  }
}

std::string adminRefusal(const std::string& why) { return failure(why).dump(); }

std::string plainHex(const ByteData& data) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < data.size(); ++i) {
    text.push_back(kDigits[data.data()[i] >> 4]);
    text.push_back(kDigits[data.data()[i] & 0xf]);
  }
  return text;
}

}  // namespace skgxn
