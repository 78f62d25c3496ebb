// Tests of the frame's pure parts: failure recording, result names, the
// mapping of internal codes and event names. The entry and exit steps and
// the member-map printing are tested with the exported calls.
#include "api/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "group/poll.h"

namespace skgxn {
namespace {

std::string fields(const skgxn_result& r) {
  return std::to_string(r.code) + "|" + r.function + "|" + r.text2 + "|" + r.text3 + "|" +
         std::to_string(r.mark);
}

TEST(ResultRecord, FailureStoresClampedCodeBoundedTextsAndMarkInTheCallersLayout) {
  EXPECT_EQ((std::vector<size_t>{sizeof(skgxn_result), offsetof(skgxn_result, function),
                                 offsetof(skgxn_result, text2), offsetof(skgxn_result, text3),
                                 offsetof(skgxn_result, mark)}),
            (std::vector<size_t>{216, 4, 37, 50, 212}));
  // One record throughout: a failure appends to the texts already there.
  skgxn_result record;
  std::memset(&record, 'x', sizeof record);
  record.function[0] = record.text2[0] = record.text3[0] = '\0';
  const std::string a(300, 'a');
  const struct {
    uint32_t code;
    const char* text;
    std::string stored;
  } rows[] = {{4, "f", "4|f|f|f|99"},
              {9, "g", "1|fg|fg|fg|99"},
              {8, nullptr, "8||||99"},
              {0xFFFFFFFFu, a.c_str(),
               "1|" + a.substr(0, 31) + "|" + a.substr(0, 11) + "|" + a.substr(0, 159) + "|99"},
              {0, nullptr, "1||||99"}};
  for (const auto& row : rows) {
    setFailure(&record, row.code, row.text, row.text, row.text);
    EXPECT_EQ(fields(record), row.stored);
  }
  setFailure(nullptr, 4, "f", "a", "b");  // ignored
}

TEST(ResultName, SuccessIgnoresTheRecordAndFailureNamesItsCode) {
  skgxn_result record{};
  const struct {
    int status;
    const skgxn_result* record;
    uint32_t code;
    const char* name;
  } rows[] = {{kCallSuccess, &record, 4, "SKGXN_SUCC"},
              {kCallFailure, nullptr, 4, "SKGXN_FAIL"},
              {kCallFailure, &record, 0, "SKGXN_FAIL"},
              {kCallFailure, &record, 1, "SKGXN_FAIL(EUNK)"},
              {kCallFailure, &record, 8, "SKGXN_FAIL(EINUSE)"},
              {kCallFailure, &record, 9, "SKGXN_FAIL"}};
  for (const auto& row : rows) {
    record.code = row.code;
    EXPECT_STREQ(resultName(row.status, row.record), row.name) << row.code;
  }
}

TEST(CodeMapping, SharedCodesKeepTheirNumberFullBecomesSizeTheRestUnknown) {
  const std::pair<uint32_t, uint32_t> rows[] = {
      {0, 0}, {2, 2}, {8, 8}, {1, 1}, {9, 1}, {ERR_FULL, 6}, {ERR_MAX_MEMBERS, 6}, {40, 1}};
  for (const auto& [code, mapped] : rows) EXPECT_EQ(toSkgxnCode(code), mapped) << code;
}

TEST(EventName, EveryEventHasItsNameAndUnknownOnesAreErrors) {
  const std::pair<uint32_t, const char*> rows[] = {{skgxngeSUS, "skgxngeSUS(suspend)"},
                                                   {skgxngeRES, "skgxngeRES(resume)"},
                                                   {skgxngeABT, "skgxngeABT(abort)"},
                                                   {3, "skgxngeERR(error)"}};
  for (const auto& [event, name] : rows) EXPECT_STREQ(eventName(event), name);
}

}  // namespace
}  // namespace skgxn
