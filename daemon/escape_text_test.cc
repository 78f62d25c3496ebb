// The notation of client-chosen names: what is escaped, what is kept, and
// that typing a shown name back gives the same bytes.
#include "daemon/escape_text.h"

#include <gtest/gtest.h>

namespace skgxn {
namespace {

TEST(EscapeText, ControlsAndBrokenUtf8AreEscapedReversiblyAndTheRestKept) {
  const struct {
    std::string raw, shown;
  } rows[] = {
      // a middle four-byte lead takes any continuation second
      {"gr\xc3\xbc\xc3\x9f\xe2\x82\xac\xf0\x9f\x90\x98\xf2\x80\x80\x80",
       "gr\xc3\xbc\xc3\x9f\xe2\x82\xac\xf0\x9f\x90\x98\xf2\x80\x80\x80"},
      {std::string("\x1b[2J\r\n\t\x7f\0x", 10), "\\x1b[2J\\x0d\\x0a\\x09\\x7f\\x00x"},
      {"\xc2\x9b[1m\xc2\xa0", "\\xc2\\x9b[1m\xc2\xa0"},  // C1 CSI escaped, no-break space kept
      // the highest three-byte lead kept; continuation bytes never read as a lead
      {"\xef\xbc\xa1\x80\x80\x80\x80", "\xef\xbc\xa1\\x80\\x80\\x80\\x80"},
      {"a\\x41\\", "a\\\\x41\\\\"},
      // stray continuation, cut-short sequence, overlong, surrogate, above U+10FFFF
      {"\x80\xe2\x82 \xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xff",
       "\\x80\\xe2\\x82 \\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xff"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(escapeText(row.raw), row.shown);
    EXPECT_EQ(unescapeText(row.shown), row.raw);
  }
  // A backslash that starts no escape stands for itself.
  EXPECT_EQ(unescapeText("a\\b\\x4g\\X41\\x4"), "a\\b\\x4g\\X41\\x4");
  EXPECT_EQ(unescapeText("\\x4A\\x4a"), "JJ");
}

}  // namespace
}  // namespace skgxn
