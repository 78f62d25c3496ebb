// Tests of group handle records: validity, release, refusal of stale and
// forged records, descriptor closing, statistics path, statistics record and
// member bitmap copy. No files of the library's fixed paths are touched.
#include "group/group_handle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diag/diag_state.h"
#include "group/diag_test_support.h"
#include "group/stats_ring.h"

namespace skgxn {
namespace {

class GroupHandleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    createStatsRing();
    loadDiagnostics();
  }

  void SetUp() override {
    // The group code only needs a context record naming some object; the
    // context registry is api's concern, not this folder's.
    ctx_.object = &contextStandIn_;
  }

  void TearDown() override { releaseGroupList(list_); }

  skgxn_group create(const char* function = "skgxnreg") {
    skgxn_group handle{};
    EXPECT_EQ(createGroupHandle(function, &ctx_, &list_, &handle), ERR_NONE);
    return handle;
  }

  static bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

  int contextStandIn_ = 0;
  skgxn_context ctx_{};
  GroupList list_;
};

TEST_F(GroupHandleTest, ClearRecordIsInvalidAndStaysClearOnRelease) {
  skgxn_group handle{};
  EXPECT_FALSE(isValidGroupHandle(&handle));
  EXPECT_FALSE(isValidGroupHandle(nullptr));
  releaseGroupHandle(&handle);
  EXPECT_EQ(handle.state, nullptr);
  EXPECT_EQ(handle.check, 0);
}

TEST_F(GroupHandleTest, CreatedRecordIsValidListedAndCarriesByteSumOfContextRecord) {
  skgxn_group handle = create();
  ASSERT_TRUE(isValidGroupHandle(&handle));
  auto* state = static_cast<GroupState*>(handle.state);
  EXPECT_EQ(state->ctxRecord, &ctx_);
  EXPECT_EQ(state->commandFd, -1);
  EXPECT_EQ(state->eventFd, -1);
  skgxn_context* recordAddress = &ctx_;
  EXPECT_EQ(handle.check, pointerFieldCheck(&recordAddress));
  ASSERT_EQ(list_.states.size(), 1u);
  EXPECT_EQ(list_.states[0], state);
}

TEST_F(GroupHandleTest, AnyAlteredCheckBitMakesRecordInvalid) {
  skgxn_group handle = create();
  for (int bit = 0; bit < 16; ++bit) {
    skgxn_group altered = handle;
    altered.check = static_cast<uint16_t>(altered.check ^ (1u << bit));
    EXPECT_FALSE(isValidGroupHandle(&altered)) << "bit " << bit;
    EXPECT_FALSE(checkGroupHandle(&altered));
    EXPECT_EQ(altered.state, nullptr);
    EXPECT_EQ(altered.check, 0);
  }
  EXPECT_TRUE(isValidGroupHandle(&handle));
}

TEST_F(GroupHandleTest, ReleasedRecordAndCopyTakenBeforeReleaseAreRefused) {
  skgxn_group handle = create();
  skgxn_group copy = handle;
  releaseGroupHandle(&handle);
  EXPECT_EQ(handle.state, nullptr);
  EXPECT_EQ(handle.check, 0);
  EXPECT_TRUE(list_.states.empty());
  // The copy names freed memory: it must be refused without being read.
  EXPECT_FALSE(isValidGroupHandle(&copy));
  releaseGroupHandle(&copy);
  EXPECT_EQ(copy.state, nullptr);
}

TEST_F(GroupHandleTest, ForgedRecordWithMatchingCheckIsRefused) {
  GroupState forged;
  forged.ctxRecord = &ctx_;
  skgxn_group handle{&forged, groupStateCheck(forged), {}};
  EXPECT_FALSE(isValidGroupHandle(&handle));
  releaseGroupHandle(&handle);  // must not free or unlist a state it did not create
  EXPECT_EQ(handle.state, nullptr);
}

TEST_F(GroupHandleTest, RecordNotClearWarnsAndOldStateStaysListed) {
  skgxn_group handle = create();
  void* oldState = handle.state;
  testsupport::TraceCapture trace;
  skgxn_group reused = handle;
  ASSERT_EQ(createGroupHandle("skgxnreg", &ctx_, &list_, &reused), ERR_NONE);
  EXPECT_EQ(trace.count("skgxnreg:WARN group handle not clean - possibly in use"), 1u);
  EXPECT_NE(reused.state, oldState);
  EXPECT_TRUE(isValidGroupHandle(&reused));
  EXPECT_TRUE(isValidGroupHandle(&handle));
  EXPECT_EQ(list_.states.size(), 2u);
}

