// Picks velkd's engine by kind; the only place that knows every engine.
#include "daemon/engine.h"

#include "daemon/local_engine.h"

namespace skgxn {

std::unique_ptr<Engine> makeEngine(EngineKind kind, EngineSink& sink) {
  switch (kind) {
    case EngineKind::kLocal: return std::make_unique<LocalEngine>(sink);
  }
  return nullptr;
}

}  // namespace skgxn
