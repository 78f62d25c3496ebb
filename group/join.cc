// Joining and leaving: the GroupState's life around the daemon's register
// and deregister requests.
#include "group/join.h"

#include "group/group_handle.h"
#include "msg/msg_client.h"

namespace skgxn {

std::string groupDisplayName(const char* name, int32_t memno) {
  std::string display(name);
  display += ':';
  display += std::to_string(memno);
  return display;
}

ErrCode joinGroup(const char* function, skgxn_context* ctx, GroupList* owner, const char* name,
                  int32_t& memno, const ByteData& privateData, skgxn_group* handle) {
  // Nothing to undo when no state was made: the record may still name an
  // earlier registration, which must stay alive.
  if (const ErrCode rc = createGroupHandle(function, ctx, owner, handle); rc != ERR_NONE) return rc;
  const ErrCode rc = onMsgLink(handle, [&](MsgLink& link) {
    return MsgClient::instance().regRequest(name, memno, privateData, link);
  });
  if (rc == ERR_NONE) {
    setGroupName(handle, groupDisplayName(name, memno));
  } else {
    // Closes whatever the request left open; a refused join leaves no state.
    releaseGroupHandle(handle);
  }
  return rc;
}

ErrCode leaveGroup(skgxn_group* handle) {
  // An inherited handle names the parent's membership, which the child must
  // not end: its leave is the child's alone.
  const GroupState* state = groupStateOf(handle);
  const ErrCode rc =
      state != nullptr && state->inherited
          ? ERR_NONE
          : onMsgLink(handle, [](MsgLink& link) { return MsgClient::instance().drgRequest(link); });
  releaseGroupHandle(handle);
  return rc;
}

}  // namespace skgxn
