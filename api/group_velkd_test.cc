// The membership calls end to end against the real velkd, started for each case
// in the private mount namespace, the daemon stopped or killed included.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "diag/test_support.h"
#include "group/group_handle.h"
#include "group/poll.h"
#include "skgxn.h"

namespace skgxn {
namespace {

using test::TraceCapture;
using Lines = std::vector<std::string>;

constexpr uint32_t kLowestFree = 0xffffffffu;

class VelkdGroupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    startVelkd();
    test::writeCmdFile("TRACE ON CALL MSG\n");
    ASSERT_EQ(skgxncin(&err_, &ctx_, nullptr, nullptr, nullptr, 0), 1);
  }
  void TearDown() override {
    setPollClockForTest(nullptr);
    if (ctx_.object != nullptr) (void)skgxncdel(nullptr, &ctx_, nullptr, 0);
    haltVelkd(SIGKILL);
  }

  // velkd detaches once it serves; this process, its subreaper, reaps it when halted.
  void startVelkd() {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    ASSERT_EQ(std::system(VELKD_PATH " 2>>/var/tmp/velkd.out"), 0) << "velkd did not start";
    velkd_ = std::stoi(test::readFile("/run/velkd/velkd.pid"));
  }
  void haltVelkd(int sig) {
    if (velkd_ > 0 && ::kill(velkd_, sig) == 0) ::waitpid(velkd_, nullptr, 0);
    velkd_ = -1;
  }
  int reg(skgxn_group& group, uint32_t& memnum, const char* name = "DBGRP",
          const void* data = nullptr, uint32_t len = 0) {
    return skgxnreg(&err_, &ctx_, name, &memnum, data, len, nullptr, 0, &group, nullptr, 0);
  }
  void join(skgxn_group& group, uint32_t memnum = kLowestFree, const char* name = "DBGRP",
            const void* data = nullptr, uint32_t len = 0) {
    ASSERT_EQ(reg(group, memnum, name, data, len), 1) << err_.code;
  }
  int poll(skgxn_group& group) { return skgxnpstat(&err_, &group, &memmap_, 0, nullptr, 0); }
  int pollAt(skgxn_group& group, int32_t at) { return fakeNow = at, poll(group); }
  // The poll once the event stream has something to read: no timing assumption.
  int nextEvent(skgxn_group& group) {
    const GroupState* state = groupStateOf(&group);
    pollfd entry{state == nullptr ? -1 : state->eventFd, POLLIN, 0};
    return entry.fd >= 0 && ::poll(&entry, 1, 10000) == 1 ? poll(group) : -1;
  }
  int prdata(skgxn_group& group, uint32_t memnum, void* buffer, uint32_t size, uint32_t& len) {
    return skgxnprdata(&err_, &group, memnum, buffer, size, &len, nullptr, 0);
  }
  int query(const char* name) { return skgxnqgrp(&err_, &ctx_, name, &memmap_, nullptr, 0); }

  static inline int32_t fakeNow = 0;
  pid_t velkd_ = -1;
  skgxn_result err_{};
  skgxn_context ctx_{};
  uint8_t bitmap_[16] = {};
  skgxn_memmap memmap_{bitmap_};
};

