// Member private data and the group query on the group side: the request
// over the member's connection, and the temporary state a query lives in.
#include "group/member_data.h"

#include "diag/trace.h"
#include "group/group_handle.h"
#include "msg/msg_client.h"

namespace skgxn {

ErrCode readMemberData(skgxn_group* handle, uint32_t memno, ByteData& data) {
  const GroupState* state = groupStateOf(handle);
  if (state != nullptr && state->inherited) {
    traceLine("skgxnprdata:ERROR group handle inherited from the parent process\n", TRACE_ERR);
    return ERR_INVALID;
  }
  return onMsgLink(handle, [&](MsgLink& link) {
    return MsgClient::instance().prdataRequest(link, static_cast<int32_t>(memno), data);
  });
}

ErrCode queryGroup(skgxn_context* ctx, GroupList* owner, const char* name, MemberBitmap& members) {
  skgxn_group local{};
  Steps steps;
  steps.then([&] { return createGroupHandle("skgxnqgrp", ctx, owner, &local); }).then([&] {
    return onMsgLink(&local, [&](const MsgLink& link) {
      return MsgClient::instance().qgrpRequest(name, link, members);
    });
  });
  if (!steps.ok()) members.fill(0);
  // The state is never named and never writes statistics; it only carries
  // the query's descriptor and goes with the call.
  releaseGroupHandle(&local);
  return steps.result();
}

}  // namespace skgxn
