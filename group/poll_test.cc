// The poll's own formatting: the member map text it builds in a fixed
// buffer on every poll, and the event names of its lines.
#include "group/poll.h"

#include <gtest/gtest.h>

#include <string>

#include "msg/member_bitmap.h"

namespace skgxn {
namespace {

std::string mapText(const uint8_t* bitmap) {
  char text[kMemberMapTextBytes];
  const size_t length = formatMemberMap(bitmap, text);
  EXPECT_EQ(length, std::string(text).size());
  return text;
}

TEST(PollMemberMap, EmptyAndMissingBitmapsPrintEmptyBrackets) {
  const MemberBitmap none{};
  EXPECT_EQ(mapText(none.data()), "<>");
  EXPECT_EQ(mapText(nullptr), "<>");
}

TEST(PollMemberMap, MembersPrintAscendingAcrossBytes) {
  MemberBitmap map{};
  for (uint32_t n : {127u, 0u, 9u, 64u, 5u}) addMember(map, n);
  EXPECT_EQ(mapText(map.data()), "<0 5 9 64 127>");
}

TEST(PollMemberMap, AllMembersFitTheFixedBuffer) {
  MemberBitmap map;
  map.fill(0xff);
  std::string expected = "<";
  for (int n = 0; n < 128; ++n) expected += (n == 0 ? "" : " ") + std::to_string(n);
  expected += ">";
  EXPECT_EQ(mapText(map.data()), expected);
}

TEST(PollEventName, UnknownCodesPrintAsError) {
  EXPECT_STREQ(eventName(skgxngeRES), "skgxngeRES(resume)");
  EXPECT_STREQ(eventName(3), "skgxngeERR(error)");
  EXPECT_STREQ(eventName(skgxngeERR), "skgxngeERR(error)");
}

}  // namespace
}  // namespace skgxn
