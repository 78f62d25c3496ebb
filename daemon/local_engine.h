// The single-machine engine: every operation is applied to the table at once
// and answered before the call returns, so the daemon decides alone.
#ifndef DAEMON_LOCAL_ENGINE_H_
#define DAEMON_LOCAL_ENGINE_H_

#include <string>

#include "daemon/engine.h"

namespace skgxn {

// The node number members are keyed under when the daemon runs alone. No
// other node exists, so any fixed number would do.
inline constexpr uint32_t kLocalNode = 0;

class LocalEngine final : public Engine {
 public:
  explicit LocalEngine(EngineSink& sink);

  void start() override { sink_.engineReady(); }
  uint32_t node() const override { return kLocalNode; }
  const Membership& table() const override { return core_; }
  // One node, this one, always quorate, under the machine's name.
  EngineView view() const override;
  void join(ConnId conn, const JoinRequest& req) override;
  [[nodiscard]] ErrCode leave(ConnId conn) override;
  void connectionLost(ConnId conn) override;
  [[nodiscard]] ErrCode signal(const std::string& name, uint32_t event,
                               std::optional<int32_t> memno) override;
  void stop() override;

 private:
  // Hands out_ to the sink and empties it for the next operation.
  void deliver();

  EngineSink& sink_;
  std::string hostName_;
  Membership core_;
  // Reused by every operation, so a join or leave allocates no list of its own.
  Outbox out_;
};

}  // namespace skgxn

#endif  // DAEMON_LOCAL_ENGINE_H_
