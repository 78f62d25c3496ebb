// Encoding and decoding of the messages between velkd instances. The reader
// checks every length against the bytes actually received before it copies
// anything, so a peer's message is never trusted.
#include "daemon/peer_proto.h"

#include <cstring>

namespace skgxn {
namespace {

class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) { big(v, 2); }
  void u32(uint32_t v) { big(v, 4); }
  void u64(uint64_t v) { big(v, 8); }
  // Grown, then copied into: GCC 12 at -O3 takes vector::insert of a
  // one-byte-aligned range for an overflow and fails optimised -Werror builds.
  void bytes(const void* p, size_t n) {
    if (n == 0) return;
    const size_t at = out_.size();
    out_.resize(at + n);
    std::memcpy(out_.data() + at, p, n);
  }
  // A length byte and the text; the caller has checked the length.
  void text(const std::string& s) {
    u8(static_cast<uint8_t>(s.size()));
    bytes(s.data(), s.size());
  }

 private:
  void big(uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t>& out_;
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t n) : cur_(data), end_(data + n) {}
  size_t left() const { return static_cast<size_t>(end_ - cur_); }
  [[nodiscard]] ErrCode u8(uint8_t& v) { return fixed(v); }
  [[nodiscard]] ErrCode u16(uint16_t& v) { return fixed(v); }
  [[nodiscard]] ErrCode u32(uint32_t& v) { return fixed(v); }
  [[nodiscard]] ErrCode i32(int32_t& v) { return fixed(v); }
  [[nodiscard]] ErrCode u64(uint64_t& v) { return fixed(v); }
  [[nodiscard]] ErrCode i64(int64_t& v) { return fixed(v); }
  // A length byte and at most max bytes of text.
  [[nodiscard]] ErrCode text(std::string& s, size_t max) {
    uint8_t n = 0;
    if (u8(n) != ERR_NONE || n > max || n > left()) return ERR_INVALID;
    s.assign(reinterpret_cast<const char*>(cur_), n);
    cur_ += n;
    return ERR_NONE;
  }
  [[nodiscard]] ErrCode data(ByteData& d) {
    uint8_t n = 0;
    if (u8(n) != ERR_NONE || n > kMaxPrivateData || n > left()) return ERR_INVALID;
    d = ByteData(cur_, n);
    cur_ += n;
    return ERR_NONE;
  }
  // A count, refused when the rest of the message cannot hold that many
  // items of at least minBytes each: a lying count never sizes an allocation.
  [[nodiscard]] ErrCode count(uint32_t& n, size_t minBytes) {
    if (u32(n) != ERR_NONE || n > kMaxPeerMembers || n > left() / minBytes) return ERR_INVALID;
    return ERR_NONE;
  }

 private:
  // A big-endian integer of T's width; signed ones travel as their two's
  // complement bit pattern.
  template <typename T>
  [[nodiscard]] ErrCode fixed(T& v) {
    uint64_t w = 0;
    const ErrCode rc = big(w, sizeof(T));
    v = static_cast<T>(w);
    return rc;
  }
  ErrCode big(uint64_t& v, size_t n) {
    if (left() < n) return ERR_INVALID;
    v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | *cur_++;
    return ERR_NONE;
  }
  const uint8_t* cur_;
  const uint8_t* end_;
};

// Bytes the smallest encoded member takes: node, conn, empty name, memno,
// empty data, pid, uid, gid, joining time.
constexpr size_t kMinMemberBytes = 4 + 8 + 1 + 4 + 1 + 4 + 4 + 4 + 8;

bool representable(const std::string& name, const ByteData& data) {
  return name.size() <= kMaxGroupName && data.size() <= kMaxPrivateData;
}

void putNodes(Writer& w, const std::vector<uint32_t>& nodes) {
  w.u32(static_cast<uint32_t>(nodes.size()));
  for (uint32_t node : nodes) w.u32(node);
}

