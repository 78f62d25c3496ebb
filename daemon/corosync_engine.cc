// The cluster engine on Corosync's process groups and quorum service. Every
// decision is a message applied in delivery order, so every node's table
// goes through the same states; only the node that sent a join answers it.
#include "daemon/corosync_engine.h"

#include <corosync/cmap.h>
#include <sys/epoll.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "msg/shared_values.h"

namespace skgxn {
namespace {

constexpr int64_t kFirstBackoffMs = 100;
constexpr int64_t kLastBackoffMs = 5000;
// How soon a multicast Corosync refused for flow control is tried again.
constexpr int64_t kResendMs = 5;
// How long a change that removed nodes waits for the quorum service's
// decision on its ring before the current quorum is asked instead.
constexpr int64_t kHoldMs = 2000;

CorosyncEngine* engineOf(cpg_handle_t handle) {
  void* context = nullptr;
  if (cpg_context_get(handle, &context) != CS_OK) return nullptr;
  return static_cast<CorosyncEngine*>(context);
}

void deliverFn(cpg_handle_t handle, const cpg_name*, uint32_t nodeid, uint32_t pid, void* msg,
               size_t len) {
  if (CorosyncEngine* e = engineOf(handle)) {
    e->onDeliver(nodeid, pid, static_cast<const uint8_t*>(msg), len);
  }
}

void confchgFn(cpg_handle_t handle, const cpg_name*, const cpg_address* members, size_t nMembers,
               const cpg_address* left, size_t nLeft, const cpg_address* joined, size_t nJoined) {
  if (CorosyncEngine* e = engineOf(handle)) {
    e->onConfchg(members, nMembers, left, nLeft, joined, nJoined);
  }
}

void totemFn(cpg_handle_t handle, cpg_ring_id ring, uint32_t, const uint32_t*) {
  if (CorosyncEngine* e = engineOf(handle)) e->onRing(ring.seq);
}

void quorumFn(quorum_handle_t handle, uint32_t quorate, quorum_ring_id ring, uint32_t nodes,
              const uint32_t*) {
  const void* context = nullptr;
  if (quorum_context_get(handle, &context) != CS_OK || context == nullptr) return;
  static_cast<CorosyncEngine*>(const_cast<void*>(context))
      ->onQuorumDecided(quorate != 0, nodes, ring.seq);
}

cpg_name groupName() {
  cpg_name name{};
  name.length = static_cast<uint32_t>(strlen(kPeerGroup));
  memcpy(name.value, kPeerGroup, name.length);
  return name;
}

std::vector<uint32_t> nodesOf(const cpg_address* list, size_t n) {
  std::vector<uint32_t> nodes;
  for (size_t i = 0; i < n; ++i) nodes.push_back(list[i].nodeid);
  std::sort(nodes.begin(), nodes.end());
  nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
  return nodes;
}

bool contains(const std::vector<uint32_t>& nodes, uint32_t node) {
  return std::binary_search(nodes.begin(), nodes.end(), node);
}

// Corosync's nodelist, node id to name; a node without a name is shown by
// its id. Empty when the configuration cannot be read.
std::map<uint32_t, std::string> nodelistNames() {
  std::map<uint32_t, std::string> names;
  cmap_handle_t cmap = 0;
  if (cmap_initialize(&cmap) != CS_OK) return names;
  for (unsigned i = 0;; ++i) {
    const std::string prefix = "nodelist.node." + std::to_string(i) + ".";
    uint32_t id = 0;
    if (cmap_get_uint32(cmap, (prefix + "nodeid").c_str(), &id) != CS_OK) break;
    char* name = nullptr;
    if (cmap_get_string(cmap, (prefix + "name").c_str(), &name) == CS_OK) {
      names[id] = name;
      free(name);
    } else {
      names[id] = std::to_string(id);
    }
  }
  cmap_finalize(cmap);
  return names;
}

}  // namespace

CorosyncEngine::CorosyncEngine(EngineSink& sink, EventLoop& loop, DaemonLog& log)
    : sink_(sink), loop_(loop), log_(log) {}

CorosyncEngine::~CorosyncEngine() {
  stopping_ = true;
  if (retry_) loop_.cancel(*retry_);
  if (resend_) loop_.cancel(*resend_);
  if (holdTimer_) loop_.cancel(*holdTimer_);
  if (cpgFd_ >= 0) loop_.unwatchFd(cpgFd_);
  if (quorumFd_ >= 0) loop_.unwatchFd(quorumFd_);
  if (cpg_ != 0) cpg_finalize(cpg_);
  if (quorum_ != 0) quorum_finalize(quorum_);
}

void CorosyncEngine::start() {
  // From the loop, not now: the daemon may still detach, and the connection
  // must belong to the process that serves it.
  retry_ = loop_.after(0, [this] {
    retry_.reset();
    if (connect() != ERR_NONE) scheduleReconnect();
  });
}

ErrCode CorosyncEngine::connect() {
  // Corosync names each message's sender by node and pid; this daemon's own
  // are told apart from a stranger's on this node by it.
  pid_ = static_cast<uint32_t>(getpid());
  cpg_model_v1_data_t model{};
  model.model = CPG_MODEL_V1;
  model.cpg_deliver_fn = deliverFn;
  model.cpg_confchg_fn = confchgFn;
  model.cpg_totem_confchg_fn = totemFn;
  quorum_model_v1_data_t qmodel{};
  qmodel.model = QUORUM_MODEL_V1;
  qmodel.quorum_notify_fn = quorumFn;
  uint32_t quorumType = 0;
  const cpg_name name = groupName();
  unsigned int local = 0;
  // Each connection uses fresh handles: joining again on a handle whose
  // earlier join ended is refused.
  cs_error_t rc =
      cpg_model_initialize(&cpg_, CPG_MODEL_V1, reinterpret_cast<cpg_model_data_t*>(&model), this);
  const char* step = "cpg_model_initialize";
  if (rc == CS_OK) {
    step = "cpg_local_get";
    rc = cpg_local_get(cpg_, &local);
  }
  if (rc == CS_OK) {
    step = "quorum_model_initialize";
    rc =
        quorum_model_initialize(&quorum_, QUORUM_MODEL_V1,
                                reinterpret_cast<quorum_model_data_t*>(&qmodel), &quorumType, this);
  }
  if (rc == CS_OK) {
    step = "quorum_trackstart";
    rc = quorum_trackstart(quorum_, CS_TRACK_CHANGES | CS_TRACK_CURRENT);
  }
  if (rc == CS_OK) {
    step = "cpg_fd_get";
    rc = cpg_fd_get(cpg_, &cpgFd_);
  }
  if (rc == CS_OK) {
    step = "quorum_fd_get";
    rc = quorum_fd_get(quorum_, &quorumFd_);
  }
  if (rc == CS_OK) {
    step = "cpg_join";
    rc = cpg_join(cpg_, &name);
  }
  if (rc != CS_OK) {
    if (backoffMs_ <= kFirstBackoffMs) {
      log_.line(LOG_ERR, "cannot reach Corosync: %s failed (error %d); trying again", step,
                static_cast<int>(rc));
    }
    disconnect(nullptr);
    return ERR_UNAVAILABLE;
  }
  node_ = local;
  if (loop_.watchFd(cpgFd_, EPOLLIN, [this](uint32_t) { dispatchCpg(); }) != ERR_NONE ||
      loop_.watchFd(quorumFd_, EPOLLIN, [this](uint32_t) { dispatchQuorum(); }) != ERR_NONE) {
    log_.line(LOG_ERR, "cannot watch Corosync's descriptors");
    disconnect(nullptr);
    return ERR_CREATE;
  }
  int quorate = 0;
  connected_ = true;
  quorate_ = quorum_getquorate(quorum_, &quorate) == CS_OK && quorate != 0;
  names_ = nodelistNames();
  backoffMs_ = 0;
  log_.line(LOG_NOTICE, "joined process group %s as node %u; waiting for the table", kPeerGroup,
            node_);
  return ERR_NONE;
}

void CorosyncEngine::disconnect(const char* why) {
  if (why != nullptr) log_.line(LOG_ERR, "lost Corosync (%s)", why);
  if (cpgFd_ >= 0) loop_.unwatchFd(cpgFd_);
  if (quorumFd_ >= 0) loop_.unwatchFd(quorumFd_);
  cpgFd_ = quorumFd_ = -1;
  if (cpg_ != 0) cpg_finalize(cpg_);
  if (quorum_ != 0) quorum_finalize(quorum_);
  cpg_ = 0;
  quorum_ = 0;
  const bool was = connected_;
  connected_ = false;
  quorate_ = false;
  inRound_ = false;
  sender_.reset();
  buffered_.clear();
  sends_.clear();
  view_.clear();
  daemonPids_.clear();
  held_.clear();
  if (holdTimer_) loop_.cancel(*holdTimer_);
  holdTimer_.reset();
  if (was) abandonTable("Corosync is gone");
}

void CorosyncEngine::scheduleReconnect() {
  if (stopping_ || retry_) return;
  backoffMs_ = backoffMs_ == 0 ? kFirstBackoffMs : std::min(backoffMs_ * 2, kLastBackoffMs);
  retry_ = loop_.after(backoffMs_, [this] {
    retry_.reset();
    if (connect() != ERR_NONE) scheduleReconnect();
  });
}

void CorosyncEngine::dispatchCpg() {
  const cs_error_t rc = cpg_dispatch(cpg_, CS_DISPATCH_ALL);
  if (rc == CS_OK || rc == CS_ERR_TRY_AGAIN || !connected_) return;
  disconnect("process group connection failed");
  scheduleReconnect();
}

void CorosyncEngine::dispatchQuorum() {
  const cs_error_t rc = quorum_dispatch(quorum_, CS_DISPATCH_ALL);
  if (rc == CS_OK || rc == CS_ERR_TRY_AGAIN || !connected_) return;
  disconnect("quorum connection failed");
  scheduleReconnect();
}

void CorosyncEngine::multicast(const PeerMessage& m) {
  std::vector<uint8_t> bytes;
  if (encodePeer(m, bytes) != ERR_NONE) return;
  sends_.push_back(std::move(bytes));
  flushSends();
}

void CorosyncEngine::flushSends() {
  while (connected_ && !sends_.empty()) {
    iovec iov{sends_.front().data(), sends_.front().size()};
    const cs_error_t rc = cpg_mcast_joined(cpg_, CPG_TYPE_AGREED, &iov, 1);
    if (rc == CS_ERR_TRY_AGAIN) {
      if (!resend_) {
        resend_ = loop_.after(kResendMs, [this] {
          resend_.reset();
          flushSends();
        });
      }
      return;
    }
    if (rc != CS_OK) {
      // Possibly inside Corosync's own dispatch: the handles are released
      // from the loop, not under it.
      if (!retry_) {
        retry_ = loop_.after(0, [this] {
          retry_.reset();
          disconnect("multicast failed");
          scheduleReconnect();
        });
      }
      return;
    }
    sends_.pop_front();
  }
}

bool CorosyncEngine::fromSelf(uint32_t nodeid, uint32_t pid) const {
  return nodeid == node_ && pid == pid_;
}

void CorosyncEngine::onDeliver(uint32_t nodeid, uint32_t pid, const uint8_t* data, size_t n) {
  PeerMessage m;
  uint16_t version = 0;
  const ErrCode rc = decodePeer(data, n, m, version);
  if (rc == ERR_UNAVAILABLE) {
    if (versionsLogged_.insert({nodeid, version}).second) {
      log_.line(LOG_ERR,
                "node %u (pid %u) speaks peer protocol version %u, this daemon %u; "
                "its messages are ignored",
                nodeid, pid, version, kPeerVersion);
    }
    return;
  }
  if (rc != ERR_NONE) {
    log_.clientLine(LOG_WARNING, "malformed message of %zu bytes from node %u pid %u ignored", n,
                    nodeid, pid);
    return;
  }
  if (!held_.empty()) {
    held_.push_back(Held{std::nullopt, Buffered{nodeid, pid, std::move(m)}});
    return;
  }
  process(nodeid, pid, m);
}

void CorosyncEngine::process(uint32_t nodeid, uint32_t pid, PeerMessage& m) {
  if (auto* sync = std::get_if<PeerSync>(&m)) return onSync(nodeid, pid, *sync);
  if (auto* state = std::get_if<PeerState>(&m)) return onState(nodeid, *state);
  // Once a round has chosen its sender, what follows is applied on top of
  // the table it sends; until then a node without the table keeps it aside.
  if (!synced_ || (sender_ && *sender_ != node_)) {
    if (sender_) buffered_.push_back(Buffered{nodeid, pid, std::move(m)});
    return;
  }
  apply(nodeid, pid, m);
}

void CorosyncEngine::apply(uint32_t nodeid, uint32_t pid, const PeerMessage& m) {
  if (auto* join = std::get_if<PeerJoin>(&m)) return applyJoin(nodeid, pid, *join);
  if (auto* leave = std::get_if<PeerLeave>(&m)) {
    (void)core_.leave(MemberKey{nodeid, leave->conn}, out_);
  } else if (auto* sig = std::get_if<PeerSignal>(&m)) {
    std::optional<int32_t> memno;
    if (!sig->all) memno = sig->memno;
    (void)core_.signal(sig->group, sig->event, memno, out_);
  }
  deliverLocal();
}

void CorosyncEngine::applyJoin(uint32_t nodeid, uint32_t pid, const PeerJoin& m) {
  int32_t memno = -1;
  const ErrCode status = core_.join(MemberKey{nodeid, m.conn}, m.req, memno, out_);
  deliverLocal();
  if (fromSelf(nodeid, pid) && pendingJoins_.erase(m.conn) != 0) {
    sink_.joinDecided(m.conn, status, memno);
  }
}

void CorosyncEngine::onConfchg(const cpg_address* members, size_t nMembers, const cpg_address* left,
                               size_t nLeft, const cpg_address* joined, size_t nJoined) {
  // A change that removes nodes waits, with everything after it, until the
  // quorum service has decided on the new ring, which Corosync reports after
  // the change: a ring that lasts only moments would otherwise be taken as
  // quorate, and its members shown a set the majority never agreed to.
  const bool nodeDown = std::any_of(
      left, left + nLeft, [](const cpg_address& a) { return a.reason == CPG_REASON_NODEDOWN; });
  if (!held_.empty() || nodeDown) {
    HeldChange change{std::vector<cpg_address>(members, members + nMembers),
                      std::vector<cpg_address>(left, left + nLeft),
                      std::vector<cpg_address>(joined, joined + nJoined), 0};
    if (held_.empty()) {
      holdTimer_ = loop_.after(kHoldMs, [this] {
        holdTimer_.reset();
        int quorate = 0;
        const bool known = quorum_getquorate(quorum_, &quorate) == CS_OK;
        release(known && quorate != 0, static_cast<uint32_t>(view_.size()));
      });
    }
    held_.push_back(Held{std::move(change), Buffered{}});
    return;
  }
  applyConfchg(members, nMembers, left, nLeft, joined, nJoined);
}

EngineView CorosyncEngine::view() const {
  EngineView v{"corosync", connected_ && quorate_, ring_, {}};
  std::map<uint32_t, std::string> states;
  for (const auto& [id, name] : names_) states[id] = "down";
  for (uint32_t id : view_) states[id] = "member";
  for (const auto& [id, state] : states) {
    const auto named = names_.find(id);
    v.nodes.push_back(
        NodeView{id, named == names_.end() ? std::to_string(id) : named->second, state});
  }
  return v;
}

void CorosyncEngine::onRing(uint64_t seq) {
  ring_ = seq;
  if (!held_.empty() && held_.front().change->ring == 0) held_.front().change->ring = seq;
}

void CorosyncEngine::onQuorumDecided(bool quorate, uint32_t nodes, uint64_t ring) {
  const uint64_t waited = held_.empty() ? 0 : held_.front().change->ring;
  if (waited == 0 || ring < waited) return onQuorum(quorate, nodes);
  // Quorum for a later ring means the held one was never decided: it is
  // taken as without quorum, so no member sees a set the majority did not.
  if (ring != waited) onQuorum(false, nodes);
  release(quorate, nodes);
}

void CorosyncEngine::release(bool quorate, uint32_t nodes) {
  if (holdTimer_) loop_.cancel(*holdTimer_);
  holdTimer_.reset();
  if (!quorate) onQuorum(false, nodes);
  std::deque<Held> held;
  held.swap(held_);
  for (Held& h : held) {
    // Later changes are applied as they come: quorum is decided by now.
    if (h.change) {
      HeldChange& c = *h.change;
      applyConfchg(c.members.data(), c.members.size(), c.left.data(), c.left.size(),
                   c.joined.data(), c.joined.size());
    } else {
      process(h.message.nodeid, h.message.pid, h.message.message);
    }
  }
  onQuorum(quorate, nodes);
}

void CorosyncEngine::applyConfchg(const cpg_address* members, size_t nMembers,
                                  const cpg_address* left, size_t nLeft, const cpg_address* joined,
                                  size_t nJoined) {
  const std::vector<uint32_t> now = nodesOf(members, nMembers);
  const bool awaitingTable = sender_.has_value();
  if (sender_ && synced_) {
    // The chosen sender's table has not come and the round starts over
    // below; what was kept aside goes onto this node's own table, which
    // stayed agreed with its partition, before the change is applied.
    std::vector<Buffered> kept;
    kept.swap(buffered_);
    sender_.reset();
    for (const Buffered& b : kept) apply(b.nodeid, b.pid, b.message);
  }
  // Quorum is settled before the group's change is delivered: a partition
  // that lost it aborts its members before any could see a member set
  // without the others, which would let two sides each believe it survived.
  int quorate = 0;
  if (nLeft != 0 && quorum_getquorate(quorum_, &quorate) == CS_OK)
    onQuorum(quorate != 0, static_cast<uint32_t>(now.size()));
  for (uint32_t node : gone(now, left, nLeft)) {
    const size_t dropped = core_.dropNode(node, out_);
    if (dropped != 0) log_.line(LOG_NOTICE, "node %u left: %zu members dropped", node, dropped);
    deliverLocal();
  }
  const bool grew = nJoined != 0 && std::any_of(joined, joined + nJoined, [&](const auto& a) {
                      return !contains(view_, a.nodeid) || fromSelf(a.nodeid, a.pid);
                    });
  partition_ = static_cast<uint32_t>(
      std::count_if(view_.begin(), view_.end(), [&](uint32_t n) { return contains(now, n); }));
  view_ = now;
  // A round in progress, or one waiting for its table, starts over with the
  // new view; so does one for new nodes. Leaves alone need none: the synced
  // nodes agree already.
  if (!grew && !inRound_ && !awaitingTable) return;
  startRound();
}

void CorosyncEngine::startRound() {
  inRound_ = true;
  syncs_.clear();
  sender_.reset();
  buffered_.clear();
  multicast(PeerSync{authoritative_, partition_, view_});
}

std::vector<uint32_t> CorosyncEngine::gone(const std::vector<uint32_t>& now,
                                           const cpg_address* left, size_t nLeft) {
  std::vector<uint32_t> nodes;
  if (!synced_) return nodes;
  // A node's daemon has gone when its known process left, or, before it was
  // heard from, when no process of that node remains. A stranger leaving
  // from a node whose daemon stays drops nothing; a daemon restarted at once
  // still has its earlier members dropped.
  for (size_t i = 0; i < nLeft; ++i) {
    const uint32_t node = left[i].nodeid;
    auto known = daemonPids_.find(node);
    const bool daemon =
        known != daemonPids_.end() ? known->second == left[i].pid : !contains(now, node);
    if (!daemon) continue;
    if (known != daemonPids_.end()) daemonPids_.erase(known);
    nodes.push_back(node);
  }
  std::sort(nodes.begin(), nodes.end());
  nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
  return nodes;
}

void CorosyncEngine::onSync(uint32_t nodeid, uint32_t pid, const PeerSync& m) {
  if (m.view != view_ || !contains(view_, nodeid)) return;
  if (!inRound_) return;
  daemonPids_[nodeid] = pid;
  syncs_[nodeid] = std::make_pair(m.synced, m.partition);
  if (syncs_.size() != view_.size()) return;
  // Every SYNC of this view is in, at the same point of the order on every
  // node. Of the nodes holding a table agreed under quorum, the one that
  // shared it with the most nodes just before (the lowest on a tie) sends it
  // as it stands here. Losing quorum forgets the table, so the winner comes
  // from the side that kept running.
  inRound_ = false;
  uint32_t widest = 0;
  for (const auto& [node, held] : syncs_) {
    if (held.first && (!sender_ || held.second > widest)) {
      sender_ = node;
      widest = held.second;
    }
  }
  if (!sender_) {
    // Nobody holds a table: every member is new, and the empty one is agreed;
    // it speaks for the cluster only once quorum confirms it.
    core_ = Membership();
    authoritative_ = quorate_;
    becomeSynced();
    return;
  }
  if (*sender_ == node_) {
    PeerState state{view_, {}, {}};
    for (const GroupSummary& g : core_.groups()) {
      for (Member& mem : core_.members(g.name)) state.members.push_back(std::move(mem));
    }
    for (const auto& [node, synced] : syncs_) state.synced.push_back(node);
    multicast(state);
  }
}

void CorosyncEngine::onState(uint32_t nodeid, const PeerState& m) {
  if (!sender_ || nodeid != *sender_ || m.view != view_) return;
  if (*sender_ != node_) installState(m);
  authoritative_ = true;
  sender_.reset();
  std::vector<Buffered> replay;
  replay.swap(buffered_);
  becomeSynced();
  for (const Buffered& b : replay) apply(b.nodeid, b.pid, b.message);
}

void CorosyncEngine::installState(const PeerState& m) {
  Membership fresh;
  Outbox ignored;
  for (const Member& mem : m.members) {
    JoinRequest req{mem.group, mem.memno, mem.data, mem.peer, mem.joinedAt};
    int32_t memno = -1;
    if (fresh.join(mem.key, req, memno, ignored) != ERR_NONE) {
      log_.line(LOG_ERR, "table from node %u holds member %d of group %s twice; ignored", *sender_,
                mem.memno, mem.group.c_str());
    }
  }
  // Local members the agreed table does not hold lose their registration;
  // those it holds in a group that changed hear of the change.
  for (const GroupSummary& g : core_.groups()) {
    for (const Member& mem : core_.members(g.name)) {
      if (mem.key.node != node_) continue;
      const Member* kept = fresh.memberOf(mem.key);
      if (kept == nullptr || kept->group != mem.group || kept->memno != mem.memno) {
        sink_.registrationLost(mem.key.conn, "not in the table the cluster agreed on");
      } else if (fresh.query(mem.group) != g.bitmap) {
        out_.push_back(Delivery{mem.key, kEventReconfig, fresh.query(mem.group)});
      }
    }
  }
  core_ = std::move(fresh);
  deliverLocal();
}

void CorosyncEngine::becomeSynced() {
  const bool first = !synced_;
  synced_ = true;
  if (first) {
    log_.line(LOG_NOTICE, "table agreed with %zu nodes: %zu members in %zu groups", view_.size(),
              core_.memberCount(), core_.groupCount());
  }
  if (!readySent_) {
    readySent_ = true;
    sink_.engineReady();
  }
  std::vector<QueuedJoin> queued;
  queued.swap(queuedJoins_);
  for (QueuedJoin& q : queued) join(q.conn, q.req);
}

void CorosyncEngine::onQuorum(bool quorate, uint32_t nodes) {
  if (quorate == quorate_) return;
  quorate_ = quorate;
  log_.line(quorate ? LOG_NOTICE : LOG_WARNING, "%s quorum (%u nodes in the partition)",
            quorate ? "gained" : "lost", nodes);
  if (!quorate) return abandonTable("no quorum");
  // Quorum coming back does not make a table the cluster's: the group's
  // change that merges the partitions brings the agreed one. A table the
  // group agreed while without quorum becomes the cluster's once every node
  // of the quorate partition is in the group with it (the merge's round can
  // end before quorum reports the merged ring), or when this daemon is alone
  // in the group (the first to start, or one whose peers are not running);
  // in a merge it then loses to any table shared by more nodes.
  if (!synced_ || authoritative_ || inRound_ || sender_) return;
  if (view_.size() >= nodes) {
    authoritative_ = true;
    log_.line(LOG_NOTICE, "table agreed by the %zu nodes of the quorate partition: taking joins",
              view_.size());
  } else if (view_.size() == 1 && view_[0] == node_) {
    authoritative_ = true;
    log_.line(LOG_NOTICE, "alone in the group under quorum: taking joins");
  }
}

void CorosyncEngine::abandonTable(const char* why) {
  answerQueuedJoins(ERR_UNAVAILABLE);
  for (ConnId conn : pendingJoins_) sink_.joinDecided(conn, ERR_UNAVAILABLE, -1);
  pendingJoins_.clear();
  for (const GroupSummary& g : core_.groups()) {
    for (const Member& mem : core_.members(g.name)) {
      if (mem.key.node != node_) continue;
      out_.push_back(Delivery{mem.key, kEventAbort, g.bitmap});
    }
  }
  deliverLocal();
  for (const GroupSummary& g : core_.groups()) {
    for (const Member& mem : core_.members(g.name)) {
      if (mem.key.node == node_) sink_.registrationLost(mem.key.conn, why);
    }
  }
  core_ = Membership();
  synced_ = false;
  authoritative_ = false;
}

void CorosyncEngine::answerQueuedJoins(ErrCode status) {
  std::vector<QueuedJoin> queued;
  queued.swap(queuedJoins_);
  for (const QueuedJoin& q : queued) sink_.joinDecided(q.conn, status, -1);
}

void CorosyncEngine::join(ConnId conn, const JoinRequest& req) {
  if (!connected_ || !quorate_) return sink_.joinDecided(conn, ERR_UNAVAILABLE, -1);
  if (req.name.size() > kMaxGroupName) return sink_.joinDecided(conn, ERR_INVALID, -1);
  if (core_.memberOf(keyOf(conn)) != nullptr || pendingJoins_.count(conn) != 0) {
    return sink_.joinDecided(conn, ERR_IN_USE, -1);
  }
  const bool transferring = inRound_ || sender_;
  if (!authoritative_ && !transferring) return sink_.joinDecided(conn, ERR_UNAVAILABLE, -1);
  if (!synced_ || !authoritative_ || transferring) {
    queuedJoins_.push_back(QueuedJoin{conn, req});
    return;
  }
  pendingJoins_.insert(conn);
  multicast(PeerJoin{conn, req});
}

ErrCode CorosyncEngine::leave(ConnId conn) {
  if (core_.memberOf(keyOf(conn)) == nullptr) return ERR_BAD_STATE;
  multicast(PeerLeave{conn, LeaveReason::kRequest});
  return ERR_NONE;
}

void CorosyncEngine::connectionLost(ConnId conn) {
  std::erase_if(queuedJoins_, [conn](const QueuedJoin& q) { return q.conn == conn; });
  if (core_.memberOf(keyOf(conn)) != nullptr || pendingJoins_.count(conn) != 0) {
    multicast(PeerLeave{conn, LeaveReason::kConnectionLost});
  }
}

ErrCode CorosyncEngine::signal(const std::string& name, uint32_t event,
                               std::optional<int32_t> memno) {
  if (!tableCurrent()) return ERR_UNAVAILABLE;
  Outbox dry;
  const ErrCode status = core_.signal(name, event, memno, dry);
  if (status == ERR_NONE) multicast(PeerSignal{name, event, !memno, memno.value_or(0)});
  return status;
}

void CorosyncEngine::stop() {
  stopping_ = true;
  for (const GroupSummary& g : core_.groups()) {
    for (const Member& mem : core_.members(g.name)) {
      if (mem.key.node == node_) out_.push_back(Delivery{mem.key, kEventAbort, g.bitmap});
    }
  }
  deliverLocal();
}

void CorosyncEngine::deliverLocal() {
  // The table speaks for every node's members; this daemon writes only to
  // its own, and other nodes' daemons write to theirs.
  std::erase_if(out_, [this](const Delivery& d) { return d.key.node != node_; });
  if (!out_.empty()) sink_.deliver(out_);
  out_.clear();
}

}  // namespace skgxn