// Joins, polls, the query (a connection of its own) and leaves leave no descriptor open.
TEST_F(VelkdGroupTest, JoinBringsTheFirstReconfigurationAndLeaveClearsTheRecord) {
  const size_t fds = test::openFdCount();
  skgxn_group group{};
  uint32_t memnum = 127;  // the last bit of the map
  ASSERT_EQ(reg(group, memnum, "DBGRP", "abc", 3), 1);
  EXPECT_EQ(nextEvent(group), skgxngeRCFG);
  const std::string alone = std::string(15, '\0') + '\x80';
  EXPECT_EQ(std::string(bitmap_, bitmap_ + 16), alone);
  std::memset(bitmap_, 0xff, sizeof bitmap_);
  TraceCapture trace;
  ASSERT_EQ(query("DBGRP"), 1);
  EXPECT_EQ(std::string(bitmap_, bitmap_ + 16), alone);
  EXPECT_NE(trace.startingWith("skgxnqgrp:EXIT")[0].find(", memmap(o)=<127> : SKGXN_SUCC"),
            std::string::npos);
  // The daemon refuses a taken number with that number, which the exit line
  // shows; the caller's number and record stay.
  skgxn_group refused{};
  EXPECT_EQ(reg(refused, memnum, "DBGRP", "pd", 2), 0);
  EXPECT_EQ(std::to_string(err_.code) + err_.function, std::to_string(SKGXN_EEXIST) + "skgxnreg");
  EXPECT_TRUE(memnum == 127 && refused.state == nullptr && refused.check == 0);
  EXPECT_NE(trace.startingWith("skgxnreg:EXIT")[0].find(
                "memnum(i)=127, memnum(o)=127, private_data(i)=0x70 0x64 , prdatlen(i)=2"),
            std::string::npos);
  skgxn_group altered = group;
  altered.check ^= 0x0100;
  EXPECT_TRUE(poll(altered) == skgxngeABT && altered.state == nullptr && altered.check == 0);
  // Joining through a live record warns and leaves the first membership alone.
  skgxn_group again = group;
  join(again, 4);
  EXPECT_EQ(trace.count("skgxnreg:WARN group handle not clean - possibly in use"), 1u);
  EXPECT_TRUE(isValidGroupHandle(&group) && again.state != group.state);
  skgxn_group copy = group;
  EXPECT_EQ(skgxndrg(&err_, &again, nullptr, 0) + skgxndrg(&err_, &group, nullptr, 0), 2);
  EXPECT_TRUE(group.state == nullptr && poll(group) == skgxngeABT && err_.code == SKGXN_EINVAL);
  EXPECT_FALSE(isValidGroupHandle(&copy)) << "a copy of the left record";
  EXPECT_EQ(test::openFdCount(), fds);
}

// The longest member map there is reaches the caller and the exit line whole.
TEST_F(VelkdGroupTest, FullGroupIsSeenWhole) {
  std::vector<skgxn_group> members(128);
  for (skgxn_group& group : members) join(group, kLowestFree, "FULL");
  TraceCapture trace;
  EXPECT_EQ(nextEvent(members[127]), skgxngeRCFG);
  EXPECT_EQ(std::string(bitmap_, bitmap_ + 16), std::string(16, '\xff'));
  EXPECT_NE(trace.startingWith("skgxnpstat:EXIT")[0].find(" 126 127>, "), std::string::npos);
}

TEST_F(VelkdGroupTest, PrivateDataNeedsRoomForAllOfItAndAValidMemberNumber) {
  const char forty[] = "0123456789012345678901234567890123456789";
  skgxn_group reader{}, owner{};
  join(reader, 0);
  join(owner, 7, "DBGRP", forty, 40);
  uint8_t buffer[40] = {};
  uint32_t len = 0;
  ASSERT_EQ(prdata(reader, 7, buffer, 40, len), 1);
  EXPECT_EQ(std::string(buffer, buffer + len), forty);
  EXPECT_TRUE(prdata(owner, 0, nullptr, 0, len) == 1 && len == 0) << "no data needs no buffer";

  std::memset(buffer, 0, sizeof buffer);
  len = 99;
  EXPECT_TRUE(prdata(reader, 7, buffer, 39, len) == 0 && err_.code == SKGXN_ESIZE);
  EXPECT_TRUE(prdata(reader, 7, nullptr, 64, len) == 0 && err_.code == SKGXN_EINVAL);
  EXPECT_TRUE(len == 99 && buffer[0] == 0);
  TraceCapture asked;  // member 127 goes to the daemon, 128 never does
  (void)prdata(reader, 127, buffer, sizeof buffer, len);
  EXPECT_TRUE(prdata(reader, 128, buffer, sizeof buffer, len) == 0 && err_.code == SKGXN_EINVAL);
  EXPECT_EQ(asked.count("skgxnprdata:ERROR member number 128 too large - must be < 128"), 1u);
  EXPECT_EQ(asked.count("MsgClient::prdataRequest:ENTER"), 1u);
}

