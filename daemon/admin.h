// The administrator's requests to velkd (status, nodes, groups, members,
// events),
// as JSON objects in and out. Pure: the server owns the admin socket, and an
// event request is handed to the server's signal function.
#ifndef DAEMON_ADMIN_H_
#define DAEMON_ADMIN_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "daemon/engine.h"
#include "daemon/membership.h"
#include "msg/shared_values.h"

namespace skgxn {

// What the server knows beyond the membership core.
struct AdminFacts {
  int64_t startedAt = 0;  // wall-clock seconds
  int64_t now = 0;
  size_t connections = 0;
  std::function<size_t(MemberKey)> eventsWaiting;
  // Sends an event to a group or one member of it, as Membership::signal.
  std::function<ErrCode(const std::string& name, uint32_t event, std::optional<int32_t> memno)>
      signal;
  // The engine's own state, for status and nodes.
  EngineView engine;
};

// Answers one request. The request is {"cmd": "status" | "nodes" |
// "groups" | "members" | "event", "group": ..., "event": "suspend" | "resume" |
// "abort", "member": n}; the answer always has "ok", and "error" when ok is
// false. An event request goes to facts.signal. Group names go out in the
// notation of escapeText and are taken in it, so every group shown can be
// named back.
std::string answerAdmin(const std::string& request, const Membership& core,
                        const AdminFacts& facts);

// The answer to a request that could not be read: ok false with why.
std::string adminRefusal(const std::string& why);

// Private data as contiguous lower-case hex, "" when empty.
std::string plainHex(const ByteData& data);

}  // namespace skgxn

#endif  // DAEMON_ADMIN_H_
