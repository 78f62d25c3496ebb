// The exported membership calls against the scripted fake daemon: argument
// checks in order, refused joins, the status poll's outcomes and statistics
// driven through the clock seam, and the refusals that keep the calls from
// writing through a caller's null pointer. Runs in the private namespace.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "api/frame.h"
#include "diag/trace.h"
#include "diag/test_support.h"
#include "group/group_state.h"
#include "group/poll.h"
#include "group/stats_ring.h"
#include "msg/msg_client.h"
#include "skgxn.h"
#include "tests/fake_daemon.h"

namespace skgxn {
namespace {

using test::FakeDaemon;
using test::FakePeer;
using test::TraceCapture;
using Lines = std::vector<std::string>;

int32_t fakeNow = 0;
int32_t fakeClock() { return fakeNow; }

MemberBitmap membersOf(std::initializer_list<uint32_t> numbers) {
  MemberBitmap map{};
  for (uint32_t n : numbers) addMember(map, n);
  return map;
}

// The statistics lines stored after construction, without their prefix. A
// marker line separates them from older ones, which the ring may drop.
class StatsCapture {
 public:
  StatsCapture() : marker_("stats-marker " + std::to_string(++counter_)) {
    storeStatsLine((marker_ + "\n").c_str());
  }
  std::vector<std::string> lines() const {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    writeStatsRing(out);
    fclose(out);
    std::istringstream in(std::string(text, size));
    free(text);
    std::vector<std::string> found;
    for (std::string line; std::getline(in, line);) {
      if (line == marker_) {
        found.clear();
      } else {
        found.push_back(line.substr(line.find("] ") + 2));
      }
    }
    return found;
  }

 private:
  static inline int counter_ = 0;
  std::string marker_;
};

class GroupCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeCmdFile("TRACE ON EVT CALL MSG\n");
    setPollClockForTest(fakeClock);
    fakeNow = 1000;
    ASSERT_EQ(skgxncin(&err_, &ctx_, nullptr, nullptr, nullptr, 0), 1);
  }
  void TearDown() override {
    setPollClockForTest(nullptr);
    if (ctx_.object != nullptr) (void)skgxncdel(nullptr, &ctx_, nullptr, 0);
  }

  // Joins DBGRP as member 3; events are queued before the answer, so they
  // are pending when the join returns. The daemon then answers a leave.
  void join(FakeDaemon::Script events) {
    daemon_.serve([events](FakePeer& peer) {
      ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
      peer.passEventFd();
      if (events) events(peer);
      peer.replyReg(peer.id, 0, 3);
      // A test that deletes its context instead of leaving just closes.
      if (peer.readRequest(true) == MSG_DRG_REQ) peer.replyDrg(peer.id, 0);
      peer.waitClose();
    });
    uint32_t memnum = 3;
    ASSERT_EQ(skgxnreg(&err_, &ctx_, "DBGRP", &memnum, nullptr, 0, nullptr, 0, &group_, nullptr, 0),
              1);
  }

  int poll(int32_t at) {
    fakeNow = at;
    return skgxnpstat(&err_, &group_, &memmap_, 0, nullptr, 0);
  }

  FakeDaemon daemon_;
  skgxn_result err_{};
  skgxn_context ctx_{};
  skgxn_group group_{};
  uint8_t bitmap_[16] = {};
  skgxn_memmap memmap_{bitmap_};
};

