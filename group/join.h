// Joining and leaving a group behind a caller's group handle: the handle's
// GroupState is created, registered with the daemon and named, or asked to
// deregister and released. Argument checks belong to the exported calls.
#ifndef GROUP_JOIN_H_
#define GROUP_JOIN_H_

#include <cstdint>
#include <string>

#include "diag/err_code.h"
#include "group/group_state.h"
#include "msg/byte_data.h"
#include "skgxn.h"

namespace skgxn {

// "<name>:<memno>", the display name of a registered member.
std::string groupDisplayName(const char* name, int32_t memno);

// Creates the handle's state under ctx (listed in owner), asks the daemon to
// register name with privateData, and names the group after the member
// number granted. memno goes in as the number asked for and comes out as
// the daemon's answer, also when the daemon refuses. On any failure the
// state is released again and *handle is clear. function names the caller
// in the "group handle not clean" warning.
[[nodiscard]] ErrCode joinGroup(const char* function, skgxn_context* ctx, GroupList* owner,
                                const char* name, int32_t& memno, const ByteData& privateData,
                                skgxn_group* handle);

// Asks the daemon to end the membership of a handle that passed
// checkGroupHandle, then releases the state whatever the answer: the local
// membership ends even when the daemon did not confirm it. The result is
// the request's. A state inherited through fork() is released without a
// request, and the result is 0.
[[nodiscard]] ErrCode leaveGroup(skgxn_group* handle);

}  // namespace skgxn

#endif  // GROUP_JOIN_H_
