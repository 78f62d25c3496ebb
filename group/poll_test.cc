// The poll's own formatting: the member map text it builds in a fixed
// buffer on every poll, and the event names of its lines.
#include "group/poll.h"

#include <gtest/gtest.h>

#include <string>

#include "msg/member_bitmap.h"

namespace skgxn {
namespace {

TEST(PollMemberMap, MembersPrintAscendingAndAllOfThemFitTheFixedBuffer) {
  MemberBitmap none{}, some{}, all;
  all.fill(0xff);
  for (uint32_t n : {127u, 0u, 9u, 64u, 5u}) addMember(some, n);
  std::string everyone = "<0";
  for (int n = 1; n < 128; ++n) everyone += " " + std::to_string(n);
  const std::pair<const uint8_t*, std::string> rows[] = {{nullptr, "<>"},
                                                         {none.data(), "<>"},
                                                         {some.data(), "<0 5 9 64 127>"},
                                                         {all.data(), everyone + ">"}};
  for (const auto& [bitmap, expected] : rows) {
    char text[kMemberMapTextBytes];
    EXPECT_EQ(formatMemberMap(bitmap, text), expected.size());
    EXPECT_EQ(text, expected);
  }
}

TEST(PollEventName, UnknownCodesPrintAsError) {
  EXPECT_STREQ(eventName(skgxngeRES), "skgxngeRES(resume)");
  EXPECT_STREQ(eventName(3), "skgxngeERR(error)");
  EXPECT_STREQ(eventName(skgxngeERR), "skgxngeERR(error)");
}

}  // namespace
}  // namespace skgxn
