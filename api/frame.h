// The frame every exported call runs in: entry (command file, entry line,
// result record cleared), failure recording with its error line, and the exit
// line with its optional hand-over to the caller's trace callback.
// The exported calls themselves live in the other files of api/.
#ifndef API_FRAME_H_
#define API_FRAME_H_

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "diag/err_code.h"
#include "skgxn.h"

namespace skgxn {

inline constexpr int kCallSuccess = 1;
inline constexpr int kCallFailure = 0;

// Entry step: runs checkCmdFile, writes "<function>:ENTER" under TRACE_CALL
// (formatted only when TRACE_CALL is on) and clears the record (code, mark
// and the first byte of each text). A null record is left alone.
void enterCall(const char* function, skgxn_result* record);

// enterCall, then "<function>:WARN deprecated api being called!" under
// TRACE_ERR and failure code 5 recorded under the function's name.
void enterDeprecatedCall(const char* function, skgxn_result* record);

// Records a failure: code 1 to 8 as given, anything else as 1; each text is
// appended to its field with bound 32, 12 and 160 (null empties the field);
// mark 99. A null record is left alone.
void setFailure(skgxn_result* record, uint32_t code, const char* function, const char* text2,
                const char* text3);

// "SKGXN_SUCC" for status 1; otherwise "SKGXN_FAIL(<code>)" for a record
// holding code 1 to 8 and plain "SKGXN_FAIL" for a null record or any other
// code. Never null.
const char* resultName(int status, const skgxn_result* record);

// Caller-visible failure code of an internal code: 0 and 2..8 keep their
// number, 11 and 29 become 6, everything else (1, 9, 10, 12..28, >29) 1.
uint32_t toSkgxnCode(uint32_t internalCode);

// Prints the caller's member bitmap as "<n1 n2 ...>" (set members ascending,
// one blank between them). A null record or null bitmap pointer prints "<>";
// only the 16 bitmap bytes are read.
void printMemberMap(const skgxn_memmap* memmap, std::ostream& out);
std::string memberMapText(const skgxn_memmap* memmap);

// Exit-line value helpers. A caller's pointer prints as the stream prints an
// untyped pointer and is never read through; a caller's text prints as its
// characters, or "(null)" when the pointer is null.
struct PtrArg {
  const void* p;
};
struct TextArg {
  const char* s;
};
std::ostream& operator<<(std::ostream& out, PtrArg arg);
std::ostream& operator<<(std::ostream& out, TextArg arg);

// The frame of one exported call. Construction runs the entry step; the call
// then records failures through fail*/failMapped and ends with exit():
//
//   int skgxnqat(skgxn_result* err, skgxn_context* ctx, int32_t attr, ...) {
//     CallFrame frame("skgxnqat", err, ctx, SKGXN_CTX_TRACE_QUERY);
//     if (!checkContext(ctx))
//       frame.fail(SKGXN_EINVAL, "skgxnqat:ERROR: context is NULL or invalid");
//     ...
//     frame.exit([&](std::ostream& o) { o << "ctx(i)=" << PtrArg{ctx} << ...; },
//                [&](std::ostream& o) { o << value << " - "; });
//     return value;
//   }
//
// The status starts at 1 and only ever goes to 0.
class CallFrame {
 public:
  // A call without a context, or one whose exit line never reaches a callback.
  CallFrame(const char* function, skgxn_result* record);
  // A call that takes a context: the exit line is also built when the
  // context's trace flags hold contextBit, and then goes to its callback.
  CallFrame(const char* function, skgxn_result* record, const skgxn_context* ctx,
            uint32_t contextBit);

  struct Deprecated {};
  // Runs enterDeprecatedCall: the status is 0 and code 5 recorded at once.
  CallFrame(Deprecated, const char* function, skgxn_result* record);

  CallFrame(const CallFrame&) = delete;
  CallFrame& operator=(const CallFrame&) = delete;

  // Records code (setFailure under the call's name) and then writes line,
  // which is the whole error text without its newline, under TRACE_ERR.
  void fail(uint32_t code, std::string_view line);
  // Records code without a line of its own (the component that failed has
  // already traced its error).
  void failSilently(uint32_t code);
  // failSilently(toSkgxnCode(internal)).
  void failMapped(ErrCode internal) { failSilently(toSkgxnCode(internal)); }

  bool ok() const { return status_ == kCallSuccess; }
  int status() const { return status_; }
  const char* function() const { return function_; }
  // resultName of this call's status and record.
  const char* result() const { return resultName(status_, record_); }

  // The exit line starts with this name instead of the call's own name;
  // the callback still receives the call's own name.
  void setExitName(const char* name) { exitName_ = name; }

  // True when the exit line will be used: TRACE_CALL is on, or the context
  // (looked at now, after the operation) asks for the call's bit.
  bool exitWanted() const;

  // Builds "<exit name>:EXIT " + args + " : " + lead + result + "\n" only
  // when exitWanted(), writes it under TRACE_CALL and hands it to the
  // context's trace callback when the context's bit asks for it. args and
  // lead are callables taking std::ostream&; lead writes the value part of
  // the calls that return one (e.g. "16 - ").
  template <typename Args>
  void exit(Args&& args) {
    exit(args, [](std::ostream&) {});
  }
  template <typename Args, typename Lead>
  void exit(Args&& args, Lead&& lead) {
    if (!exitWanted()) return;
    std::ostringstream line;
    line << exitName_ << ":EXIT ";
    args(line);
    line << " : ";
    lead(line);
    line << result() << '\n';
    writeExitLine(line.str());
  }

 private:
  void writeExitLine(const std::string& line) const;

  const char* function_;
  const char* exitName_;
  skgxn_result* record_;
  const skgxn_context* ctx_ = nullptr;
  uint32_t contextBit_ = 0;
  int status_ = kCallSuccess;
};

}  // namespace skgxn

#endif  // API_FRAME_H_