TEST_F(GroupCallsTest, RegChecksRunInOrderAndTouchNothing) {
  uint32_t memnum = 5;
  TraceCapture trace;
  EXPECT_EQ(skgxnreg(&err_, &ctx_, nullptr, &memnum, nullptr, 0, nullptr, 0, &group_, nullptr, 0),
            0);
  EXPECT_EQ(err_.code, static_cast<uint32_t>(SKGXN_EINVAL));
  EXPECT_EQ(trace.count("skgxnreg:ERROR NULL parameters"), 1u);
  const auto exits = trace.startingWith("skgxnreg:EXIT");
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_NE(exits[0].find("pgroup(i)=(null), memnum(i)=0, memnum(o)=0"), std::string::npos);

  EXPECT_EQ(skgxnreg(&err_, &ctx_, "ABCDEFGHIJKLMNOPQRS", &memnum, nullptr, 0, nullptr, 0, &group_,
                     nullptr, 0),
            0);
  EXPECT_EQ(trace.count("skgxnreg:groupName of length 19 exceeds allowed size of 18"), 1u);
  EXPECT_EQ(skgxnreg(&err_, &ctx_, "G", &memnum, nullptr, 97, nullptr, 0, &group_, nullptr, 0), 0);
  EXPECT_EQ(skgxnreg(&err_, &ctx_, "G", &memnum, nullptr, 0, nullptr, 256, &group_, nullptr, 0), 0);
  EXPECT_EQ(trace.count("skgxnreg:ERROR data too big for buffers"), 2u);
  EXPECT_EQ(memnum, 5u);
  EXPECT_EQ(group_.state, nullptr);
}

TEST_F(GroupCallsTest, RefusedJoinLeavesHandleClearAndMemnumUnchanged) {
  daemon_.serve([](FakePeer& peer) {
    ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
    peer.passEventFd();
    peer.replyReg(peer.id, ERR_EXIST, 4);
    peer.waitClose();
  });
  uint32_t memnum = 4;
  TraceCapture trace;
  EXPECT_EQ(skgxnreg(&err_, &ctx_, "DBGRP", &memnum, "pd", 2, nullptr, 0, &group_, nullptr, 0), 0);
  EXPECT_EQ(err_.code, static_cast<uint32_t>(SKGXN_EEXIST));
  EXPECT_STREQ(err_.function, "skgxnreg");
  EXPECT_EQ(memnum, 4u);
  EXPECT_EQ(group_.state, nullptr);
  EXPECT_EQ(group_.check, 0);
  const auto exits = trace.startingWith("skgxnreg:EXIT");
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_NE(exits[0].find("memnum(i)=4, memnum(o)=4, private_data(i)=0x70 0x64 , prdatlen(i)=2"),
            std::string::npos)
      << exits[0];
  EXPECT_NE(exits[0].find(" : SKGXN_FAIL(EEXIST)"), std::string::npos);
}

TEST_F(GroupCallsTest, PollWritesStatisticsAndLatePollLines) {
  join([](FakePeer& peer) {
    peer.sendEvent(skgxngeSUS, membersOf({0}), 1);
    peer.sendEvent(skgxngeRCFG, membersOf({0, 5}), 2);
  });
  EXPECT_EQ(poll(1000), skgxngeSUS);

  TraceCapture trace;
  StatsCapture stats;
  EXPECT_EQ(poll(1002), skgxngeRCFG);
  EXPECT_EQ(bitmap_[0], 0x21);
  EXPECT_EQ(poll(1005), skgxngeNUL);
  EXPECT_EQ(bitmap_[0], 0x21) << "no news repeats the last members";
  EXPECT_EQ(poll(1009), skgxngeNUL);
  EXPECT_EQ(poll(1025), skgxngeNUL);

  EXPECT_EQ(stats.lines(), (std::vector<std::string>{
                               "<0 5> skgxngeRCFG(reconfig) SKGXN_SUCC",
                               "<0 5> skgxngeNUL(no events) SKGXN_SUCC",
                               "<0 5> skgxngeNUL(no events) SKGXN_SUCC",
                               "WARNING: Interval between polls is 4 secs",
                               "<0 5> skgxngeNUL(no events) SKGXN_SUCC",
                               "ERROR: Interval between polls is 16 secs",
                           }));
  EXPECT_EQ(trace.startingWith("skgxnpstat:EVENT"),
            (std::vector<std::string>{
                "skgxnpstat:EVENT Handle(DBGRP:3) skgxngeRCFG(reconfig):SKGXN_SUCC <0 5> average "
                "poll interval 2.00 secs",
                "skgxnpstat:EVENT Handle(DBGRP:3) skgxngeNUL(no events):SKGXN_SUCC <0 5> average "
                "poll interval 3.00 secs",
            }));
  EXPECT_EQ(trace.count("skgxnpstat:WARN Handle(DBGRP:3) interval between polls is 4 secs"), 1u);
  EXPECT_EQ(trace.count("skgxnpstat:ERROR Handle(DBGRP:3) interval between polls is 16 secs"), 1u);
  EXPECT_TRUE(
      trace.startingWith("skgxnpstat:WARN Handle(DBGRP:3) interval between polls is 3").empty());
  EXPECT_EQ(trace.count("skgxnpstat:EXIT group_hdl(i)=DBGRP:3, memmap(o)=<0 5>, wait_time(i)=0, "
                        "ext(i)=0, flags(i)=0 : skgxngeRCFG(reconfig) : SKGXN_SUCC"),
            1u);
}

