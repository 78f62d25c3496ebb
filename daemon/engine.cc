// Picks velkd's engine by kind; the only place that knows every engine.
#include "daemon/engine.h"

#include "daemon/corosync_engine.h"
#include "daemon/local_engine.h"

namespace skgxn {

std::unique_ptr<Engine> makeEngine(EngineKind kind, EngineSink& sink, EventLoop& loop,
                                   DaemonLog& log) {
  switch (kind) {
    case EngineKind::kLocal:
      return std::make_unique<LocalEngine>(sink);
    case EngineKind::kCorosync:
      return std::make_unique<CorosyncEngine>(sink, loop, log);
  }
  return nullptr;
}

}  // namespace skgxn
