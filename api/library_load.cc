// The library's one load-time initialiser and one exit hook. Load sets up the
// statistics record first, then the diagnostics state; exit releases both.
// Nothing else in the library does work before the first call.
#include "diag/diag_state.h"
#include "group/stats_ring.h"

namespace skgxn {
namespace {

__attribute__((constructor)) void loadLibrary() {
  createStatsRing();
  loadDiagnostics();
}

__attribute__((destructor)) void releaseLibrary() {
  releaseStatsRing();
  releaseDiagnostics();
}

}  // namespace
}  // namespace skgxn