TEST_F(GroupCallsTest, AnHourOfPollsEndsThePeriodWithItsAverage) {
  // Event lines only: an hour of exit lines would push them out of the record.
  test::writeCmdFile("TRACE ON EVT\n");
  join(nullptr);
  EXPECT_EQ(poll(1000), skgxngeNUL);
  TraceCapture trace;
  int32_t at = 1000;
  for (; at < 1000 + kPollPeriodSecs - 2;) EXPECT_EQ(poll(at += 2), skgxngeNUL);
  EXPECT_TRUE(trace.startingWith("skgxnpstat:EVENT").empty());
  EXPECT_EQ(poll(at += 2), skgxngeNUL);
  // 1800 polls after the opening one, plus the opening one: 3600 / 1801.
  EXPECT_EQ(trace.startingWith("skgxnpstat:EVENT"),
            std::vector<std::string>{"skgxnpstat:EVENT Handle(DBGRP:3) skgxngeNUL(no events):"
                                     "SKGXN_SUCC <> average poll interval 2.00 secs"});
  EXPECT_EQ(poll(at += 2), skgxngeNUL);
  EXPECT_EQ(trace.startingWith("skgxnpstat:EVENT").size(), 1u) << "a new period has started";
}

TEST_F(GroupCallsTest, LostEventStreamBecomesStickyAbort) {
  join([](FakePeer& peer) {
    peer.sendEvent(skgxngeRCFG, membersOf({3}), 1);
    peer.closeEvents();
  });
  EXPECT_EQ(poll(1000), skgxngeRCFG);
  EXPECT_EQ(poll(1001), skgxngeABT);
  EXPECT_EQ(err_.code, static_cast<uint32_t>(SKGXN_EUNK));
  for (int32_t at = 1002; at < 1005; ++at) {
    std::memset(bitmap_, 0xff, sizeof bitmap_);
    EXPECT_EQ(poll(at), skgxngeABT);
    EXPECT_EQ(err_.code, 0u);
    EXPECT_EQ(bitmap_[0], 0);
  }
  EXPECT_EQ(skgxndrg(&err_, &group_, nullptr, 0), 0) << "the connection is already gone";
  EXPECT_EQ(err_.code, static_cast<uint32_t>(SKGXN_EUNK));
  EXPECT_EQ(group_.state, nullptr);
}

TEST_F(GroupCallsTest, NullMemmapIsCountedAsErrorEventButReleasedRecordIsNot) {
  join(nullptr);
  TraceCapture trace;
  StatsCapture stats;
  EXPECT_EQ(poll(1000), skgxngeNUL);  // a first poll without news has no event line
  EXPECT_EQ(skgxnpstat(&err_, &group_, nullptr, -5, nullptr, 0), skgxngeERR);
  EXPECT_EQ(err_.code, static_cast<uint32_t>(SKGXN_EINVAL));
  EXPECT_EQ(stats.lines(), (Lines{"<> skgxngeNUL(no events) SKGXN_SUCC",
                                  "<> skgxngeERR(error) SKGXN_FAIL(EINVAL)"}));
  EXPECT_EQ(trace.startingWith("skgxnpstat:EVENT").size(), 1u);
  EXPECT_EQ(trace.count("skgxnpstat:EXIT group_hdl(i)=DBGRP:3, memmap(o)=<>, wait_time(i)=-5, "
                        "ext(i)=0, flags(i)=0 : skgxngeERR(error) : SKGXN_FAIL(EINVAL)"),
            1u);

  skgxn_group copy = group_;
  ASSERT_EQ(skgxndrg(&err_, &group_, nullptr, 0), 1);
  StatsCapture afterLeave;
  EXPECT_EQ(skgxnpstat(&err_, &copy, &memmap_, 0, nullptr, 0), skgxngeABT);
  EXPECT_EQ(err_.code, static_cast<uint32_t>(SKGXN_EINVAL));
  EXPECT_EQ(copy.state, nullptr);
  EXPECT_TRUE(afterLeave.lines().empty());
}

