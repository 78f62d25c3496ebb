// The call frame: entry, failure recording, result names, code mapping,
// member-map printing and the exit line with its trace callback.
#include "api/frame.h"

#include "api/context.h"
#include "diag/cmd_file.h"
#include "diag/str_util.h"
#include "diag/trace.h"
#include "msg/member_bitmap.h"

namespace skgxn {

namespace {

// Total bounds of the record's texts, terminator included; one byte of each
// field stays spare, so a cut text still leaves the field terminated.
constexpr size_t kFunctionBound = 32;
constexpr size_t kText2Bound = 12;
constexpr size_t kText3Bound = 160;
constexpr uint32_t kFailureMark = 99;

constexpr const char* kFailureNames[] = {
    "SKGXN_FAIL",        "SKGXN_FAIL(EUNK)",   "SKGXN_FAIL(EINIT)",
    "SKGXN_FAIL(EPERM)", "SKGXN_FAIL(EINVAL)", "SKGXN_FAIL(EUNAVAIL)",
    "SKGXN_FAIL(ESIZE)", "SKGXN_FAIL(EEXIST)", "SKGXN_FAIL(EINUSE)",
};

void appendText(char* field, const char* text, size_t bound) {
  if (text == nullptr) {
    field[0] = '\0';
    return;
  }
  (void)strlcat(field, text, bound);
}

}  // namespace

void enterCall(const char* function, skgxn_result* record) {
  checkCmdFile();
  if (traceEnabled(TRACE_CALL)) traceLine(std::string(function) + ":ENTER\n", TRACE_CALL);
  if (record == nullptr) return;
  record->code = 0;
  record->function[0] = '\0';
  record->text2[0] = '\0';
  record->text3[0] = '\0';
  record->mark = 0;
}

void enterDeprecatedCall(const char* function, skgxn_result* record) {
  enterCall(function, record);
  traceLine(std::string(function) + ":WARN deprecated api being called!\n", TRACE_ERR);
  setFailure(record, SKGXN_EUNAVAIL, function, nullptr, nullptr);
}

void setFailure(skgxn_result* record, uint32_t code, const char* function, const char* text2,
                const char* text3) {
  if (record == nullptr) return;
  record->code = (code >= SKGXN_EUNK && code <= SKGXN_EINUSE) ? code : SKGXN_EUNK;
  appendText(record->function, function, kFunctionBound);
  appendText(record->text2, text2, kText2Bound);
  appendText(record->text3, text3, kText3Bound);
  record->mark = kFailureMark;
}

const char* resultName(int status, const skgxn_result* record) {
  if (status == kCallSuccess) return "SKGXN_SUCC";
  if (record == nullptr || record->code < SKGXN_EUNK || record->code > SKGXN_EINUSE) {
    return kFailureNames[0];
  }
  return kFailureNames[record->code];
}

uint32_t toSkgxnCode(uint32_t internalCode) {
  switch (internalCode) {
    case ERR_NONE:
    case ERR_INIT:
    case ERR_PERM:
    case ERR_INVALID:
    case ERR_UNAVAILABLE:
    case ERR_SIZE:
    case ERR_EXIST:
    case ERR_IN_USE:
      return internalCode;
    case ERR_FULL:
    case ERR_MAX_MEMBERS:
      return SKGXN_ESIZE;
    default:
      return SKGXN_EUNK;
  }
}

void printMemberMap(const skgxn_memmap* memmap, std::ostream& out) {
  out << '<';
  if (memmap != nullptr && memmap->bitmap != nullptr) {
    const uint8_t* bytes = memmap->bitmap;
    const char* separator = "";
    for (uint32_t n = 0; n < kMaxMembers; ++n) {
      if ((bytes[n / 8] >> (n % 8)) & 1) {
        out << separator << n;
        separator = " ";
      }
    }
  }
  out << '>';
}

std::string memberMapText(const skgxn_memmap* memmap) {
  std::ostringstream out;
  printMemberMap(memmap, out);
  return out.str();
}

std::ostream& operator<<(std::ostream& out, PtrArg arg) { return out << arg.p; }

std::ostream& operator<<(std::ostream& out, TextArg arg) {
  return out << (arg.s == nullptr ? "(null)" : arg.s);
}

CallFrame::CallFrame(const char* function, skgxn_result* record)
    : function_(function), exitName_(function), record_(record) {
  enterCall(function, record);
}

CallFrame::CallFrame(const char* function, skgxn_result* record, const skgxn_context* ctx,
                     uint32_t contextBit)
    : function_(function),
      exitName_(function),
      record_(record),
      ctx_(ctx),
      contextBit_(contextBit) {
  enterCall(function, record);
}

CallFrame::CallFrame(Deprecated, const char* function, skgxn_result* record)
    : function_(function), exitName_(function), record_(record), status_(kCallFailure) {
  enterDeprecatedCall(function, record);
}

void CallFrame::fail(uint32_t code, std::string_view line) {
  failSilently(code);
  std::string text(line);
  text += '\n';
  traceLine(text.c_str(), TRACE_ERR);
}

void CallFrame::failSilently(uint32_t code) {
  status_ = kCallFailure;
  setFailure(record_, code, function_, nullptr, nullptr);
}

bool CallFrame::exitWanted() const {
  return traceEnabled(TRACE_CALL) || (ctx_ != nullptr && contextTraceWanted(ctx_, contextBit_));
}

void CallFrame::writeExitLine(const std::string& line) const {
  traceLine(line, TRACE_CALL);
  if (ctx_ != nullptr) callTraceCallback(ctx_, contextBit_, function_, line);
}

}  // namespace skgxn
