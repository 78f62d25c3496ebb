// The caller's group handle record and the GroupState behind it: creation,
// validation, release, the group's display name and statistics file, and the
// copy of a member set into a caller's member bitmap.
// Joining, leaving and polling themselves are not here.
#ifndef GROUP_GROUP_HANDLE_H_
#define GROUP_GROUP_HANDLE_H_

#include <cstdint>
#include <string>

#include "diag/diag_state.h"
#include "diag/err_code.h"
#include "group/group_state.h"
#include "msg/member_bitmap.h"
#include "msg/msg_client.h"
#include "skgxn.h"

namespace skgxn {

// Creates a GroupState for ctxRecord, appends it to owner (the list of the
// context ctxRecord names) and makes *handle designate it (state, then the
// check). A record that is not clear gets the line
// "<function>:WARN group handle not clean - possibly in use" under TRACE_ERR
// and is overwritten; the state it named stays listed under its context.
// ERR_INVALID, with nothing written, when ctxRecord, its object, owner or
// handle is null. The caller has validated the context. Fork handling is
// set up before the first state: in a child of fork() every live state has
// its descriptors closed and is marked inherited.
[[nodiscard]] ErrCode createGroupHandle(const char* function, skgxn_context* ctxRecord,
                                        GroupList* owner, skgxn_group* handle);

// True when handle is non-null and names a live GroupState of this library
// whose check matches. A state that was released, or never created here, is
// refused before anything is read through the record.
bool isValidGroupHandle(const skgxn_group* handle);

// isValidGroupHandle; on false a non-null record is cleared (state null,
// check 0), as every call taking a group handle requires.
bool checkGroupHandle(skgxn_group* handle);

// The state of a record that passed checkGroupHandle; null for a null record.
// Callers use one handle from one thread at a time.
inline GroupState* groupStateOf(const skgxn_group* handle) {
  return handle == nullptr ? nullptr : static_cast<GroupState*>(handle->state);
}

// Runs request, a daemon request on a MsgLink&, on the descriptors and event
// sequence of the handle's state, and keeps in the state what the request
// left in the link. A handle without a state lends a closed link and keeps
// nothing. Returns the request's result.
template <typename Request>
ErrCode onMsgLink(skgxn_group* handle, Request&& request) {
  GroupState* state = groupStateOf(handle);
  if (state == nullptr) {
    MsgLink closed;
    return request(closed);
  }
  MsgLink link{state->commandFd, state->eventFd, state->eventSeq};
  const ErrCode rc = request(link);
  state->commandFd = link.commandFd;
  state->eventFd = link.eventFd;
  state->eventSeq = link.eventSeq;
  return rc;
}

// Releases the live state the record names: it leaves its owner's list, its
// descriptors are closed (those >= 0), its statistics file and name go, and
// it is freed. Nothing is sent to the daemon. The record is cleared whether
// or not it named a live state; null is ignored.
void releaseGroupHandle(skgxn_group* handle);

// Releases every state still listed, oldest first, and leaves the list empty.
// Used when the context that owns the list is deleted; the callers' records
// that named those states are refused from then on.
void releaseGroupList(GroupList& list);

// Names the group ("DBGRP:3") and, with statistics on, opens its statistics
// file. Nothing for a null record or state.
void setGroupName(skgxn_group* handle, const std::string& name);

// <dir>[/]skgxn_<groupName>.pstat: a slash is added when dir lacks one.
std::string groupStatsPath(const std::string& dir, const std::string& groupName);

// (Re)opens the state's statistics file in settings.dir with the size and
// count limits of settings; any open file is closed first. A file that cannot
// be opened swallows its lines without a report.
void openGroupStatsFile(GroupState& state, const StatsSettings& settings);

// Stores line (which ends in its newline) in the statistics record, and with
// statistics on appends it to the group's file (opened at need) and flushes.
// With statistics off an open file is closed and the line reaches no file.
// Nothing for a null record or state.
void writeGroupStats(skgxn_group* handle, const char* line);

// The check value of a state: the byte sum of its pointer-sized first field.
uint16_t groupStateCheck(const GroupState& state);

// The 16-bit byte sum of one pointer-sized field, bytes in memory order:
// the check the caller's context and group handle records hold.
uint16_t pointerFieldCheck(const void* field);

// Writes the 16 bytes of the caller's bitmap: all zero, then bit n % 8 of
// byte n / 8 for every member n of set. Nothing when memmap or its bitmap
// pointer is null.
void copyMembersToCaller(const MemberBitmap& set, skgxn_memmap* memmap);

}  // namespace skgxn

#endif  // GROUP_GROUP_HANDLE_H_
