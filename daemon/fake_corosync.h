// A link-time stand-in for the Corosync client calls of the cluster engine, so
// that several engines run in one test process and the test delivers what
// they multicast.
#ifndef DAEMON_FAKE_COROSYNC_H_
#define DAEMON_FAKE_COROSYNC_H_

#include <corosync/corotypes.h>

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace skgxn::fake {

struct Multicast {
  uint32_t node = 0;
  uint32_t pid = 0;
  std::vector<uint8_t> bytes;
};

// Every engine's multicasts, in the one order the group delivers them.
extern std::deque<Multicast> sent;
// The node whose engine connects next; its handles are that node id.
extern uint32_t nextNode;
// What quorum_getquorate answers on each node.
extern std::map<uint32_t, bool> quorate;
// What every dispatch answers; the descriptors are 100 + node for the
// process group, 200 + node for quorum.
extern cs_error_t dispatchResult;
// Process group and quorum handles initialised and not yet finalized.
extern int handlesOpen;

}  // namespace skgxn::fake

#endif  // DAEMON_FAKE_COROSYNC_H_
