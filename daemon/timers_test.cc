// The loop's timers: deadline order, cancelling, the epoll_wait timeout they
// give, and timers added while others run.
#include "daemon/timers.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace skgxn {
namespace {

TEST(Timers, RunInDeadlineOrderOnlyWhenDue) {
  Timers timers;
  std::string ran;
  const auto mark = [&](char c) { return [&ran, c] { ran += c; }; };
  EXPECT_EQ(timers.waitMs(0), -1);
  timers.add(30, mark('c'));
  const TimerId b = timers.add(20, mark('b'));
  timers.add(10, mark('a'));
  timers.add(10, mark('A'));
  timers.add(40, [&] {
    ran += 'd';
    timers.add(40, mark('e'));
  });
  EXPECT_TRUE(timers.cancel(b));
  EXPECT_FALSE(timers.cancel(b));
  // now, what has run by then, the wait it leaves
  const std::tuple<int64_t, std::string, int> rows[] = {
      {5, "", 5}, {10, "aA", 20}, {35, "aAc", 5}, {40, "aAcd", 0}, {40, "aAcde", -1}};
  for (const auto& [now, hasRun, wait] : rows) {
    SCOPED_TRACE(now);
    timers.runDue(now);
    EXPECT_EQ(ran, hasRun);
    EXPECT_EQ(timers.waitMs(now), wait);
  }
}

}  // namespace
}  // namespace skgxn
