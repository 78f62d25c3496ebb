// The seam between velkd's server and its membership core. The server hands
// every operation that changes membership to an engine, which decides when
// it is applied, and hears the outcomes through an EngineSink. Reads of the
// table go through the engine too; only the engine changes it.
#ifndef DAEMON_ENGINE_H_
#define DAEMON_ENGINE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daemon/daemon_log.h"
#include "daemon/event_loop.h"
#include "daemon/membership.h"
#include "diag/err_code.h"

namespace skgxn {

// What an engine tells the server. Each call may come from inside an Engine
// call (an engine that applies at once) or from a loop callback later (one
// that waits for agreement); the server handles both the same way.
class EngineSink {
 public:
  // Events for members of this node, keyed by their connections here, in the
  // order the table produced them. The sink may take the entries; an engine
  // reuses the vector.
  virtual void deliver(Outbox& out) = 0;
  // The join conn asked for is decided: status and memno as
  // Membership::join gives them. The deliveries the join causes, the
  // joiner's first reconfiguration among them, come before this call.
  virtual void joinDecided(ConnId conn, ErrCode status, int32_t memno) = 0;
  // conn's membership has ended without the member or its connection
  // causing it (the node lost its part of the cluster); why is for the log.
  virtual void registrationLost(ConnId conn, const char* why) = 0;
  // The engine holds the agreed table and takes joins: the registration
  // endpoints may open. Called once, from start() or later from the loop.
  virtual void engineReady() = 0;

 protected:
  ~EngineSink() = default;
};

// One node of the cluster as this daemon sees it, for the administrator.
struct NodeView {
  uint32_t id = 0;
  std::string name;
  std::string state;  // "member": its daemon is in this daemon's view; "down"
};

// What the administrator is shown of the engine itself.
struct EngineView {
  std::string engine;  // "local" or "corosync"
  bool quorate = false;
  uint64_t ring = 0;
  std::vector<NodeView> nodes;  // ascending by id
};

class Engine {
 public:
  virtual ~Engine() = default;

  // Begins work once the loop exists; engineReady follows, at once or later.
  virtual void start() = 0;

  // The node this daemon's members are keyed under.
  virtual uint32_t node() const = 0;
  MemberKey keyOf(ConnId conn) const { return MemberKey{node(), conn}; }
  // The replicated table, for reads only: private data, group queries,
  // admin listings.
  virtual const Membership& table() const = 0;
  // False while the table may be stale (no quorum, no cluster, a transfer
  // under way): a group query, whose answer has no status, is then refused.
  virtual bool tableCurrent() const { return true; }
  // The engine's name, quorum, ring and nodes, as of this moment.
  virtual EngineView view() const = 0;

  // Asks for conn to join; the answer comes through joinDecided. req is read
  // during the call only.
  virtual void join(ConnId conn, const JoinRequest& req) = 0;
  // Ends conn's membership at the member's request, or because its event
  // connection failed. ERR_BAD_STATE, at once, when conn holds none.
  [[nodiscard]] virtual ErrCode leave(ConnId conn) = 0;
  // conn's command connection is gone: its membership, if any, ends.
  virtual void connectionLost(ConnId conn) = 0;
  // The administrator's event to a group, or to member memno of it.
  // ERR_EXIST, at once, when the group or the member does not exist.
  [[nodiscard]] virtual ErrCode signal(const std::string& name, uint32_t event,
                                       std::optional<int32_t> memno) = 0;
  // The daemon is stopping: every member of this node gets abort.
  virtual void stop() = 0;
};

enum class EngineKind { kLocal, kCorosync };

// The engine of the given kind, answering through sink and running on loop,
// logging to log; all three outlive it.
std::unique_ptr<Engine> makeEngine(EngineKind kind, EngineSink& sink, EventLoop& loop,
                                   DaemonLog& log);

}  // namespace skgxn

#endif  // DAEMON_ENGINE_H_