ErrCode getNodes(Reader& r, std::vector<uint32_t>& nodes) {
  uint32_t n = 0;
  if (r.count(n, 4) != ERR_NONE) return ERR_INVALID;
  nodes.resize(n);
  for (uint32_t& node : nodes) {
    if (r.u32(node) != ERR_NONE) return ERR_INVALID;
  }
  return ERR_NONE;
}

void putCred(Writer& w, const PeerCred& c) {
  w.u32(static_cast<uint32_t>(c.pid));
  w.u32(c.uid);
  w.u32(c.gid);
}

ErrCode getCred(Reader& r, PeerCred& c) {
  int32_t pid = 0;
  Steps s;
  s.then([&] { return r.i32(pid); }).then([&] { return r.u32(c.uid); }).then([&] {
    return r.u32(c.gid);
  });
  c.pid = static_cast<pid_t>(pid);
  return s.result();
}

struct BodyWriter {
  Writer& w;
  ErrCode operator()(const PeerJoin& m) const {
    if (!representable(m.req.name, m.req.data)) return ERR_INVALID;
    w.u64(m.conn);
    w.text(m.req.name);
    w.u32(static_cast<uint32_t>(m.req.memno));
    w.u8(static_cast<uint8_t>(m.req.data.size()));
    w.bytes(m.req.data.data(), m.req.data.size());
    putCred(w, m.req.peer);
    w.u64(static_cast<uint64_t>(m.req.now));
    return ERR_NONE;
  }
  ErrCode operator()(const PeerLeave& m) const {
    w.u64(m.conn);
    w.u8(static_cast<uint8_t>(m.reason));
    return ERR_NONE;
  }
  ErrCode operator()(const PeerSignal& m) const {
    if (m.group.size() > kMaxGroupName) return ERR_INVALID;
    w.text(m.group);
    w.u32(m.event);
    w.u8(m.all ? 1 : 0);
    w.u32(static_cast<uint32_t>(m.memno));
    return ERR_NONE;
  }
  ErrCode operator()(const PeerSync& m) const {
    w.u8(m.synced ? 1 : 0);
    w.u32(m.partition);
    putNodes(w, m.view);
    return ERR_NONE;
  }
  ErrCode operator()(const PeerState& m) const {
    if (m.members.size() > kMaxPeerMembers) return ERR_INVALID;
    putNodes(w, m.view);
    w.u32(static_cast<uint32_t>(m.members.size()));
    for (const Member& mem : m.members) {
      if (!representable(mem.group, mem.data)) return ERR_INVALID;
      w.u32(mem.key.node);
      w.u64(mem.key.conn);
      w.text(mem.group);
      w.u32(static_cast<uint32_t>(mem.memno));
      w.u8(static_cast<uint8_t>(mem.data.size()));
      w.bytes(mem.data.data(), mem.data.size());
      putCred(w, mem.peer);
      w.u64(static_cast<uint64_t>(mem.joinedAt));
    }
    putNodes(w, m.synced);
    return ERR_NONE;
  }
};

ErrCode getFlag(Reader& r, bool& flag) {
  uint8_t v = 0;
  if (r.u8(v) != ERR_NONE || v > 1) return ERR_INVALID;
  flag = v == 1;
  return ERR_NONE;
}

ErrCode getJoin(Reader& r, PeerJoin& m) {
  Steps s;
  s.then([&] { return r.u64(m.conn); })
      .then([&] { return r.text(m.req.name, kMaxGroupName); })
      .then([&] { return r.i32(m.req.memno); })
      .then([&] { return r.data(m.req.data); })
      .then([&] { return getCred(r, m.req.peer); })
      .then([&] { return r.i64(m.req.now); });
  return s.result();
}

ErrCode getLeave(Reader& r, PeerLeave& m) {
  uint8_t reason = 0;
  Steps s;
  s.then([&] { return r.u64(m.conn); }).then([&] { return r.u8(reason); }).then([&] {
    return reason <= static_cast<uint8_t>(LeaveReason::kEventFailed) ? ERR_NONE : ERR_INVALID;
  });
  m.reason = static_cast<LeaveReason>(reason);
  return s.result();
}

