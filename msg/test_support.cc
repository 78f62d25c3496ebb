// Loads the diagnostics once, before the first test of the binary.
#include "msg/test_support.h"

namespace {
const auto* const kDiagnostics =
    ::testing::AddGlobalTestEnvironment(new skgxn::test::DiagEnvironment);
}  // namespace
