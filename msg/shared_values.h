// The values velkd, the client library and velkctl must agree on: where the
// daemon listens, the event codes it sends, the group-name limit, and the
// admin socket with the words of its requests. Declared here once, so that
// neither end can drift from the other; no behaviour lives here.
#ifndef MSG_SHARED_VALUES_H_
#define MSG_SHARED_VALUES_H_

#include <cstddef>
#include <cstdint>

namespace skgxn {

// The daemon's marker FIFO (its presence means "daemon available") and the
// listening socket every registration connects to.
inline constexpr const char* kRegisterPipe = "/var/run/.skgxn_registration";
inline constexpr const char* kRegisterSocket = "/var/run/.skgxn_registration.sock";

// Event codes as they travel in an event message. The library hands them to
// its caller unchanged, so they equal the public header's event values.
inline constexpr uint32_t kEventNone = 0;
inline constexpr uint32_t kEventReconfig = 1;
inline constexpr uint32_t kEventSuspend = 2;
inline constexpr uint32_t kEventResume = 4;
inline constexpr uint32_t kEventAbort = 8;

// Longest group name a join or a query may carry.
inline constexpr size_t kMaxGroupName = 18;

// Path of velkd's root-only admin socket.
inline constexpr const char* kAdminSocket = "/run/velkd/admin.sock";

// Largest admin record either way. A request is one record. An answer, of
// any length, is cut into records of exactly this size, and the first
// shorter one ends it; an answer whose length is a multiple of the size is
// padded with one blank (JSON allows it) so that its last record is short.
inline constexpr size_t kAdminRecordBytes = 4096;

// An admin request is a JSON object: the command under kAdminKeyCmd, and
// for some commands a group, an event word and a member number.
inline constexpr const char* kAdminKeyCmd = "cmd";
inline constexpr const char* kAdminKeyGroup = "group";
inline constexpr const char* kAdminKeyEvent = "event";
inline constexpr const char* kAdminKeyMember = "member";

inline constexpr const char* kAdminCmdStatus = "status";
inline constexpr const char* kAdminCmdNodes = "nodes";
inline constexpr const char* kAdminCmdGroups = "groups";
inline constexpr const char* kAdminCmdMembers = "members";
inline constexpr const char* kAdminCmdEvent = "event";

// The events an administrator may send, by name.
inline constexpr const char* kAdminEventSuspend = "suspend";
inline constexpr const char* kAdminEventResume = "resume";
inline constexpr const char* kAdminEventAbort = "abort";

}  // namespace skgxn

#endif  // MSG_SHARED_VALUES_H_