TEST_F(GroupCallsTest, PrivateDataChecksArgumentsAndRefusesNullBufferAfterTheAnswer) {
  TraceCapture trace;
  EXPECT_EQ(skgxnprdata(&err_, &group_, 1, nullptr, 0, nullptr, nullptr, 0), 0);
  skgxn_group forged{&ctx_, 7, {}};
  uint32_t len = 77;
  EXPECT_EQ(skgxnprdata(&err_, &forged, 1, nullptr, 0, &len, nullptr, 0), 0);
  EXPECT_TRUE(forged.state == nullptr && forged.check == 0);
  daemon_.serve([](FakePeer& peer) {
    ASSERT_EQ(peer.readRequest(), MSG_REG_REQ);
    peer.passEventFd();
    peer.replyReg(peer.id, 0, 3);
    ASSERT_EQ(peer.readRequest(), MSG_PRDATA_REQ);
    peer.replyPrdata(peer.id, 0, ByteData("0123456789", 10));
    peer.waitClose();
  });
  uint32_t memnum = 3;
  ASSERT_EQ(skgxnreg(&err_, &ctx_, "DBGRP", &memnum, nullptr, 0, nullptr, 0, &group_, nullptr, 0),
            1);
  EXPECT_EQ(skgxnprdata(&err_, &group_, 1, nullptr, 64, &len, nullptr, 0), 0);
  EXPECT_EQ(err_.code, static_cast<uint32_t>(SKGXN_EINVAL));
  EXPECT_EQ(len, 77u);
  EXPECT_EQ(
      trace.startingWith("skgxnprdata:ERROR"),
      (Lines{"skgxnprdata:ERROR NULL len pointer", "skgxnprdata:ERROR NULL or Invalid group_hdl",
             "skgxnprdata:ERROR NULL private_data pointer"}));
}

TEST_F(GroupCallsTest, QueryRefusesNullMemmapAndBadNameBeforeAnyConnection) {
  TraceCapture trace;
  EXPECT_EQ(skgxnqgrp(&err_, &ctx_, "DBGRP", nullptr, nullptr, 0), 0);
  EXPECT_EQ(err_.code, static_cast<uint32_t>(SKGXN_EINVAL));
  EXPECT_EQ(skgxnqgrp(&err_, &ctx_, "ABCDEFGHIJKLMNOPQRS", &memmap_, nullptr, 0), 0);
  EXPECT_EQ(skgxnqgrp(&err_, &ctx_, nullptr, &memmap_, nullptr, 0), 0);
  std::ostringstream exit;
  exit << "skgxnqgrp:EXIT ctx(i)=" << static_cast<const void*>(&ctx_) << ", pgroup(i)=";
  const std::string tail = ", ext(i)=0, flags(i)=0, memmap(o)=<> : SKGXN_FAIL(EINVAL)";
  EXPECT_EQ(
      trace.startingWith("skgxnqgrp:"),
      (Lines{"skgxnqgrp:ENTER", "skgxnqgrp:ERROR NULL memmap pointer", exit.str() + "DBGRP" + tail,
             "skgxnqgrp:ENTER", "skgxnqgrp:groupName of length 19 exceeds allowed size of 18",
             exit.str() + "ABCDEFGHIJKLMNOPQRS" + tail, "skgxnqgrp:ENTER",
             "skgxnqgrp:ERROR NULL parameters", exit.str() + "(null)" + tail}));
  EXPECT_TRUE(trace.startingWith("MsgClient::qgrpRequest").empty());
}

}  // namespace
}  // namespace skgxn
