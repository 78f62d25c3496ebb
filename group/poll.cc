// Membership-status polling on the group side. Everything here runs on every
// poll, so lines are built in fixed buffers and only when they are used.
#include "group/poll.h"

#include <time.h>

#include <cstdio>
#include <cstring>

#include "diag/trace.h"
#include "group/group_handle.h"
#include "msg/member_bitmap.h"
#include "msg/msg_client.h"

namespace skgxn {

// The daemon's event codes reach the caller unchanged.
static_assert(skgxngeNUL == kEventNone && skgxngeRCFG == kEventReconfig &&
              skgxngeSUS == kEventSuspend && skgxngeRES == kEventResume &&
              skgxngeABT == kEventAbort);

namespace {

// Replaced only by tests, before any poll runs; read by every poll.
PollClock pollClock = nullptr;

// Room for a trace prefix and the longest member map with its words.
constexpr size_t kStatsLineBytes = 640;
constexpr size_t kPrefixBytes = 96;

// Appends text when it fits with room left for the closing newline and NUL.
size_t appendText(char* buf, size_t at, size_t size, const char* text) {
  const size_t n = std::strlen(text);
  if (at + n + 2 > size) return at;
  std::memcpy(buf + at, text, n);
  return at + n;
}

size_t appendNumber(char* buf, size_t at, unsigned value) {
  char digits[4];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) buf[at++] = digits[--n];
  return at;
}

void writeIntervalLines(skgxn_group* handle, const GroupState& state, int32_t interval) {
  const bool error = interval >= kLatePollErrorSecs;
  const uint32_t category = error ? TRACE_ERR : TRACE_EVT;
  if (traceEnabled(category)) {
    char line[160];
    std::snprintf(line, sizeof line, "skgxnpstat:%s Handle(%s) interval between polls is %d secs\n",
                  error ? "ERROR" : "WARN", state.groupName.c_str(), interval);
    traceLine(line, category);
  }
  char line[kPrefixBytes + 80];
  const size_t at = formatTracePrefix(line, kPrefixBytes);
  std::snprintf(line + at, sizeof line - at, "%s: Interval between polls is %d secs\n",
                error ? "ERROR" : "WARNING", interval);
  writeGroupStats(handle, line);
}

void writeEventLine(const GroupState& state, const PollReport& report, double average) {
  if (!traceEnabled(TRACE_EVT)) return;
  char line[kStatsLineBytes + 160];
  std::snprintf(
      line, sizeof line, "skgxnpstat:EVENT Handle(%s) %s:%s %s average poll interval %.2f secs\n",
      state.groupName.c_str(), eventName(report.event), report.result, report.memberMap, average);
  traceLine(line, TRACE_EVT);
}

}  // namespace

int32_t pollClockNow() {
  if (pollClock != nullptr) return pollClock();
  return static_cast<int32_t>(::time(nullptr));
}

void setPollClockForTest(PollClock clock) { pollClock = clock; }

const char* eventName(uint32_t event) {
  switch (event) {
    case skgxngeNUL:
      return "skgxngeNUL(no events)";
    case skgxngeRCFG:
      return "skgxngeRCFG(reconfig)";
    case skgxngeSUS:
      return "skgxngeSUS(suspend)";
    case skgxngeRES:
      return "skgxngeRES(resume)";
    case skgxngeABT:
      return "skgxngeABT(abort)";
    default:
      return "skgxngeERR(error)";
  }
}

size_t formatMemberMap(const uint8_t* bitmap, char* buf) {
  size_t at = 0;
  buf[at++] = '<';
  if (bitmap != nullptr) {
    for (unsigned byte = 0; byte < kMaxMembers / 8; ++byte) {
      if (bitmap[byte] == 0) continue;
      for (unsigned bit = 0; bit < 8; ++bit) {
        if ((bitmap[byte] >> bit & 1) == 0) continue;
        if (at > 1) buf[at++] = ' ';
        at = appendNumber(buf, at, byte * 8 + bit);
      }
    }
  }
  buf[at++] = '>';
  buf[at] = '\0';
  return at;
}

ErrCode pollGroup(skgxn_group* handle, skgxn_memmap* memmap, uint32_t& event,
                  uint32_t& previousEvent) {
  GroupState& state = *groupStateOf(handle);
  previousEvent = state.lastEvent;
  if (memmap->bitmap != nullptr) std::memset(memmap->bitmap, 0, kMaxMembers / 8);

  MemberBitmap members{};
  ErrCode rc = ERR_NONE;
  if (previousEvent == skgxngeABT) {
    // An aborted group stays aborted until the caller leaves it: the
    // daemon is not asked again. A group inherited through fork() is one,
    // and every poll of it is refused as well.
    event = skgxngeABT;
    if (state.inherited) rc = ERR_INVALID;
  } else {
    rc = onMsgLink(handle, [&](MsgLink& link) {
      return MsgClient::instance().pstatRequest(link, event, members);
    });
    if (rc != ERR_NONE) {
      members.fill(0);
      if (event != skgxngeABT) event = skgxngeERR;
    }
  }
  if (event == skgxngeNUL) {
    members = state.lastMembers;
  } else {
    state.lastMembers = members;
  }
  state.lastEvent = event;
  if (rc == ERR_NONE) copyMembersToCaller(members, memmap);
  return rc;
}

void writePollStatsLine(skgxn_group* handle, const PollReport& report) {
  char line[kStatsLineBytes];
  size_t at = formatTracePrefix(line, kPrefixBytes);
  at = appendText(line, at, sizeof line, report.memberMap);
  at = appendText(line, at, sizeof line, " ");
  at = appendText(line, at, sizeof line, eventName(report.event));
  at = appendText(line, at, sizeof line, " ");
  at = appendText(line, at, sizeof line, report.result);
  line[at++] = '\n';
  line[at] = '\0';
  writeGroupStats(handle, line);
}

void notePollTiming(skgxn_group* handle, GroupState& state, const PollReport& report) {
  const int32_t now = pollClockNow();
  if (state.periodStart == 0) {
    state.pollCount = 1;
    state.periodStart = now;
  } else {
    ++state.pollCount;
    const int32_t interval = now - state.lastPollTime;
    if (interval >= kLatePollWarnSecs) writeIntervalLines(handle, state, interval);
  }
  const int32_t periodLength = now - state.periodStart;
  if (periodLength >= kPollPeriodSecs || report.event == skgxngeRCFG ||
      report.event != report.previousEvent) {
    writeEventLine(state, report, static_cast<double>(periodLength) / state.pollCount);
    state.pollCount = 0;
    state.periodStart = now;
  }
  state.lastPollTime = now;
}

}  // namespace skgxn
