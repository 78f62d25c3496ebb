// Tests of the frame's pure parts: failure recording, result names, the
// mapping of internal codes and member-map printing. The entry and exit
// steps, which read the command file, are tested with the exported calls.
#include "api/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace skgxn {
namespace {

// Garbage everywhere except the texts, which a failure appends to.
skgxn_result dirtyRecord() {
  skgxn_result record;
  std::memset(&record, 'x', sizeof record);
  record.function[0] = record.text2[0] = record.text3[0] = '\0';
  return record;
}

std::string fields(const skgxn_result& r) {
  return std::to_string(r.code) + "|" + r.function + "|" + r.text2 + "|" + r.text3 + "|" +
         std::to_string(r.mark);
}

TEST(ResultRecord, LayoutMatchesCallersRecord) {
  EXPECT_EQ((std::vector<size_t>{sizeof(skgxn_result), offsetof(skgxn_result, function),
                                 offsetof(skgxn_result, text2), offsetof(skgxn_result, text3),
                                 offsetof(skgxn_result, mark)}),
            (std::vector<size_t>{216, 4, 37, 50, 212}));
}

TEST(ResultRecord, FailureStoresClampedCodeBoundedTextsAndMark) {
  skgxn_result record = dirtyRecord();
  setFailure(&record, SKGXN_EINVAL, "skgxnqat", nullptr, nullptr);
  EXPECT_EQ(fields(record), "4|skgxnqat|||99");
  for (uint32_t code : {0u, 1u, 8u, 9u, 29u, 0xFFFFFFFFu}) {
    record = dirtyRecord();
    setFailure(&record, code, "f", nullptr, nullptr);
    EXPECT_EQ(record.code, code == 8u ? 8u : 1u) << code;
  }
  const std::string a(300, 'a');
  record = dirtyRecord();
  setFailure(&record, 1, a.c_str(), a.c_str(), a.c_str());
  EXPECT_EQ(fields(record),
            "1|" + a.substr(0, 31) + "|" + a.substr(0, 11) + "|" + a.substr(0, 159) + "|99");
  setFailure(&record, 1, nullptr, nullptr, nullptr);  // a null text empties its field
  EXPECT_EQ(fields(record), "1||||99");
  setFailure(nullptr, 4, "f", "a", "b");  // ignored
}

TEST(ResultName, SuccessIgnoresRecordAndFailureNamesEachCode) {
  skgxn_result record = dirtyRecord();
  record.code = 4;
  EXPECT_STREQ(resultName(kCallSuccess, &record), "SKGXN_SUCC");
  EXPECT_STREQ(resultName(kCallSuccess, nullptr), "SKGXN_SUCC");
  const char* names[] = {"SKGXN_FAIL",        "SKGXN_FAIL(EUNK)",   "SKGXN_FAIL(EINIT)",
                         "SKGXN_FAIL(EPERM)", "SKGXN_FAIL(EINVAL)", "SKGXN_FAIL(EUNAVAIL)",
                         "SKGXN_FAIL(ESIZE)", "SKGXN_FAIL(EEXIST)", "SKGXN_FAIL(EINUSE)",
                         "SKGXN_FAIL"};
  for (uint32_t code = 0; code <= 9; ++code) {
    record.code = code;
    EXPECT_STREQ(resultName(kCallFailure, &record), names[code]) << code;
  }
  EXPECT_STREQ(resultName(kCallFailure, nullptr), "SKGXN_FAIL");
}

TEST(CodeMapping, SharedCodesKeepNumberFullBecomesSizeRestUnknown) {
  for (uint32_t code = 0; code <= 40; ++code) {
    const bool shared = code == 0 || (code >= 2 && code <= 8);
    const bool full = code == ERR_FULL || code == ERR_MAX_MEMBERS;
    EXPECT_EQ(toSkgxnCode(code), shared ? code : full ? 6u : 1u) << code;
  }
  EXPECT_EQ(toSkgxnCode(0xFFFFFFFFu), 1u);
}

TEST(MemberMapPrint, SetMembersAscendWithSingleBlanksUpToAll128) {
  uint8_t bitmap[16] = {};
  skgxn_memmap memmap{bitmap};
  skgxn_memmap noBitmap{nullptr};
  EXPECT_EQ(memberMapText(nullptr) + memberMapText(&noBitmap), "<><>");
  EXPECT_EQ(memberMapText(&memmap), "<>");
  bitmap[0] = 0x09;  // members 0 and 3
  bitmap[8] = 0x01;  // member 64
  EXPECT_EQ(memberMapText(&memmap), "<0 3 64>");
  std::memset(bitmap, 0xFF, sizeof bitmap);
  std::string all = "<0";
  for (int n = 1; n < 128; ++n) all += " " + std::to_string(n);
  EXPECT_EQ(memberMapText(&memmap), all + ">");
}

}  // namespace
}  // namespace skgxn
