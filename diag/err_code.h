// Internal error codes, their display names, and the first-failure chain that
// every multi-step operation (codec, transport, requests, daemon) runs through.
// Codes 1 to 8 are numbered like the caller-visible failure codes.
#ifndef DIAG_ERR_CODE_H_
#define DIAG_ERR_CODE_H_

#include <cstdint>

namespace skgxn {

enum ErrCode : uint32_t {
  ERR_NONE = 0,
  ERR_UNKNOWN = 1,
  ERR_INIT = 2,
  ERR_PERM = 3,
  ERR_INVALID = 4,
  ERR_UNAVAILABLE = 5,
  ERR_SIZE = 6,
  ERR_EXIST = 7,
  ERR_IN_USE = 8,
  ERR_WRITE = 9,
  ERR_READ = 10,
  ERR_FULL = 11,
  ERR_BAD_STATE = 12,
  ERR_CREATE = 13,
  ERR_ADD = 14,
  ERR_DELETE = 15,
  ERR_UPDATE = 16,
  ERR_TRANSACTION = 17,
  ERR_PIPE = 18,
  ERR_POLL = 19,
  ERR_VEMO = 20,
  ERR_LOCK = 21,
  ERR_UNLOCK = 22,
  ERR_COMM = 23,
  ERR_EMPTY = 24,
  ERR_NO_ACTION = 25,
  ERR_CHECKSUM = 26,
  ERR_QUERY = 27,
  ERR_BAD_SEQ = 28,
  ERR_MAX_MEMBERS = 29,
};

// Display name of a code ("None" ... "Maximum Group Members per Node");
// "??? Error" for anything above 29. Never null.
const char* errorName(const ErrCode& code);

// Runs steps while every earlier step returned ERR_NONE and keeps the first
// non-zero code:
//   Steps s;
//   s.then([&] { return proto.readMsgType(type); })
//    .then([&] { return proto.readData(4, &id); });
//   return s.result();
class Steps {
 public:
  template <typename Step>
  Steps& then(Step&& step) {
    if (rc_ == ERR_NONE) rc_ = static_cast<ErrCode>(step());
    return *this;
  }
  // Like then(), for a step that cannot fail but must not run after a failure.
  template <typename Action>
  Steps& also(Action&& action) {
    if (rc_ == ERR_NONE) action();
    return *this;
  }
  [[nodiscard]] ErrCode result() const { return rc_; }
  [[nodiscard]] bool ok() const { return rc_ == ERR_NONE; }

 private:
  ErrCode rc_ = ERR_NONE;
};

}  // namespace skgxn

#endif  // DIAG_ERR_CODE_H_
