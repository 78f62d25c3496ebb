// The loop's timers: deadline order, cancelling, the epoll_wait timeout they
// give, and timers added while others run.
#include "daemon/timers.h"

#include <gtest/gtest.h>

#include <string>

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
  const struct {
    int64_t now;
    std::string ran;
    int wait;
  } rows[] = {{5, "", 5}, {10, "aA", 20}, {35, "aAc", 5}, {40, "aAcd", 0}, {40, "aAcde", -1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.now);
    timers.runDue(row.now);
    EXPECT_EQ(ran, row.ran);
    EXPECT_EQ(timers.waitMs(row.now), row.wait);
  }
}

}  // namespace
}  // namespace skgxn
