// The single-machine engine: applies each operation to the membership core
// and calls the server back before returning.
#include "daemon/local_engine.h"

#include <sys/utsname.h>

#include "msg/shared_values.h"

namespace skgxn {

LocalEngine::LocalEngine(EngineSink& sink) : sink_(sink) {
  utsname names{};
  hostName_ = uname(&names) == 0 ? names.nodename : std::to_string(kLocalNode);
}

EngineView LocalEngine::view() const {
  return EngineView{"local", true, 0, {NodeView{kLocalNode, hostName_, "member"}}};
}

void LocalEngine::join(ConnId conn, const JoinRequest& req) {
  int32_t memno = -1;
  const ErrCode status = core_.join(keyOf(conn), req, memno, out_);
  deliver();
  sink_.joinDecided(conn, status, memno);
}

ErrCode LocalEngine::leave(ConnId conn) {
  const ErrCode status = core_.leave(keyOf(conn), out_);
  deliver();
  return status;
}

void LocalEngine::connectionLost(ConnId conn) {
  (void)core_.leave(keyOf(conn), out_);
  deliver();
}

ErrCode LocalEngine::signal(const std::string& name, uint32_t event, std::optional<int32_t> memno) {
  const ErrCode status = core_.signal(name, event, memno, out_);
  deliver();
  return status;
}

void LocalEngine::stop() {
  core_.signalAll(kEventAbort, out_);
  deliver();
}

void LocalEngine::deliver() {
  // The sink takes the entries before it can call back into this engine (a
  // member whose queue overflows leaves), so out_ is free for that nested
  // operation; clearing it here drops only what the sink left.
  if (!out_.empty()) sink_.deliver(out_);
  out_.clear();
}

}  // namespace skgxn
