// The work behind the configuration library's three calls, with the
// configuration path and the problem reporter as parameters so tests can use
// any file and see every message. vemo_exports.cc binds the fixed path.
#ifndef VEMO_CLUSTER_HANDLE_H_
#define VEMO_CLUSTER_HANDLE_H_

#include <cstdarg>

#include "vemo.h"

namespace skgxn {

// Results of the three calls beyond VEMO_OK (0) and VEMO_EINVAL (11, an
// unknown node name or number); those of the Corosync engine (17 to 20) are
// in vemo.h. The administrator's guide lists them all.
inline constexpr int kVemoBadArgument = 12;  // null pointer, unknown tag or handle
inline constexpr int kVemoConfigUnreadable = 13;
inline constexpr int kVemoConfigMalformed = 14;
inline constexpr int kVemoNoHostName = 15;  // no file and no usable host name
inline constexpr int kVemoNoMemory = 16;

// Receives one line for the administrator when an open fails.
using ProblemSink = void (*)(const char* problem);

// Reads the configuration at path into a new handle stored in *handle.
// VEMO_OK, or a failure result with *handle null (when handle is not null)
// and the reason given once to report. No partial table is ever served.
int clusterOpen(const char* path, vemo_handle_t* handle, ProblemSink report);

// Answers tag for handle, taking the tag's further arguments from args.
// VEMO_OK; VEMO_EINVAL for an unknown name or number; kVemoBadArgument for a
// handle that is not open, a null or unknown tag or a null pointer argument.
// Outputs are written only on VEMO_OK. Texts and arrays handed out belong to
// the handle and stay valid until clusterClose.
int clusterGet(vemo_handle_t handle, const char* tag, va_list args);

// Releases handle and everything it handed out. kVemoBadArgument for a
// handle that is not open (closed twice, or never opened).
int clusterClose(vemo_handle_t handle);

}  // namespace skgxn

#endif  // VEMO_CLUSTER_HANDLE_H_
