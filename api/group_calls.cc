// The exported group-membership calls skgxnreg, skgxndrg, skgxnpstat,
// skgxnprdata and skgxnqgrp: each runs the frame, checks its arguments in
// their fixed order, hands the work to group/ and prints its exit line.
#include <cstring>
#include <string>

#include "api/context.h"
#include "api/frame.h"
#include "group/group_handle.h"
#include "group/join.h"
#include "group/member_data.h"
#include "group/poll.h"
#include "msg/byte_data.h"
#include "msg/member_bitmap.h"
#include "msg/msg_client.h"
#include "msg/shared_values.h"
#include "skgxn.h"

namespace skgxn {
namespace {

constexpr uint32_t kMaxPublicData = 255;

// The state a record names, only when it is one of ours and still live; a
// path that has not checked the record must not read through it.
GroupState* liveState(const skgxn_group* handle) {
  return isValidGroupHandle(handle) ? groupStateOf(handle) : nullptr;
}

std::string liveGroupName(const skgxn_group* handle) {
  const GroupState* state = liveState(handle);
  return state == nullptr ? std::string() : state->groupName;
}

std::string nameTooLongLine(const char* function, size_t length) {
  return std::string(function) + ":groupName of length " + std::to_string(length) +
         " exceeds allowed size of " + std::to_string(kMaxGroupName);
}

void zeroCallerBitmap(skgxn_memmap* memmap) {
  if (memmap != nullptr && memmap->bitmap != nullptr) std::memset(memmap->bitmap, 0, 16);
}

}  // namespace
}  // namespace skgxn

using skgxn::ByteData;
using skgxn::CallFrame;
using skgxn::ErrCode;
using skgxn::MsgClient;
using skgxn::PtrArg;
using skgxn::TextArg;

