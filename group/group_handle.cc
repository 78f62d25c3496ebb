// Group handle records and their GroupStates: the registry of live states,
// creation, validation, release, naming, statistics files and the copy of a
// member set into a caller's bitmap.
#include "group/group_handle.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "diag/diag_state.h"
#include "diag/report.h"
#include "diag/trace.h"
#include "group/stats_ring.h"

namespace skgxn {

namespace {

// Every GroupState created here and not yet released. A record is read
// through only after its state is found here, so a record copied before its
// release, left over after its context was deleted, or forged is refused
// without a dereference. Lock order: this lock, then a GroupList's lock.
// Never destroyed, so a call racing process exit finds a usable set.
struct StateRegistry {
  std::mutex lock;
  std::unordered_set<const void*> live;
};

void holdLocksForFork();
void releaseLocksAfterFork();
void disownInheritedStates();

StateRegistry& registry() {
  static auto* instance = [] {
    auto* created = new StateRegistry;
    // Registered with the first state, before any descriptor is stored.
    pthread_atfork(holdLocksForFork, releaseLocksAfterFork, disownInheritedStates);
    return created;
  }();
  return *instance;
}

bool isClear(const skgxn_group& handle) { return handle.state == nullptr && handle.check == 0; }

void closeDescriptor(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// Frees a state that is no longer listed nor registered.
void destroyState(GroupState* state) {
  closeDescriptor(state->commandFd);
  closeDescriptor(state->eventFd);
  delete state;  // the statistics file is flushed and closed by its owner
}

void removeFromList(GroupList& list, GroupState* state) {
  std::lock_guard<std::mutex> guard(list.lock);
  auto it = std::find(list.states.begin(), list.states.end(), state);
  if (it != list.states.end()) list.states.erase(it);
}

// fork() copies every member descriptor into the child. Left open there, they
// would keep the parent's membership alive in velkd for as long as the child
// lives, and a leave in the child would end it. Around the fork the locks of
// the group calls are held, so the child's handler and its first calls never
// find one taken by a thread the child does not have. The registry lock
// comes first, as everywhere (with it held, no GroupList lock is held
// either); the others are never held while another lock is taken.
void holdLocksForFork() {
  registry().lock.lock();
  lockStatsRing();
  lockDiag();
  traceLock().lock();
  clockLock().lock();
}

void releaseLocksAfterFork() {
  clockLock().unlock();
  traceLock().unlock();
  unlockDiag();
  unlockStatsRing();
  registry().lock.unlock();
}

// In the child: the child's copies of every member's descriptors are closed
// and each state is marked inherited, with the abort as its last event.
void disownInheritedStates() {
  for (const void* live : registry().live) {
    auto* state = static_cast<GroupState*>(const_cast<void*>(live));
    closeDescriptor(state->commandFd);
    closeDescriptor(state->eventFd);
    state->inherited = true;
    state->lastEvent = skgxngeABT;
  }
  releaseLocksAfterFork();
}

}  // namespace

uint16_t pointerFieldCheck(const void* field) {
  const auto* bytes = static_cast<const uint8_t*>(field);
  uint16_t sum = 0;
  for (size_t i = 0; i < sizeof(void*); ++i) sum = static_cast<uint16_t>(sum + bytes[i]);
  return sum;
}

uint16_t groupStateCheck(const GroupState& state) { return pointerFieldCheck(&state.ctxRecord); }

ErrCode createGroupHandle(const char* function, skgxn_context* ctxRecord, GroupList* owner,
                          skgxn_group* handle) {
  if (ctxRecord == nullptr || ctxRecord->object == nullptr || owner == nullptr ||
      handle == nullptr) {
    return ERR_INVALID;
  }
  if (!isClear(*handle)) {
    traceLine(std::string(function) + ":WARN group handle not clean - possibly in use\n",
              TRACE_ERR);
  }
  auto* state = new GroupState;
  state->ctxRecord = ctxRecord;
  state->owner = owner;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().live.insert(state);
    std::lock_guard<std::mutex> listGuard(owner->lock);
    owner->states.push_back(state);
  }
  handle->state = state;
  handle->check = groupStateCheck(*state);
  return ERR_NONE;
}

bool isValidGroupHandle(const skgxn_group* handle) {
  if (handle == nullptr || handle->state == nullptr) return false;
  std::lock_guard<std::mutex> guard(registry().lock);
  if (registry().live.count(handle->state) == 0) return false;
  return handle->check == groupStateCheck(*static_cast<const GroupState*>(handle->state));
}

bool checkGroupHandle(skgxn_group* handle) {
  if (isValidGroupHandle(handle)) return true;
  if (handle != nullptr) {
    handle->state = nullptr;
    handle->check = 0;
  }
  return false;
}

void releaseGroupHandle(skgxn_group* handle) {
  if (handle == nullptr) return;
  GroupState* state = nullptr;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    if (handle->state != nullptr && registry().live.erase(handle->state) != 0) {
      state = static_cast<GroupState*>(handle->state);
      // Under the registry lock, so a context deletion running at the same
      // time either no longer lists the state or has not yet freed the list.
      if (state->owner != nullptr) removeFromList(*state->owner, state);
    }
  }
  if (state != nullptr) destroyState(state);
  handle->state = nullptr;
  handle->check = 0;
}

void releaseGroupList(GroupList& list) {
  std::vector<GroupState*> states;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    std::lock_guard<std::mutex> listGuard(list.lock);
    states.swap(list.states);
    for (GroupState* state : states) registry().live.erase(state);
  }
  for (GroupState* state : states) destroyState(state);
}

std::string groupStatsPath(const std::string& dir, const std::string& groupName) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  return path + "skgxn_" + groupName + ".pstat";
}

void openGroupStatsFile(GroupState& state, const StatsSettings& settings) {
  state.statsFile.reset();
  state.statsFile = std::make_unique<LogFile>(groupStatsPath(settings.dir, state.groupName),
                                              kLogFileMode, settings.size, settings.count);
}

void setGroupName(skgxn_group* handle, const std::string& name) {
  GroupState* state = groupStateOf(handle);
  if (state == nullptr) return;
  state->groupName = name;
  if (!statsEnabled.load(std::memory_order_relaxed)) return;
  StatsSettings settings = statsSettings();
  if (!settings.dir.empty()) openGroupStatsFile(*state, settings);
}

void writeGroupStats(skgxn_group* handle, const char* line) {
  GroupState* state = groupStateOf(handle);
  if (state == nullptr) return;
  storeStatsLine(line);
  StatsSettings settings;
  if (statsEnabled.load(std::memory_order_relaxed)) settings = statsSettings();
  if (settings.dir.empty()) {
    state->statsFile.reset();
    return;
  }
  if (!state->statsFile) openGroupStatsFile(*state, settings);
  state->statsFile->write(line);
  state->statsFile->flush();
}

void copyMembersToCaller(const MemberBitmap& set, skgxn_memmap* memmap) {
  if (memmap == nullptr || memmap->bitmap == nullptr) return;
  // The set is kept in the caller's layout already (member n at bit n % 8 of
  // byte n / 8), so the copy is the whole bitmap; every poll makes it.
  std::memcpy(memmap->bitmap, set.data(), set.size());
}

}  // namespace skgxn
