// Tests of the frame's pure parts: failure recording, result names, the
// mapping of internal codes and member-map printing. The entry and exit
// steps, which read the command file, are tested with the exported calls.
#include "api/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

namespace skgxn {
namespace {

skgxn_result dirtyRecord() {
  skgxn_result record;
  std::memset(&record, 'x', sizeof record);
  record.function[0] = '\0';
  record.text2[0] = '\0';
  record.text3[0] = '\0';
  return record;
}

TEST(ResultRecord, LayoutMatchesCallersRecord) {
  EXPECT_EQ(sizeof(skgxn_result), 216u);
  EXPECT_EQ(offsetof(skgxn_result, function), 4u);
  EXPECT_EQ(offsetof(skgxn_result, text2), 37u);
  EXPECT_EQ(offsetof(skgxn_result, text3), 50u);
  EXPECT_EQ(offsetof(skgxn_result, mark), 212u);
}

TEST(ResultRecord, FailureStoresCodeNameEmptyTextsAndMark) {
  skgxn_result record = dirtyRecord();
  setFailure(&record, SKGXN_EINVAL, "skgxnqat", nullptr, nullptr);
  EXPECT_EQ(record.code, 4u);
  EXPECT_STREQ(record.function, "skgxnqat");
  EXPECT_STREQ(record.text2, "");
  EXPECT_STREQ(record.text3, "");
  EXPECT_EQ(record.mark, 99u);
}

TEST(ResultRecord, CodeOutsideOneToEightIsStoredAsUnknown) {
  for (uint32_t code : {0u, 9u, 29u, 0xFFFFFFFFu}) {
    skgxn_result record = dirtyRecord();
    setFailure(&record, code, "f", nullptr, nullptr);
    EXPECT_EQ(record.code, 1u) << code;
  }
  skgxn_result record = dirtyRecord();
  setFailure(&record, SKGXN_EINUSE, "f", nullptr, nullptr);
  EXPECT_EQ(record.code, 8u);
}

TEST(ResultRecord, TextsAreCutToTheirBoundsAndStayTerminated) {
  skgxn_result record = dirtyRecord();
  std::string longText(300, 'a');
  setFailure(&record, 1, longText.c_str(), longText.c_str(), longText.c_str());
  EXPECT_EQ(std::strlen(record.function), 31u);
  EXPECT_EQ(std::strlen(record.text2), 11u);
  EXPECT_EQ(std::strlen(record.text3), 159u);
}

TEST(ResultRecord, NullTextEmptiesItsField) {
  skgxn_result record = dirtyRecord();
  std::strcpy(record.function, "old");
  setFailure(&record, 1, nullptr, nullptr, nullptr);
  EXPECT_STREQ(record.function, "");
}

TEST(ResultRecord, NullRecordIsIgnored) { setFailure(nullptr, 4, "f", "a", "b"); }

TEST(ResultName, SuccessIgnoresRecord) {
  skgxn_result record = dirtyRecord();
  record.code = 4;
  EXPECT_STREQ(resultName(kCallSuccess, &record), "SKGXN_SUCC");
  EXPECT_STREQ(resultName(kCallSuccess, nullptr), "SKGXN_SUCC");
}

TEST(ResultName, FailureNamesEachCodeAndPlainFailOtherwise) {
  const char* names[] = {"SKGXN_FAIL",          "SKGXN_FAIL(EUNK)",   "SKGXN_FAIL(EINIT)",
                         "SKGXN_FAIL(EPERM)",   "SKGXN_FAIL(EINVAL)", "SKGXN_FAIL(EUNAVAIL)",
                         "SKGXN_FAIL(ESIZE)",   "SKGXN_FAIL(EEXIST)", "SKGXN_FAIL(EINUSE)",
                         "SKGXN_FAIL"};
  skgxn_result record = dirtyRecord();
  for (uint32_t code = 0; code <= 9; ++code) {
    record.code = code;
    EXPECT_STREQ(resultName(kCallFailure, &record), names[code]) << code;
  }
  EXPECT_STREQ(resultName(kCallFailure, nullptr), "SKGXN_FAIL");
}

TEST(CodeMapping, SharedCodesKeepTheirNumber) {
  for (uint32_t code : {0u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) EXPECT_EQ(toSkgxnCode(code), code);
}

TEST(CodeMapping, FullAndMaxMembersBecomeSize) {
  EXPECT_EQ(toSkgxnCode(ERR_FULL), 6u);
  EXPECT_EQ(toSkgxnCode(ERR_MAX_MEMBERS), 6u);
}

TEST(CodeMapping, EverythingElseBecomesUnknown) {
  for (uint32_t code = 9; code <= 40; ++code) {
    if (code == ERR_FULL || code == ERR_MAX_MEMBERS) continue;
    EXPECT_EQ(toSkgxnCode(code), 1u) << code;
  }
  EXPECT_EQ(toSkgxnCode(1), 1u);
  EXPECT_EQ(toSkgxnCode(0xFFFFFFFFu), 1u);
}

TEST(MemberMapPrint, NullRecordOrBitmapPrintsEmptyBrackets) {
  EXPECT_EQ(memberMapText(nullptr), "<>");
  skgxn_memmap noBitmap{nullptr};
  EXPECT_EQ(memberMapText(&noBitmap), "<>");
  uint8_t empty[16] = {};
  skgxn_memmap none{empty};
  EXPECT_EQ(memberMapText(&none), "<>");
}

TEST(MemberMapPrint, SetMembersAscendWithSingleBlanks) {
  uint8_t bitmap[16] = {};
  bitmap[0] = 0x09;  // members 0 and 3
  bitmap[8] = 0x01;  // member 64
  skgxn_memmap memmap{bitmap};
  EXPECT_EQ(memberMapText(&memmap), "<0 3 64>");
}

TEST(MemberMapPrint, FullBitmapPrintsAll128) {
  uint8_t bitmap[16];
  std::memset(bitmap, 0xFF, sizeof bitmap);
  skgxn_memmap memmap{bitmap};
  std::string expected = "<0";
  for (int n = 1; n < 128; ++n) expected += " " + std::to_string(n);
  expected += ">";
  EXPECT_EQ(memberMapText(&memmap), expected);
}

TEST(ExitArguments, PointersPrintAsStreamPrintsThemAndNullTextAsNull) {
  int value = 0;
  std::ostringstream expected;
  expected << static_cast<const void*>(&value) << "|" << static_cast<const void*>(nullptr);
  std::ostringstream out;
  out << PtrArg{&value} << "|" << PtrArg{nullptr};
  EXPECT_EQ(out.str(), expected.str());
  std::ostringstream text;
  text << TextArg{nullptr} << "|" << TextArg{"DBGRP"};
  EXPECT_EQ(text.str(), "(null)|DBGRP");
}

}  // namespace
}  // namespace skgxn
