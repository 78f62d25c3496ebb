// The library's record of one group membership behind a caller's group
// handle, and the per-context list that owns such records. Plain data: the
// group calls, the daemon requests and the context all read it.
#ifndef GROUP_GROUP_STATE_H_
#define GROUP_GROUP_STATE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "diag/log_file.h"
#include "msg/member_bitmap.h"
#include "skgxn.h"

namespace skgxn {

struct GroupList;

struct GroupState {
  // Must stay first: the handle's check is the byte sum of this field.
  skgxn_context* ctxRecord = nullptr;
  int commandFd = -1;
  int eventFd = -1;
  uint32_t eventSeq = 0;       // last accepted event; 0 before the first
  int32_t pollCount = 0;       // polls in the current statistics period
  int32_t lastPollTime = 0;    // seconds since the epoch
  int32_t periodStart = 0;     // 0: no period yet
  uint32_t lastEvent = 0;      // event reported by the previous poll
  MemberBitmap lastMembers{};  // members that came with the last event
  std::string groupName;       // "DBGRP:3" once registered
  std::unique_ptr<LogFile> statsFile;
  // The context's list this state is listed in. A listed state keeps its
  // list alive: a context is only freed after releasing every listed state.
  GroupList* owner = nullptr;
  // Set in a child of fork() for every state it inherited: the membership is
  // the parent's, and the child's copies of its descriptors are closed.
  bool inherited = false;
};

// The groups created under one context, oldest first. Guarded by its own
// lock because registrations of different groups may run in parallel.
struct GroupList {
  std::mutex lock;
  std::vector<GroupState*> states;
};

}  // namespace skgxn

#endif  // GROUP_GROUP_STATE_H_
