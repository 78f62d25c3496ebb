// Display names of the internal error codes.
#include "diag/err_code.h"

namespace skgxn {

namespace {
constexpr const char* kNames[] = {
    "None",
    "Unknown Error",
    "Initialization Error",
    "Permission Error",
    "Invalid Input Error",
    "Service Unavailable Error",
    "Buffer sizing Error",
    "Existence Error",
    "In use Error",
    "Write Error",
    "Read Error",
    "Full Error",
    "Bad State Error",
    "Create Error",
    "Add Error",
    "Delete Error",
    "Update Error",
    "Transaction Error",
    "Pipe Error",
    "Poll Error",
    "VEMO Error",
    "LOCK Error",
    "UNLOCK Error",
    "Communication Failure Error",
    "Empty Error",
    "No Action Taken",
    "Checksum failure",
    "Query failure",
    "Bad Sequence Number",
    "Maximum Group Members per Node",
};
constexpr uint32_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);
}  // namespace

const char* errorName(const ErrCode& code) {
  return code < kNameCount ? kNames[code] : "??? Error";
}

}  // namespace skgxn