extern "C" {

SKGXN_EXPORT int skgxnreg(skgxn_result* err, skgxn_context* ctx, const char* pgroup,
                          uint32_t* memnum, const void* private_data, uint32_t prdatlen,
                          const void* public_data, uint32_t pbdatlen, skgxn_group* group_hdl,
                          void* ext, uint32_t flags) {
  CallFrame frame("skgxnreg", err, ctx, SKGXN_CTX_TRACE_REG);
  int32_t memnumIn = 0;
  int32_t memnumOut = 0;
  const ByteData privateBytes(private_data, prdatlen);
  // Checked and printed only; the daemon never receives it.
  const ByteData publicBytes(public_data, pbdatlen);

  if (!MsgClient::serverAvailable()) {
    frame.fail(SKGXN_EUNAVAIL, "skgxnreg:ERROR: server not available");
  } else if (!skgxn::checkContext(ctx)) {
    frame.fail(SKGXN_EINVAL, "skgxnreg:ERROR: context is NULL or invalid");
  } else if (pgroup == nullptr || memnum == nullptr || group_hdl == nullptr) {
    frame.fail(SKGXN_EINVAL, "skgxnreg:ERROR NULL parameters");
  } else if (const size_t length = std::strlen(pgroup); length > skgxn::kMaxGroupName) {
    frame.fail(SKGXN_EINVAL, skgxn::nameTooLongLine("skgxnreg", length));
  } else if (prdatlen > skgxn::kMaxPrivateData || pbdatlen > skgxn::kMaxPublicData) {
    frame.fail(SKGXN_EINVAL, "skgxnreg:ERROR data too big for buffers");
  } else {
    memnumIn = static_cast<int32_t>(*memnum);
    memnumOut = memnumIn;
    const ErrCode rc = skgxn::joinGroup("skgxnreg", ctx, skgxn::contextGroupList(ctx), pgroup,
                                        memnumOut, privateBytes, group_hdl);
    if (rc == skgxn::ERR_NONE) {
      *memnum = static_cast<uint32_t>(memnumOut);
    } else {
      frame.failMapped(rc);
    }
  }
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", pgroup(i)=" << TextArg{pgroup} << ", memnum(i)=" << memnumIn
      << ", memnum(o)=" << memnumOut << ", private_data(i)=" << privateBytes.hexText()
      << ", prdatlen(i)=" << prdatlen << ", public_data(i)=" << publicBytes.hexText()
      << ", pbdatlen(i)=" << pbdatlen << ", ext(i)=" << PtrArg{ext} << ", flags(i)=0x" << std::hex
      << flags << std::dec;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxndrg(skgxn_result* err, skgxn_group* group_hdl, void* ext, uint32_t flags) {
  CallFrame frame("skgxndrg", err);
  // Noted now: a successful leave releases the state that carries the name.
  const std::string groupName = skgxn::liveGroupName(group_hdl);

  if (!MsgClient::serverAvailable()) {
    // The handle stays as it is, so the caller can leave once the daemon is back.
    frame.fail(SKGXN_EUNAVAIL, "skgxndrg:ERROR: server not available");
  } else if (!skgxn::checkGroupHandle(group_hdl)) {
    frame.fail(SKGXN_EINVAL, "skgxndrg:ERROR NULL or invalid group_hdl");
  } else if (const ErrCode rc = skgxn::leaveGroup(group_hdl); rc != skgxn::ERR_NONE) {
    frame.failMapped(rc);
  }
  frame.exit([&](std::ostream& o) {
    o << "group_hdl(i)=" << groupName << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnpstat(skgxn_result* err, skgxn_group* group_hdl, skgxn_memmap* memmap,
                            int32_t wait_time, void* ext, uint32_t flags) {
  CallFrame frame("skgxnpstat", err);
  uint32_t event = skgxngeNUL;
  uint32_t previousEvent = skgxngeNUL;
  skgxn::GroupState* state = nullptr;

  if (memmap == nullptr) {
    event = skgxngeERR;
    frame.fail(SKGXN_EINVAL, "skgxnpstat:ERROR NULL memmap pointer");
    state = skgxn::liveState(group_hdl);
  } else if (!MsgClient::serverAvailable()) {
    event = skgxngeABT;
    frame.fail(SKGXN_EUNAVAIL, "skgxnpstat:ERROR: server not available");
    skgxn::zeroCallerBitmap(memmap);
    state = skgxn::liveState(group_hdl);
  } else if (!skgxn::checkGroupHandle(group_hdl)) {
    event = skgxngeABT;
    frame.fail(SKGXN_EINVAL, "skgxnpstat:ERROR NULL or Invalid group_hdl");
    skgxn::zeroCallerBitmap(memmap);
  } else {
    state = skgxn::groupStateOf(group_hdl);
    const ErrCode rc = skgxn::pollGroup(group_hdl, memmap, event, previousEvent);
    if (rc != skgxn::ERR_NONE) frame.failMapped(rc);
  }

  char memberMap[skgxn::kMemberMapTextBytes];
  skgxn::formatMemberMap(memmap == nullptr ? nullptr : memmap->bitmap, memberMap);
  const skgxn::PollReport report{event, previousEvent, frame.result(), memberMap};
  if (state != nullptr) skgxn::writePollStatsLine(group_hdl, report);
  frame.exit(
      [&](std::ostream& o) {
        o << "group_hdl(i)=" << (state == nullptr ? "" : state->groupName.c_str())
          << ", memmap(o)=" << memberMap << ", wait_time(i)=" << wait_time
          << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
      },
      [&](std::ostream& o) { o << skgxn::eventName(event) << " : "; });
  if (state != nullptr) skgxn::notePollTiming(group_hdl, *state, report);
  return static_cast<int>(event);
}

SKGXN_EXPORT int skgxnprdata(skgxn_result* err, skgxn_group* group_hdl, uint32_t memno,
                             void* private_data, uint32_t bufsz, uint32_t* len, void* ext,
                             uint32_t flags) {
  CallFrame frame("skgxnprdata", err);
  ByteData data;

  if (!MsgClient::serverAvailable()) {
    frame.fail(SKGXN_EUNAVAIL, "skgxnprdata:ERROR: server not available");
  } else if (len == nullptr) {
    frame.fail(SKGXN_EINVAL, "skgxnprdata:ERROR NULL len pointer");
  } else if (!skgxn::checkGroupHandle(group_hdl)) {
    frame.fail(SKGXN_EINVAL, "skgxnprdata:ERROR NULL or Invalid group_hdl");
  } else if (memno >= skgxn::kMaxMembers) {
    frame.fail(SKGXN_EINVAL, "skgxnprdata:ERROR member number " + std::to_string(memno) +
                                 " too large - must be < " + std::to_string(skgxn::kMaxMembers));
  } else if (const ErrCode rc = skgxn::readMemberData(group_hdl, memno, data);
             rc != skgxn::ERR_NONE) {
    frame.failMapped(rc);
  }

  if (frame.ok()) {
    const size_t size = data.size();
    if (bufsz < size) {
      frame.fail(SKGXN_ESIZE, "skgxnprdata:ERROR buffer size of " + std::to_string(bufsz) +
                                  " is too small to hold data of size " + std::to_string(size));
    } else if (size > 0 && private_data == nullptr) {
      frame.fail(SKGXN_EINVAL, "skgxnprdata:ERROR NULL private_data pointer");
    } else {
      if (size > 0) std::memcpy(private_data, data.data(), size);
      *len = static_cast<uint32_t>(size);
    }
  }
  frame.exit([&](std::ostream& o) {
    o << "group_hdl(i)=" << skgxn::liveGroupName(group_hdl) << ", memno(i)=" << memno
      << ", private_data(o)=" << data.hexText() << ", bufsz(i)=" << bufsz
      << ", len(o)=" << data.size() << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnqgrp(skgxn_result* err, skgxn_context* ctx, const char* pgroup,
                           skgxn_memmap* memmap, void* ext, uint32_t flags) {
  CallFrame frame("skgxnqgrp", err);
  skgxn::MemberBitmap members{};

  if (!MsgClient::serverAvailable()) {
    frame.fail(SKGXN_EUNAVAIL, "skgxnqgrp:ERROR: server not available");
  } else if (!skgxn::checkContext(ctx)) {
    frame.fail(SKGXN_EINVAL, "skgxnqgrp:ERROR: context is NULL or invalid");
  } else if (pgroup == nullptr) {
    frame.fail(SKGXN_EINVAL, "skgxnqgrp:ERROR NULL parameters");
  } else if (const size_t length = std::strlen(pgroup); length > skgxn::kMaxGroupName) {
    frame.fail(SKGXN_EINVAL, skgxn::nameTooLongLine("skgxnqgrp", length));
  } else if (memmap == nullptr || memmap->bitmap == nullptr) {
    // The answer could not be delivered, so the daemon is not asked.
    frame.fail(SKGXN_EINVAL, "skgxnqgrp:ERROR NULL memmap pointer");
  } else if (const ErrCode rc =
                 skgxn::queryGroup(ctx, skgxn::contextGroupList(ctx), pgroup, members);
             rc != skgxn::ERR_NONE) {
    frame.failMapped(rc);
  } else {
    skgxn::copyMembersToCaller(members, memmap);
  }
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", pgroup(i)=" << TextArg{pgroup} << ", ext(i)=" << PtrArg{ext}
      << ", flags(i)=" << flags << ", memmap(o)=";
    skgxn::printMemberMap(memmap, o);
  });
  return frame.status();
}

}  // extern "C"
