// The group side of a membership-status poll: at most one pending event
// taken from the daemon, the sticky abort, the statistics line written on
// every poll, and the poll-interval watch with its late-poll and event lines.
// The argument checks and the result record belong to the exported call.
#ifndef GROUP_POLL_H_
#define GROUP_POLL_H_

#include <cstddef>
#include <cstdint>

#include "diag/err_code.h"
#include "group/group_state.h"
#include "skgxn.h"

namespace skgxn {

inline constexpr int32_t kLatePollWarnSecs = 4;    // intervals from here warn
inline constexpr int32_t kLatePollErrorSecs = 16;  // and from here are errors
inline constexpr int32_t kPollPeriodSecs = 3600;   // a statistics period at most

// Whole seconds since the epoch as the poll statistics see them: the host's
// time() unless a test has put its own clock in place.
using PollClock = int32_t (*)();
int32_t pollClockNow();
// Test seam: replaces the clock; null puts time() back. Not for concurrent use.
void setPollClockForTest(PollClock clock);

// "skgxngeRCFG(reconfig)" and the rest; any unknown code prints as
// "skgxngeERR(error)". Never null.
const char* eventName(uint32_t event);

// Room for the longest member map text: all 128 members, "<0 1 ... 127>".
inline constexpr size_t kMemberMapTextBytes = 512;
// Writes the member map text of a 16-byte bitmap ("<>" for null) into buf
// and returns its length. buf holds at least kMemberMapTextBytes.
size_t formatMemberMap(const uint8_t* bitmap, char* buf);

// The poll proper on a handle that passed checkGroupHandle. The caller's
// bitmap is zeroed first and receives the member set only when the result
// is 0. An aborted group (previous event 8) returns 8 without asking the
// daemon, with ERR_INVALID when its state was inherited through fork(); no
// news repeats the last members; a failed request makes the event 16 unless
// it left 8. state's lastEvent and lastMembers follow.
// previousEvent receives the event the group reported before this poll.
[[nodiscard]] ErrCode pollGroup(skgxn_group* handle, skgxn_memmap* memmap, uint32_t& event,
                                uint32_t& previousEvent);

// What one poll reported, for its statistics and event lines.
struct PollReport {
  uint32_t event;
  uint32_t previousEvent;  // 0 on the paths that never reached the group
  const char* result;      // the exported call's result name
  const char* memberMap;   // the caller's member map as printed
};

// The statistics line: trace prefix, member map, event name, result. It
// goes to the statistics record and, with statistics on, to the group's
// file. handle names a live state.
void writePollStatsLine(skgxn_group* handle, const PollReport& report);

// Counts the poll in state's statistics period, writes the late-poll lines
// for an interval of 4 seconds or more, and the event line (average poll
// interval) when the event changed, a reconfiguration came or the period is
// an hour old, which starts a new period. handle names state, a live one.
void notePollTiming(skgxn_group* handle, GroupState& state, const PollReport& report);

}  // namespace skgxn

#endif  // GROUP_POLL_H_
