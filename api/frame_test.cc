// The frame's pure parts: failure recording, result names, code and event names. The entry
// and exit steps and the member-map printing are tested with the exported calls.
#include "api/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "group/poll.h"

namespace skgxn {
namespace {

static_assert(sizeof(skgxn_result) == 216 && offsetof(skgxn_result, function) == 4 &&
              offsetof(skgxn_result, text2) == 37 && offsetof(skgxn_result, text3) == 50 &&
              offsetof(skgxn_result, mark) == 212);

// One record throughout: a failure appends to the texts already there.
TEST(ResultRecord, FailureStoresClampedCodeBoundedTextsAndMark) {
  skgxn_result r;
  std::memset(&r, 'x', sizeof r);
  r.function[0] = r.text2[0] = r.text3[0] = '\0';
  const std::string a(300, 'a');
  const std::string bounded =
      "1|" + a.substr(0, 31) + "|" + a.substr(0, 11) + "|" + a.substr(0, 159) + "|99";
  const std::tuple<uint32_t, const char*, std::string> rows[] = {{4, "f", "4|f|f|f|99"},
                                                                 {9, "g", "1|fg|fg|fg|99"},
                                                                 {8, nullptr, "8||||99"},
                                                                 {0xFFFFFFFFu, a.c_str(), bounded},
                                                                 {0, nullptr, "1||||99"}};
  for (const auto& [code, text, stored] : rows) {
    setFailure(&r, code, text, text, text);
    EXPECT_EQ(std::to_string(r.code) + "|" + r.function + "|" + r.text2 + "|" + r.text3 + "|" +
                  std::to_string(r.mark),
              stored);
  }
  setFailure(nullptr, 4, "f", "a", "b");  // ignored
}

TEST(ResultName, SuccessIgnoresTheRecordAndFailureNamesItsCode) {
  skgxn_result record{}, *const r = &record;
  const int fail = kCallFailure;
  const std::tuple<int, const skgxn_result*, uint32_t, const char*> rows[] = {
      {kCallSuccess, r, 4, "SKGXN_SUCC"}, {fail, nullptr, 4, "SKGXN_FAIL"},
      {fail, r, 0, "SKGXN_FAIL"},         {fail, r, 1, "SKGXN_FAIL(EUNK)"},
      {fail, r, 8, "SKGXN_FAIL(EINUSE)"}, {fail, r, 9, "SKGXN_FAIL"}};
  for (const auto& [status, from, code, name] : rows) {
    record.code = code;
    EXPECT_STREQ(resultName(status, from), name) << code;
  }
}

// Shared codes keep their number, a full group becomes a size error, the
// rest are unknown; every event has its name and unknown ones are errors.
TEST(CodeAndEventNames, MapToTheCallersCodesAndNames) {
  const std::pair<uint32_t, uint32_t> codes[] = {
      {0, 0}, {2, 2}, {8, 8}, {1, 1}, {9, 1}, {ERR_FULL, 6}, {ERR_MAX_MEMBERS, 6}, {40, 1}};
  for (const auto& [code, mapped] : codes) EXPECT_EQ(toSkgxnCode(code), mapped) << code;
  const std::pair<uint32_t, const char*> events[] = {{skgxngeSUS, "skgxngeSUS(suspend)"},
                                                     {skgxngeRES, "skgxngeRES(resume)"},
                                                     {skgxngeABT, "skgxngeABT(abort)"},
                                                     {3, "skgxngeERR(error)"}};
  for (const auto& [event, name] : events) EXPECT_STREQ(eventName(event), name);
}

}  // namespace
}  // namespace skgxn