// Two threads get only their own answers while one forks. A child finds no lock left taken,
// the C library's included, and its inherited handle closed and refused: its leave never
// reaches the daemon. Deleting the context then closes both groups without a request.
TEST_F(VelkdGroupTest, ThreadsForkedChildrenAndContextDeletionKeepToTheirOwnHandles) {
  const std::string data[2] = {"the first group's member", "the second's"};
  const char* name = "AN_18_LETTER_GROUP";  // the longest name there may be
  skgxn_group groups[2] = {};
  join(groups[0], 0, name, data[0].data(), static_cast<uint32_t>(data[0].size()));
  join(groups[1], 0, "GRPB", data[1].data(), static_cast<uint32_t>(data[1].size()));
  const int fds[] = {groupStateOf(&groups[0])->commandFd, groupStateOf(&groups[0])->eventFd,
                     groupStateOf(&groups[1])->commandFd, groupStateOf(&groups[1])->eventFd};
  int wrong[2] = {};
  auto work = [&](int i) {
    skgxn_result err{};
    uint8_t bitmap[16];
    skgxn_memmap memmap{bitmap};
    char buffer[96];
    uint32_t len = 0;
    wrong[i] += skgxnprdata(&err, &groups[i], 0, buffer, sizeof buffer, &len, nullptr, 0) != 1 ||
                std::string(buffer, len) != data[i];
    (void)skgxnpstat(&err, &groups[i], &memmap, 0, nullptr, 0);
    wrong[i] += err.code != 0 || bitmap[0] != 1;
  };
  std::jthread other([&](std::stop_token stop) {  // tracing between calls: forks land in its locks
    while (!stop.stop_requested()) {
      work(1);
      for (int n = 0; n < 100; ++n) traceLine("a line while the other thread forks\n", TRACE_ERR);
    }
  });
  for (int n = 0; n < 200; ++n) {
    work(0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(3);
      uint32_t len = 0;
      bool refused = !test::fdIsOpen(fds[0]) && !test::fdIsOpen(fds[1]);
      refused &= poll(groups[0]) == skgxngeABT && err_.code == SKGXN_EINVAL;
      refused &= prdata(groups[0], 0, bitmap_, 16, len) == 0 && err_.code == SKGXN_EINVAL;
      refused &= skgxndrg(&err_, &groups[0], nullptr, 0) == 1 && groups[0].state == nullptr;
      ::_exit(refused ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    wrong[0] += status != 0;  // a child refused nothing or waited
  }
  other = {};  // stops and joins it
  EXPECT_EQ(wrong[0] + wrong[1], 0);
  ASSERT_EQ(query(name), 1);
  EXPECT_EQ(bitmap_[0], 1) << "the parent is still a member";
  TraceCapture trace;
  ASSERT_EQ(skgxncdel(&err_, &ctx_, nullptr, 0), 1);
  for (int fd : fds) EXPECT_FALSE(test::fdIsOpen(fd)) << fd;
  EXPECT_TRUE(trace.startingWith("MsgClient::drgRequest").empty());
  EXPECT_FALSE(isValidGroupHandle(&groups[0]) || isValidGroupHandle(&groups[1]));
}

// The poll runs on the test's clock: intervals of 4 and 16 seconds are late,
// and an event or a change of event ends the averaging period.
TEST_F(VelkdGroupTest, PollWritesStatisticsAndLatePollLines) {
  test::writeCmdFile("TRACE ON EVT CALL\nSTATS ON /var/tmp\n");
  setPollClockForTest([] { return fakeNow; });
  skgxn_group group{}, other{};
  join(group, 3);
  TraceCapture trace;
  fakeNow = 1000;
  EXPECT_EQ(nextEvent(group), skgxngeRCFG);
  join(other, 5);
  fakeNow = 1002;
  EXPECT_EQ(nextEvent(group), skgxngeRCFG);
  EXPECT_EQ(bitmap_[0], 0x28);
  for (int32_t at : {1005, 1009, 1025}) EXPECT_EQ(pollAt(group, at), skgxngeNUL);
  test::writeCmdFile("TRACE ON EVT CALL\n");  // the file closes at the next line, unwritten
  EXPECT_EQ(pollAt(group, 1025), skgxngeNUL);
  test::writeCmdFile("TRACE ON EVT CALL\nSTATS ON /var/tmp\n");
  EXPECT_EQ(skgxnpstat(&err_, &group, nullptr, -5, nullptr, 0), skgxngeERR);
  // An hour of polls every 2 seconds, event lines only (exit lines would push
  // the rest out of the record): one line, at the end of the period.
  test::writeCmdFile("TRACE ON EVT\n");
  for (int32_t at = 1027; at <= 1025 + kPollPeriodSecs + 2; at += 2) (void)pollAt(group, at);

  Lines stats = test::splitLines(test::readFile("/var/tmp/skgxn_DBGRP:3.pstat"));
  for (std::string& line : stats) line = test::withoutPrefix(line);
  EXPECT_EQ(
      stats,
      (Lines{"*** NEW LOGGING STARTED ***", "<3> skgxngeRCFG(reconfig) SKGXN_SUCC",
             "<3 5> skgxngeRCFG(reconfig) SKGXN_SUCC", "<3 5> skgxngeNUL(no events) SKGXN_SUCC",
             "<3 5> skgxngeNUL(no events) SKGXN_SUCC", "WARNING: Interval between polls is 4 secs",
             "<3 5> skgxngeNUL(no events) SKGXN_SUCC", "ERROR: Interval between polls is 16 secs",
             "*** NEW LOGGING STARTED ***", "<> skgxngeERR(error) SKGXN_FAIL(EINVAL)"}));
  const std::string evt = "skgxnpstat:EVENT Handle(DBGRP:3) ";
  EXPECT_EQ(
      trace.startingWith("skgxnpstat:EVENT"),
      (Lines{evt + "skgxngeRCFG(reconfig):SKGXN_SUCC <3> average poll interval 0.00 secs",
             evt + "skgxngeRCFG(reconfig):SKGXN_SUCC <3 5> average poll interval 2.00 secs",
             evt + "skgxngeNUL(no events):SKGXN_SUCC <3 5> average poll interval 3.00 secs",
             evt + "skgxngeERR(error):SKGXN_FAIL(EINVAL) <> average poll interval 5.00 secs",
             evt + "skgxngeNUL(no events):SKGXN_SUCC <3 5> average poll interval 2.00 secs"}));
  EXPECT_EQ(trace.startingWith("skgxnpstat:WARN"),
            Lines{"skgxnpstat:WARN Handle(DBGRP:3) interval between polls is 4 secs"});
  EXPECT_EQ(trace.count("skgxnpstat:ERROR Handle(DBGRP:3) interval between polls is 16 secs"), 1u);
  EXPECT_EQ(trace.count("skgxnpstat:EXIT group_hdl(i)=DBGRP:3, memmap(o)=<3 5>, wait_time(i)=0, "
                        "ext(i)=0, flags(i)=0 : skgxngeRCFG(reconfig) : SKGXN_SUCC"),
            1u);
}

// The marker outlives a killed daemon, so the poll reaches the stream, finds
// it closed, and reports the lost connection once; the group stays aborted.
TEST_F(VelkdGroupTest, KilledDaemonAbortsThePollOnceThenItSticks) {
  skgxn_group group{};
  join(group, 0);
  EXPECT_EQ(nextEvent(group), skgxngeRCFG);
  haltVelkd(SIGKILL);
  EXPECT_TRUE(nextEvent(group) == skgxngeABT && err_.code == SKGXN_EUNK);
  std::memset(bitmap_, 0xff, sizeof bitmap_);
  EXPECT_TRUE(poll(group) == skgxngeABT && err_.code == 0 && bitmap_[0] == 0);
  EXPECT_TRUE(skgxndrg(&err_, &group, nullptr, 0) == 0 && group.state == nullptr) << "daemon gone";
}

// Every call is refused unavailable (the argument checks' tests show which);
// the handle stays valid, so the caller can leave once the daemon is back.
TEST_F(VelkdGroupTest, StoppedDaemonFailsEveryCallUnavailableAndKeepsTheHandle) {
  skgxn_group group{};
  join(group, 0);
  haltVelkd(SIGTERM);
  const skgxn_group before = group;
  std::memset(bitmap_, 0xff, sizeof bitmap_);
  EXPECT_TRUE(poll(group) == skgxngeABT && err_.code == SKGXN_EUNAVAIL && bitmap_[0] == 0);
  EXPECT_TRUE(skgxndrg(&err_, &group, nullptr, 0) == 0 && err_.code == SKGXN_EUNAVAIL);
  EXPECT_TRUE(std::memcmp(&group, &before, sizeof group) == 0 && isValidGroupHandle(&group));
  startVelkd();
  (void)skgxndrg(&err_, &group, nullptr, 0);
  EXPECT_EQ(group.state, nullptr);
}

}  // namespace
}  // namespace skgxn
