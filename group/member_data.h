// Reading another member's private data through the asking member's own
// connection, and asking a group's members without joining it.
// The argument checks and the copy to the caller's buffers are the
// exported calls' part.
#ifndef GROUP_MEMBER_DATA_H_
#define GROUP_MEMBER_DATA_H_

#include <cstdint>

#include "diag/err_code.h"
#include "group/group_state.h"
#include "msg/byte_data.h"
#include "msg/member_bitmap.h"
#include "skgxn.h"

namespace skgxn {

// Member memno's private data, read over the connection of a handle that
// passed checkGroupHandle. data is replaced only on success; ERR_BAD_STATE
// when the group has no working connection, ERR_INVALID when the state was
// inherited through fork().
[[nodiscard]] ErrCode readMemberData(skgxn_group* handle, uint32_t memno, ByteData& data);

// The members of group name, asked on a connection opened for this one
// question under a short-lived state listed in owner (the list of ctx, a
// validated context). members is zeroed on failure. Nothing stays behind.
[[nodiscard]] ErrCode queryGroup(skgxn_context* ctx, GroupList* owner, const char* name,
                                 MemberBitmap& members);

}  // namespace skgxn

#endif  // GROUP_MEMBER_DATA_H_
