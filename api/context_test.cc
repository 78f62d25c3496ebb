// Tests of context objects and records: validity, clearing, the registry that
// refuses objects this library did not create, and the "not clean" warning.
// The trace flags and callback are tested through the exported calls.
#include "api/context.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/diag_state.h"
#include "diag/test_support.h"
#include "group/stats_ring.h"

namespace skgxn {
namespace {

using Lines = std::vector<std::string>;

class ContextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    createStatsRing();
    loadDiagnostics();
  }
  void SetUp() override { ASSERT_EQ(createContext("skgxncin", &ctx_, nullptr, nullptr), ERR_NONE); }
  void TearDown() override { releaseContext(&ctx_); }

  skgxn_context ctx_{};
};

TEST_F(ContextTest, OnlyACreatedRecordIsValid) {
  skgxn_context clean{};
  EXPECT_NE(ctx_.object, nullptr);
  EXPECT_EQ(ctx_.check, 32);
  EXPECT_TRUE(isValidContext(&ctx_));
  EXPECT_EQ(sizeof(skgxn_context), 16u);
  EXPECT_FALSE(isValidContext(nullptr) || isValidContext(&clean) || checkContext(nullptr));
  EXPECT_NE(createContext("skgxncin", nullptr, nullptr, nullptr), ERR_NONE);
}

TEST_F(ContextTest, AlteredCheckIsInvalidAndCheckingClearsRecordOnly) {
  for (int bit = 0; bit < 16; ++bit) {
    skgxn_context altered = ctx_;
    altered.check = static_cast<uint16_t>(altered.check ^ (1u << bit));
    altered.reserved[0] = 0x5A;  // the reserved bytes are never written
    EXPECT_FALSE(checkContext(&altered)) << bit;
    EXPECT_TRUE(altered.object == nullptr && altered.check == 0 && altered.reserved[0] == 0x5A);
  }
  EXPECT_TRUE(isValidContext(&ctx_));
}

TEST_F(ContextTest, ObjectNeverCreatedHereOrReleasedIsRejectedWithoutReadingIt) {
  // A well-formed look-alike that would pass the check if it were read.
  SkgxnContext lookAlike;
  skgxn_context forged{&lookAlike, contextCheck(lookAlike), {}};
  EXPECT_FALSE(isValidContext(&forged));
  EXPECT_FALSE(contextTraceWanted(&forged, 0xFFFFFFFFu));
  EXPECT_EQ(contextGroupList(&forged), nullptr);
  releaseContext(&forged);  // must neither free nor release the look-alike
  EXPECT_EQ(forged.object, nullptr);
  // A pointer to nothing at all: a read through it would crash the test.
  skgxn_context wild{reinterpret_cast<void*>(uintptr_t{0x10}), 32, {}};
  EXPECT_FALSE(checkContext(&wild));
  EXPECT_EQ(wild.object, nullptr);

  skgxn_context copy = ctx_;
  releaseContext(&ctx_);
  EXPECT_TRUE(ctx_.object == nullptr && ctx_.check == 0);
  EXPECT_FALSE(isValidContext(&copy));
  EXPECT_FALSE(contextTraceWanted(&copy, SKGXN_CTX_TRACE_QUERY));
}

TEST_F(ContextTest, OnlyARecordNotCleanWarnsAndIsReplaced) {
  skgxn_context other{};
  skgxn_context earlier = ctx_;
  test::TraceCapture trace;
  ASSERT_EQ(createContext("skgxncin", &other, nullptr, nullptr), ERR_NONE);
  ASSERT_EQ(createContext("skgxncin", &ctx_, nullptr, nullptr), ERR_NONE);
  EXPECT_EQ(trace.lines(), Lines{"skgxncin:WARN context not clean - possibly in use"});
  EXPECT_NE(ctx_.object, earlier.object);
  EXPECT_TRUE(isValidContext(&earlier));  // left alone, still live
  releaseContext(&earlier);
  releaseContext(&other);
}

}  // namespace
}  // namespace skgxn