TEST_F(GroupHandleTest, ClearRecordGetsNoWarning) {
  testsupport::TraceCapture trace;
  skgxn_group handle = create("skgxnqgrp");
  EXPECT_TRUE(trace.lines().empty());
  releaseGroupHandle(&handle);
}

TEST_F(GroupHandleTest, MissingArgumentsCreateNothing) {
  skgxn_group handle{};
  skgxn_context empty{};
  EXPECT_NE(createGroupHandle("f", nullptr, &list_, &handle), ERR_NONE);
  EXPECT_NE(createGroupHandle("f", &empty, &list_, &handle), ERR_NONE);
  EXPECT_NE(createGroupHandle("f", &ctx_, nullptr, &handle), ERR_NONE);
  EXPECT_NE(createGroupHandle("f", &ctx_, &list_, nullptr), ERR_NONE);
  EXPECT_EQ(handle.state, nullptr);
  EXPECT_TRUE(list_.states.empty());
}

TEST_F(GroupHandleTest, ReleaseClosesOpenDescriptorsAndLeavesList) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  skgxn_group first = create();
  skgxn_group second = create();
  auto* state = static_cast<GroupState*>(first.state);
  state->commandFd = fds[0];
  state->eventFd = fds[1];
  releaseGroupHandle(&first);
  EXPECT_FALSE(isOpen(fds[0]));
  EXPECT_FALSE(isOpen(fds[1]));
  ASSERT_EQ(list_.states.size(), 1u);
  EXPECT_EQ(list_.states[0], second.state);
}

TEST_F(GroupHandleTest, ReleasingListClosesEveryStateAndRefusesTheirRecords) {
  int fds[4];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::pipe(fds + 2), 0);
  skgxn_group first = create();
  skgxn_group second = create();
  static_cast<GroupState*>(first.state)->commandFd = fds[0];
  static_cast<GroupState*>(first.state)->eventFd = fds[1];
  static_cast<GroupState*>(second.state)->commandFd = fds[2];
  static_cast<GroupState*>(second.state)->eventFd = fds[3];
  releaseGroupList(list_);
  for (int fd : fds) EXPECT_FALSE(isOpen(fd)) << fd;
  EXPECT_TRUE(list_.states.empty());
  EXPECT_FALSE(isValidGroupHandle(&first));
  EXPECT_FALSE(isValidGroupHandle(&second));
}

TEST_F(GroupHandleTest, StatisticsOffStoresLineInRecordOnly) {
  skgxn_group handle = create();
  setGroupName(&handle, "G:0");
  const char* line = "stats-off-line <1 2> skgxngeNUL(no events) SKGXN_SUCC\n";
  writeGroupStats(&handle, line);
  EXPECT_EQ(static_cast<GroupState*>(handle.state)->statsFile, nullptr);
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  writeStatsRing(out);
  std::fclose(out);
  EXPECT_NE(std::string(text, size).find(line), std::string::npos);
  std::free(text);
}

TEST_F(GroupHandleTest, NullRecordWritesNoStatistics) {
  writeGroupStats(nullptr, "x\n");
  skgxn_group clear{};
  writeGroupStats(&clear, "x\n");
  setGroupName(&clear, "G:1");
  EXPECT_EQ(clear.state, nullptr);
}

TEST(GroupStatsPath, AddsSlashOnlyWhenMissing) {
  EXPECT_EQ(groupStatsPath("/tmp/st", "G:0"), "/tmp/st/skgxn_G:0.pstat");
  EXPECT_EQ(groupStatsPath("/var/tmp/", "DBGRP:3"), "/var/tmp/skgxn_DBGRP:3.pstat");
}

TEST(MemberBitmapCopy, Members0And9And127SetTheirBitsOnly) {
  MemberBitmap set{};
  addMember(set, 0);
  addMember(set, 9);
  addMember(set, 127);
  uint8_t bitmap[16];
  std::memset(bitmap, 0xAA, sizeof bitmap);
  skgxn_memmap memmap{bitmap};
  copyMembersToCaller(set, &memmap);
  for (int i = 0; i < 16; ++i) {
    uint8_t expected = i == 0 ? 0x01 : i == 1 ? 0x02 : i == 15 ? 0x80 : 0x00;
    EXPECT_EQ(bitmap[i], expected) << "byte " << i;
  }
}

TEST(MemberBitmapCopy, NullMapOrBitmapIsNotWritten) {
  MemberBitmap set{};
  addMember(set, 1);
  copyMembersToCaller(set, nullptr);
  skgxn_memmap noBitmap{nullptr};
  copyMembersToCaller(set, &noBitmap);
  EXPECT_EQ(noBitmap.bitmap, nullptr);
}

}  // namespace
}  // namespace skgxn
