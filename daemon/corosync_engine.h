// The cluster engine: every velkd joins one Corosync process group, and each
// change of membership is multicast and applied, on every node, when the
// group delivers it in agreed order. The only file that calls Corosync's
// client libraries. Not the single-machine engine (local_engine.h).
#ifndef DAEMON_COROSYNC_ENGINE_H_
#define DAEMON_COROSYNC_ENGINE_H_

#include <corosync/cpg.h>
#include <corosync/quorum.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "daemon/daemon_log.h"
#include "daemon/engine.h"
#include "daemon/event_loop.h"
#include "daemon/peer_proto.h"

namespace skgxn {

// The process group every velkd of a cluster joins.
inline constexpr const char* kPeerGroup = "velkd";

class CorosyncEngine final : public Engine {
 public:
  CorosyncEngine(EngineSink& sink, EventLoop& loop, DaemonLog& log);
  ~CorosyncEngine() override;
  CorosyncEngine(const CorosyncEngine&) = delete;
  CorosyncEngine& operator=(const CorosyncEngine&) = delete;

  void start() override;
  uint32_t node() const override { return node_; }
  const Membership& table() const override { return core_; }
  bool tableCurrent() const override { return connected_ && synced_ && quorate_; }
  // The nodes of Corosync's nodelist and of the view; those outside the view
  // are down. Names come from the nodelist, else the node id as text.
  EngineView view() const override;
  // Refused with ERR_UNAVAILABLE at once while the node has no quorum or no
  // Corosync; queued while the table is being transferred.
  void join(ConnId conn, const JoinRequest& req) override;
  [[nodiscard]] ErrCode leave(ConnId conn) override;
  void connectionLost(ConnId conn) override;
  [[nodiscard]] ErrCode signal(const std::string& name, uint32_t event,
                               std::optional<int32_t> memno) override;
  void stop() override;

  // Corosync's callbacks, reached through the handles' context.
  void onDeliver(uint32_t nodeid, uint32_t pid, const uint8_t* data, size_t n);
  void onConfchg(const cpg_address* members, size_t nMembers, const cpg_address* left, size_t nLeft,
                 const cpg_address* joined, size_t nJoined);
  void onRing(uint64_t seq);
  void onQuorumDecided(bool quorate, uint32_t nodes, uint64_t ring);

 private:
  // A JOIN, LEAVE or SIGNAL delivered while this node waits for the table.
  struct Buffered {
    uint32_t nodeid = 0;
    uint32_t pid = 0;
    PeerMessage message;
  };
  // A change of the group waiting for the quorum service's decision on its
  // ring.
  struct HeldChange {
    std::vector<cpg_address> members;
    std::vector<cpg_address> left;
    std::vector<cpg_address> joined;
    uint64_t ring = 0;
  };
  // A held change, or a message delivered after one.
  struct Held {
    std::optional<HeldChange> change;
    Buffered message;
  };
  struct QueuedJoin {
    ConnId conn = 0;
    JoinRequest req;
  };

  [[nodiscard]] ErrCode connect();
  void disconnect(const char* why);
  void scheduleReconnect();
  void dispatchCpg();
  void dispatchQuorum();
  void multicast(const PeerMessage& m);
  void flushSends();
  void onQuorum(bool quorate, uint32_t nodes);
  // Applies what was held, the first change with the given quorum.
  void release(bool quorate, uint32_t nodes);
  void applyConfchg(const cpg_address* members, size_t nMembers, const cpg_address* left,
                    size_t nLeft, const cpg_address* joined, size_t nJoined);
  void process(uint32_t nodeid, uint32_t pid, PeerMessage& m);
  void apply(uint32_t nodeid, uint32_t pid, const PeerMessage& m);
  void applyJoin(uint32_t nodeid, uint32_t pid, const PeerJoin& m);
  void onSync(uint32_t nodeid, uint32_t pid, const PeerSync& m);
  // The nodes whose daemon the configuration change removed, ascending.
  std::vector<uint32_t> gone(const std::vector<uint32_t>& now, const cpg_address* left,
                             size_t nLeft);
  void onState(uint32_t nodeid, const PeerState& m);
  // Multicasts this node's SYNC for view_ and waits for everyone's.
  void startRound();
  void installState(const PeerState& m);
  void becomeSynced();
  // Every local member gets abort and loses its registration; the table
  // forgets every member and this node waits for a transfer again.
  void abandonTable(const char* why);
  void answerQueuedJoins(ErrCode status);
  void deliverLocal();
  bool fromSelf(uint32_t nodeid, uint32_t pid) const;

  EngineSink& sink_;
  EventLoop& loop_;
  DaemonLog& log_;
  Membership core_;
  Outbox out_;
  uint32_t node_ = 0;
  uint32_t pid_ = 0;
  cpg_handle_t cpg_ = 0;
  quorum_handle_t quorum_ = 0;
  int cpgFd_ = -1;
  int quorumFd_ = -1;
  bool connected_ = false;
  bool quorate_ = false;
  bool synced_ = false;  // the table is the agreed one of this partition
  // The table was agreed under quorum: only such a table is sent to others
  // in a round, and only on it are joins decided.
  bool authoritative_ = false;
  bool readySent_ = false;
  bool stopping_ = false;
  int64_t backoffMs_ = 0;
  std::optional<TimerId> retry_;
  std::optional<TimerId> resend_;
  // The nodes of the current configuration, ascending.
  std::vector<uint32_t> view_;
  // The latest ring Corosync reported, 0 before the first.
  uint64_t ring_ = 0;
  // Corosync's nodelist, node id to name, read on connecting.
  std::map<uint32_t, std::string> names_;
  // How many nodes of the view before the last change are in view_ still.
  uint32_t partition_ = 0;
  // The synchronisation round under way: the SYNCs delivered for view_ so
  // far (node to its synced flag and partition); empty when no round runs.
  bool inRound_ = false;
  std::map<uint32_t, std::pair<bool, uint32_t>> syncs_;
  // The node chosen to send the table, once every SYNC is in; this node
  // then buffers what is delivered until that node's STATE arrives.
  std::optional<uint32_t> sender_;
  std::vector<Buffered> buffered_;
  // Each node's daemon process, learnt from its SYNC.
  std::map<uint32_t, uint32_t> daemonPids_;
  std::unordered_set<ConnId> pendingJoins_;
  std::vector<QueuedJoin> queuedJoins_;
  std::deque<std::vector<uint8_t>> sends_;
  // Changes that removed nodes, and what was delivered after them, waiting
  // for quorum's decision on the first one's ring (0 until reported).
  std::deque<Held> held_;
  std::optional<TimerId> holdTimer_;
  std::set<std::pair<uint32_t, uint16_t>> versionsLogged_;
};

}  // namespace skgxn

#endif  // DAEMON_COROSYNC_ENGINE_H_
