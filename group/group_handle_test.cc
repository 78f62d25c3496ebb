// Tests of group handle records: validity, release, refusal of stale and
// forged records, descriptor closing and member bitmap copy. No file at the
// library's fixed paths is touched; the statistics path is checked through
// real files in group_stats_test.cc.
#include "group/group_handle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "diag/diag_state.h"
#include "diag/test_support.h"
#include "group/stats_ring.h"

namespace skgxn {
namespace {

class GroupHandleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    createStatsRing();
    loadDiagnostics();
  }
  // The group code only needs a context record naming some object; the
  // context registry is api's concern, not this folder's.
  void SetUp() override { ctx_.object = &contextStandIn_; }
  void TearDown() override { releaseGroupList(list_); }

  skgxn_group create() {
    skgxn_group handle{};
    EXPECT_EQ(createGroupHandle("skgxnreg", &ctx_, &list_, &handle), ERR_NONE);
    return handle;
  }
  // A pipe's two ends become the command and event descriptors of handle.
  static std::vector<int> givePipe(const skgxn_group& handle) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    static_cast<GroupState*>(handle.state)->commandFd = fds[0];
    static_cast<GroupState*>(handle.state)->eventFd = fds[1];
    return {fds[0], fds[1]};
  }
  static bool isCleared(const skgxn_group& handle) {
    return handle.state == nullptr && handle.check == 0;
  }
  static bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

  int contextStandIn_ = 0;
  skgxn_context ctx_{};
  GroupList list_;
};

TEST_F(GroupHandleTest, CreatedRecordIsListedAndAnyAlteredCheckBitMakesItInvalid) {
  skgxn_group handle = create();
  skgxn_context* recordAddress = &ctx_;  // the check is the byte sum of this pointer
  EXPECT_EQ(handle.check, pointerFieldCheck(&recordAddress));
  EXPECT_EQ(list_.states, std::vector<GroupState*>{static_cast<GroupState*>(handle.state)});
  for (int bit = 0; bit < 16; ++bit) {
    skgxn_group altered = handle;
    altered.check = static_cast<uint16_t>(altered.check ^ (1u << bit));
    EXPECT_FALSE(isValidGroupHandle(&altered)) << "bit " << bit;
    EXPECT_FALSE(checkGroupHandle(&altered));
    EXPECT_TRUE(isCleared(altered));
  }
  EXPECT_TRUE(isValidGroupHandle(&handle));
}

TEST_F(GroupHandleTest, ClearReleasedOrForgedRecordsAndCopiesFromBeforeReleaseAreRefused) {
  skgxn_group clear{}, handle = create();
  skgxn_group copy = handle;
  releaseGroupHandle(&handle);
  releaseGroupHandle(&clear);
  EXPECT_TRUE(isCleared(handle) && isCleared(clear) && list_.states.empty());
  GroupState forged;
  forged.ctxRecord = &ctx_;
  skgxn_group forgery{&forged, groupStateCheck(forged), {}};
  EXPECT_FALSE(isValidGroupHandle(nullptr));
  // The copy names freed memory: it must be refused without being read.
  for (skgxn_group* refused : {&clear, &copy, &forgery}) {
    EXPECT_FALSE(isValidGroupHandle(refused));
    releaseGroupHandle(refused);  // must not free or unlist a state it did not create
    EXPECT_EQ(refused->state, nullptr);
  }
}

TEST_F(GroupHandleTest, OnlyRecordNotClearIsWarnedAboutAndOldStateStaysListed) {
  test::TraceCapture trace;
  skgxn_group handle = create();
  skgxn_group reused = handle;
  ASSERT_EQ(createGroupHandle("skgxnreg", &ctx_, &list_, &reused), ERR_NONE);
  EXPECT_EQ(trace.lines(),
            std::vector<std::string>{"skgxnreg:WARN group handle not clean - possibly in use"});
  EXPECT_NE(reused.state, handle.state);
  EXPECT_TRUE(isValidGroupHandle(&reused));
  EXPECT_TRUE(isValidGroupHandle(&handle));
  EXPECT_EQ(list_.states.size(), 2u);
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

TEST_F(GroupHandleTest, ReleasingRecordOrListClosesDescriptorsAndUnlistsStates) {
  skgxn_group first = create(), second = create();
  std::vector<int> firstFds = givePipe(first), secondFds = givePipe(second);
  releaseGroupHandle(&first);
  EXPECT_FALSE(isOpen(firstFds[0]) || isOpen(firstFds[1]));
  EXPECT_TRUE(isOpen(secondFds[0]) && isOpen(secondFds[1]));
  EXPECT_EQ(list_.states, std::vector<GroupState*>{static_cast<GroupState*>(second.state)});
  releaseGroupList(list_);
  EXPECT_FALSE(isOpen(secondFds[0]) || isOpen(secondFds[1]));
  EXPECT_TRUE(list_.states.empty());
  EXPECT_FALSE(isValidGroupHandle(&second));
}

TEST(MemberBitmapCopy, Members0And9And127SetTheirBitsOnlyAndNullMapsAreSkipped) {
  MemberBitmap set{};
  for (uint32_t n : {0u, 9u, 127u}) addMember(set, n);
  std::vector<uint8_t> bitmap(16, 0xAA), expected(16, 0x00);
  expected[0] = 0x01, expected[1] = 0x02, expected[15] = 0x80;
  skgxn_memmap memmap{bitmap.data()}, noBitmap{nullptr};
  copyMembersToCaller(set, &memmap);
  copyMembersToCaller(set, &noBitmap);
  copyMembersToCaller(set, nullptr);
  EXPECT_EQ(bitmap, expected);
  EXPECT_EQ(noBitmap.bitmap, nullptr);
}

}  // namespace
}  // namespace skgxn