ErrCode getSignal(Reader& r, PeerSignal& m) {
  Steps s;
  s.then([&] { return r.text(m.group, kMaxGroupName); })
      .then([&] { return r.u32(m.event); })
      .then([&] { return getFlag(r, m.all); })
      .then([&] { return r.i32(m.memno); });
  return s.result();
}

ErrCode getSync(Reader& r, PeerSync& m) {
  Steps s;
  s.then([&] { return getFlag(r, m.synced); }).then([&] { return r.u32(m.partition); }).then([&] {
    return getNodes(r, m.view);
  });
  return s.result();
}

ErrCode getMember(Reader& r, Member& mem) {
  Steps s;
  s.then([&] { return r.u32(mem.key.node); })
      .then([&] { return r.u64(mem.key.conn); })
      .then([&] { return r.text(mem.group, kMaxGroupName); })
      .then([&] { return r.i32(mem.memno); })
      .then([&] {
        return mem.memno >= 0 && mem.memno < static_cast<int32_t>(kMaxMembers) ? ERR_NONE
                                                                               : ERR_INVALID;
      })
      .then([&] { return r.data(mem.data); })
      .then([&] { return getCred(r, mem.peer); })
      .then([&] { return r.i64(mem.joinedAt); });
  return s.result();
}

ErrCode getState(Reader& r, PeerState& m) {
  uint32_t n = 0;
  Steps s;
  s.then([&] { return getNodes(r, m.view); }).then([&] { return r.count(n, kMinMemberBytes); });
  if (!s.ok()) return s.result();
  m.members.resize(n);
  for (Member& mem : m.members) {
    if (getMember(r, mem) != ERR_NONE) return ERR_INVALID;
  }
  return getNodes(r, m.synced);
}

template <typename T>
ErrCode getBody(Reader& r, PeerMessage& m, ErrCode (*get)(Reader&, T&)) {
  T body;
  if (get(r, body) != ERR_NONE || r.left() != 0) return ERR_INVALID;
  m = std::move(body);
  return ERR_NONE;
}

}  // namespace

ErrCode encodePeer(const PeerMessage& m, std::vector<uint8_t>& out) {
  std::vector<uint8_t> body;
  Writer b(body);
  if (std::visit(BodyWriter{b}, m) != ERR_NONE) return ERR_INVALID;
  Writer w(out);
  w.u32(kPeerMagic);
  w.u16(kPeerVersion);
  w.u16(static_cast<uint16_t>(m.index() + 1));
  w.u32(static_cast<uint32_t>(body.size()));
  w.bytes(body.data(), body.size());
  return ERR_NONE;
}

ErrCode decodePeer(const uint8_t* data, size_t n, PeerMessage& m, uint16_t& version) {
  Reader r(data, n);
  uint32_t magic = 0;
  uint16_t type = 0;
  uint32_t length = 0;
  Steps s;
  s.then([&] { return r.u32(magic); })
      .then([&] { return magic == kPeerMagic ? ERR_NONE : ERR_INVALID; })
      .then([&] { return r.u16(version); })
      .then([&] { return version == kPeerVersion ? ERR_NONE : ERR_UNAVAILABLE; })
      .then([&] { return r.u16(type); })
      .then([&] { return r.u32(length); })
      .then([&] { return length == r.left() ? ERR_NONE : ERR_INVALID; });
  if (!s.ok()) return s.result();
  switch (static_cast<PeerType>(type)) {
    case PeerType::kJoin:
      return getBody(r, m, getJoin);
    case PeerType::kLeave:
      return getBody(r, m, getLeave);
    case PeerType::kSignal:
      return getBody(r, m, getSignal);
    case PeerType::kSync:
      return getBody(r, m, getSync);
    case PeerType::kState:
      return getBody(r, m, getState);
  }
  return ERR_INVALID;
}

}  // namespace skgxn
