// velkd's single-threaded epoll loop. Nothing here ever blocks on a client:
// every socket is non-blocking, a member's events wait in its queue, and a
// client that cannot take a response or sends anything malformed is dropped.
#include "daemon/server.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "daemon/admin.h"
#include "daemon/escape_text.h"
#include "msg/msg_catalogue.h"
#include "msg/shared_values.h"
#include "msg/stream_io.h"

// The kernel's number for it where socket options are numbered the generic
// way; C library headers older than the kernels that know it lack it.
#if !defined(SO_PASSRIGHTS) && \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__riscv))
#define SO_PASSRIGHTS 83
#endif

namespace skgxn {

namespace {

// kWatched tags carry a descriptor watched with a callback instead of a ConnId.
enum Kind : uint64_t { kListen, kAdminListen, kWatched, kCommand, kEvent, kAdmin };
constexpr int kKindBits = 3;
// Records read from one connection per wake-up, so a chatty client cannot
// starve the others.
constexpr int kRecordsPerWake = 16;
constexpr int kAcceptsPerWake = 64;
// The daemon's own descriptors (standard streams, epoll, signalfd, the
// listeners, the system log, the pid file), admin connections, and the
// socketpair end a join holds while passing it. Each client connection
// beyond these needs two: its command socket and its event end.
constexpr rlim_t kFixedFds = 32;
// How long the listening socket is left alone after accepting failed.
constexpr int kAcceptBackoffMs = 100;

uint64_t tagOf(ConnId id, Kind kind) { return (id << kKindBits) | kind; }

int64_t wallNow() { return static_cast<int64_t>(time(nullptr)); }

int64_t monotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Every signal a daemon may be sent, to be read from the signalfd rather
// than left to kill velkd with its endpoints in place. Faults of velkd's
// own, job control, the signals ignored by default and SIGPIPE (ignored
// outright; sends never raise it) keep their usual actions.
sigset_t servedSignals() {
  sigset_t set;
  sigfillset(&set);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS, SIGTSTP, SIGTTIN,
                  SIGTTOU, SIGCONT, SIGCHLD, SIGWINCH, SIGURG, SIGPIPE}) {
    sigdelset(&set, sig);
  }
  return set;
}

bool terminating(uint32_t sig) { return sig == SIGTERM || sig == SIGINT || sig == SIGQUIT; }

// With SO_PASSRIGHTS off the kernel refuses every descriptor passed to the
// socket (the sender gets EPERM), so nothing a client owns ever sits in a
// queue whose close would release it; connections accepted from a listening
// socket inherit the setting. False where the kernel does not know it.
bool refuseRights(int fd) {
#ifdef SO_PASSRIGHTS
  const int off = 0;
  return setsockopt(fd, SOL_SOCKET, SO_PASSRIGHTS, &off, sizeof off) == 0;
#else
  (void)fd;
  return false;
#endif
}

// Names the start step that failed, with the reason the system gave, for
// the one line an administrator reads when velkd does not come up. ERR_CREATE.
ErrCode failedTo(std::string& failed, const std::string& step) {
  failed = step + ": " + strerror(errno);
  return ERR_CREATE;
}

// rc, with the step named when it is not 0.
ErrCode named(ErrCode rc, std::string& failed, const std::string& step) {
  return rc == ERR_NONE ? ERR_NONE : failedTo(failed, step);
}

// Gives the endpoint named, at path, the site's group and mode.
ErrCode setAccess(const std::string& named, const std::string& path, mode_t mode,
                  std::optional<gid_t> group, std::string& failed) {
  if (group && chown(path.c_str(), static_cast<uid_t>(-1), *group) != 0) {
    return failedTo(failed, "give the " + named + " to group " + std::to_string(*group));
  }
  if (chmod(path.c_str(), mode) != 0) return failedTo(failed, "set the mode of the " + named);
  return ERR_NONE;
}

// Binds a SEQPACKET listening socket at path with the given mode. The socket
// file is created under a restrictive umask and opened up by chmod afterwards,
// so there is no moment at which it is wider than asked.
ErrCode listenAt(const char* what, const std::string& path, mode_t mode, std::optional<gid_t> group,
                 UniqueFd& out, std::string& failed) {
  const std::string named = std::string(what) + " " + path;
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return failedTo(failed, "bind the " + named);
  }
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return failedTo(failed, "create the " + named);
  // Before listen(), so that no connection can exist without it; run()
  // tells whether the kernel took it.
  (void)refuseRights(fd.get());
  unlink(path.c_str());
  const mode_t old = umask(0177);
  const int bound = bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  umask(old);
  if (bound != 0) return failedTo(failed, "bind the " + named);
  if (listen(fd.get(), SOMAXCONN) != 0) return failedTo(failed, "listen on the " + named);
  const ErrCode rc = setAccess(named, path, mode, group, failed);
  if (rc == ERR_NONE) out = std::move(fd);
  return rc;
}

ErrCode makeMarker(const std::string& path, mode_t mode, std::optional<gid_t> group,
                   std::string& failed) {
  const std::string named = "registration marker " + path;
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0600) != 0) return failedTo(failed, "create the " + named);
  return setAccess(named, path, mode, group, failed);
}

const char* eventName(uint32_t event) {
  switch (event) {
    case kEventReconfig:
      return "reconfiguration";
    case kEventSuspend:
      return "suspend";
    case kEventResume:
      return "resume";
    case kEventAbort:
      return "abort";
    default:
      return "event";
  }
}

}  // namespace

Server::Server(ServerOptions options)
    : options_(std::move(options)),
      log_(options_.foreground),
      engine_(makeEngine(options_.engine, *this, *this, log_)) {}

Server::~Server() {
  // First, while the timers and watched descriptors it releases still exist.
  engine_.reset();
  closeAll();
  admins_.clear();
  removeEndpoints();
}

ErrCode Server::start() {
  startedAt_ = wallNow();
  const sigset_t set = servedSignals();
  signal(SIGPIPE, SIG_IGN);
  sizeToDescriptorLimit();
  std::string failed;
  Steps s;
  s.then([&] {
     return sigprocmask(SIG_BLOCK, &set, nullptr) == 0 ? ERR_NONE
                                                       : failedTo(failed, "block signals");
   })
      .then([&] {
        signals_ = UniqueFd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
        return signals_.get() >= 0 ? ERR_NONE : failedTo(failed, "create the signal descriptor");
      })
      .then([&] {
        epoll_ = UniqueFd(epoll_create1(EPOLL_CLOEXEC));
        return epoll_.get() >= 0 ? ERR_NONE : failedTo(failed, "create the epoll descriptor");
      })
      .then([&] { return createAdminEndpoint(failed); })
      .then([&] {
        return named(watchFd(signals_.get(), EPOLLIN, [this](uint32_t) { readSignals(); }), failed,
                     "watch the signal descriptor");
      })
      .then([&] {
        return named(watch(adminListen_.get(), EPOLLIN, tagOf(0, kAdminListen)), failed,
                     "watch the admin socket");
      })
      .also([&] { engine_->start(); })
      // The single-machine engine is ready at once; its endpoints' failure
      // stops the start like any other.
      .then([&] { return engineReady_ ? openRegistration(failed) : ERR_NONE; });
  if (!s.ok()) fprintf(stderr, "velkd: cannot %s\n", failed.c_str());
  return s.result();
}

ErrCode Server::createAdminEndpoint(std::string& failed) {
  created_ = true;
  return listenAt("admin socket", options_.adminPath, 0600, std::nullopt, adminListen_, failed);
}

ErrCode Server::openRegistration(std::string& failed) {
  Steps s;
  s.then([&] {
     return listenAt("registration socket", options_.socketPath, options_.mode, options_.group,
                     listen_, failed);
   })
      .then([&] {
        return named(watch(listen_.get(), EPOLLIN, tagOf(0, kListen)), failed,
                     "watch the registration socket");
      })
      // The marker comes last: clients take it as the sign that joining works.
      .then([&] { return makeMarker(options_.fifoPath, options_.mode, options_.group, failed); });
  return s.result();
}

void Server::engineReady() {
  engineReady_ = true;
  if (!running_) return;  // start() opens the endpoints and reports their failure
  std::string failed;
  if (openRegistration(failed) == ERR_NONE) {
    log_.line(LOG_NOTICE, "registration open");
    if (options_.onRegistrationOpen) options_.onRegistrationOpen();
    return;
  }
  log_.line(LOG_ERR, "cannot %s; stopping", failed.c_str());
  stopping_ = true;
}

ErrCode Server::watch(int fd, uint32_t events, uint64_t tag) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = tag;
  return epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0 ? ERR_NONE : ERR_CREATE;
}

void Server::sizeToDescriptorLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
  if (lim.rlim_cur < lim.rlim_max) {
    const rlimit raised{lim.rlim_max, lim.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  }
  fdLimit_ = lim.rlim_cur;
  rootCap_ = fdLimit_ > kFixedFds ? static_cast<size_t>((fdLimit_ - kFixedFds) / 2) : 0;
  totalCap_ =
      std::min(options_.maxConnections, rootCap_ > kRootReserve ? rootCap_ - kRootReserve : 0);
}

ErrCode Server::run() {
  running_ = true;
  if (engineReady_ && options_.onRegistrationOpen) options_.onRegistrationOpen();
  log_.line(LOG_INFO, "started, pid %d", static_cast<int>(getpid()));
  log_.line(LOG_INFO,
            "descriptor limit %llu: up to %zu client connections, %zu per uid, root %zu more",
            static_cast<unsigned long long>(fdLimit_), totalCap_, options_.maxPerUid,
            rootCap_ - totalCap_);
  // Here, not in start(): a thread would not survive the fork that detaches
  // the daemon.
  if (!refuseRights(listen_.get())) {
    closer_.emplace();
    log_.line(LOG_NOTICE,
              "the kernel cannot refuse passed descriptors; client sockets are closed "
              "on a thread of their own");
  }
  epoll_event ready[64];
  while (!stopping_) {
    timers_.runDue(monotonicMs());
    const int n = epoll_wait(epoll_.get(), ready, 64, nextWakeMs());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      log_.line(LOG_ERR, "epoll_wait failed: %s", strerror(errno));
      return ERR_POLL;
    }
    for (int i = 0; i < n; ++i) dispatch(ready[i].data.u64, ready[i].events);
  }
  shutdown();
  return ERR_NONE;
}

int Server::nextWakeMs() {
  const int flush = log_.flushSuppressed();
  const int timer = timers_.waitMs(monotonicMs());
  if (flush < 0 || timer < 0) return std::max(flush, timer);
  return std::min(flush, timer);
}

void Server::dispatch(uint64_t tag, uint32_t events) {
  const ConnId id = tag >> kKindBits;
  switch (static_cast<Kind>(tag & ((1u << kKindBits) - 1))) {
    case kListen:
      acceptClients();
      break;
    case kAdminListen:
      acceptAdmins();
      break;
    case kWatched:
      runWatched(static_cast<int>(id), events);
      break;
    case kCommand:
      readCommands(id, events);
      break;
    case kEvent:
      onEventEnd(id, events);
      break;
    case kAdmin:
      serveAdmin(id);
      break;
  }
}

void Server::readSignals() {
  signalfd_siginfo info{};
  while (read(signals_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    const bool stop = terminating(info.ssi_signo);
    log_.line(LOG_NOTICE, "signal %u (%s) from pid %u: %s", info.ssi_signo,
              strsignal(static_cast<int>(info.ssi_signo)), info.ssi_pid,
              stop ? "stopping" : "ignored");
    stopping_ = stopping_ || stop;
  }
}

void Server::acceptClients() {
  for (int i = 0; i < kAcceptsPerWake; ++i) {
    UniqueFd fd(accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd.get() < 0 && (errno == ECONNABORTED || errno == EINTR)) continue;
    if (fd.get() < 0 && errno != EAGAIN && errno != EWOULDBLOCK) pauseAccepting(false, errno);
    if (fd.get() < 0) return;
    if (acceptFailing_) log_.line(LOG_NOTICE, "accepting clients again");
    acceptFailing_ = false;
    ucred cred{};
    socklen_t len = sizeof cred;
    const char* why = getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0
                          ? refusal(cred.uid)
                          : "no peer credentials";
    const ConnId id = nextId_++;
    if (why == nullptr && watch(fd.get(), EPOLLIN, tagOf(id, kCommand)) != ERR_NONE) {
      why = "cannot watch it";
    }
    if (why != nullptr) {
      log_.clientLine(LOG_WARNING, "connection refused (%s) pid %d uid %u", why,
                      static_cast<int>(cred.pid), cred.uid);
      retire(std::move(fd));
      continue;
    }
    Conn& c = conns_[id];
    c.fd = std::move(fd);
    c.peer = PeerCred{cred.pid, cred.uid, cred.gid};
    ++perUid_[cred.uid];
  }
}

// Accepting fails when the process or the system is out of descriptors or
// memory. The listening socket stays readable, so rather than spin on it the
// loop stops watching it for a while; the failure is logged once, however
// long it lasts. The admin socket is paused the same way: administrators'
// connections are not capped, and a full table is when one would look.
void Server::pauseAccepting(bool admin, int err) {
  if (!acceptFailing_) {
    log_.line(LOG_ERR, "accept4 failed: %s; trying again every %d ms", strerror(err),
              kAcceptBackoffMs);
  }
  acceptFailing_ = true;
  bool& paused = admin ? adminAcceptPaused_ : acceptPaused_;
  if (paused) return;
  epoll_event ev{};
  ev.data.u64 = tagOf(0, admin ? kAdminListen : kListen);
  (void)epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, (admin ? adminListen_ : listen_).get(), &ev);
  paused = true;
  after(kAcceptBackoffMs, [this, admin] { resumeAccepting(admin); });
}

void Server::resumeAccepting(bool admin) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = tagOf(0, admin ? kAdminListen : kListen);
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, (admin ? adminListen_ : listen_).get(), &ev) != 0) {
    after(kAcceptBackoffMs, [this, admin] { resumeAccepting(admin); });
    return;
  }
  (admin ? adminAcceptPaused_ : acceptPaused_) = false;
}

// Every connection counts against the caps from its accept until it is
// closed; those still with the closer thread count too, since they still
// hold descriptors.
const char* Server::refusal(uid_t uid) const {
  const size_t held = conns_.size() + (closer_ ? closer_->pending() : 0);
  if (uid == 0) return held < rootCap_ ? nullptr : "root's reserve used up";
  if (held >= totalCap_) return "connection limit reached";
  const auto mine = perUid_.find(uid);
  if (mine != perUid_.end() && mine->second >= options_.maxPerUid) return "limit per uid reached";
  return nullptr;
}

void Server::readCommands(ConnId id, uint32_t events) {
  (void)events;  // a hang-up shows as a read of 0 bytes below
  // Where the kernel cannot refuse passed descriptors each record is peeked
  // at first. The descriptors a peek delivers are duplicates that the record
  // still holds, so closing them here is never their last close; a record
  // carrying any is left queued, for the closer thread to release along
  // with the socket. Any other record is then consumed.
  const int peek = closer_ ? MSG_PEEK : 0;
  for (int i = 0; i < kRecordsPerWake; ++i) {
    auto found = conns_.find(id);
    if (found == conns_.end()) return;
    Conn& c = found->second;
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    iovec iov{in_, sizeof in_};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(c.fd.get(), &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC | peek);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n < 0) return dropConn(id, strerror(errno));
    if (n == 0) return dropConn(id, "connection closed");
    bool passed = (msg.msg_flags & MSG_CTRUNC) != 0;
    for (cmsghdr* h = CMSG_FIRSTHDR(&msg); h != nullptr; h = CMSG_NXTHDR(&msg, h)) {
      if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SCM_RIGHTS) continue;
      passed = true;
      const size_t count = (h->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t k = 0; k < count; ++k) {
        int fd;
        memcpy(&fd, CMSG_DATA(h) + k * sizeof(int), sizeof fd);
        UniqueFd unwanted(fd);
      }
    }
    if (passed) return malformed(id, c, "descriptor sent to the daemon");
    if (peek != 0 && recv(c.fd.get(), nullptr, 0, MSG_DONTWAIT) < 0) {
      return dropConn(id, strerror(errno));
    }
    if (msg.msg_flags & MSG_TRUNC) return malformed(id, c, "record over 1024 bytes");
    handleRecord(id, c, in_, static_cast<size_t>(n));
  }
}

void Server::handleRecord(ConnId id, Conn& c, uint8_t* buf, size_t n) {
  // The codec sees exactly the record received, so a field that claims more
  // bytes than the record holds fails instead of reading stale buffer bytes.
  MsgProto p(buf, n);
  uint32_t type = 0;
  if (peekMsgType(p, type) != ERR_NONE) return malformed(id, c, "truncated record");
  switch (type) {
    case MSG_REG_REQ:
      return onJoin(id, c, p);
    case MSG_DRG_REQ:
      return onLeave(id, c, p);
    case MSG_PRDATA_REQ:
      return onPrdata(id, c, p);
    case MSG_QGRP_REQ:
      return onQgrp(id, c, p);
    default:
      return malformed(id, c, "unexpected message type");
  }
}

void Server::onJoin(ConnId id, Conn& c, MsgProto& p) {
  uint32_t reqId = 0;
  JoinRequest req;
  if (parseRegReq(p, reqId, req.name, req.memno, req.data) != ERR_NONE) {
    return malformed(id, c, "bad join request");
  }
  req.peer = c.peer;
  req.now = wallNow();
  int pair[2];
  // Both ends non-blocking from the start: the daemon's end must never block
  // it, and the member puts its end in non-blocking mode anyway.
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
    return dropConn(id, "socketpair failed");
  }
  UniqueFd mine(pair[0]);
  UniqueFd theirs(pair[1]);
  // The daemon never reads its end; a descriptor the member passed on it
  // would only be released by the close of that end.
  (void)refuseRights(mine.get());
  // The event end goes first, granted or not: the client waits for it before
  // it reads the answer.
  if (sendFd(c.fd.get(), theirs.get()) != 0) return dropConn(id, "cannot pass the event end");
  theirs = UniqueFd();
  c.joining = PendingJoin{std::move(mine), reqId, std::move(req)};
  engine_->join(id, c.joining.req);
}

void Server::joinDecided(ConnId id, ErrCode status, int32_t memno) {
  auto found = conns_.find(id);
  if (found == conns_.end()) return;
  Conn& c = found->second;
  PendingJoin join = std::move(c.joining);
  if (status == ERR_NONE) {
    if (watch(join.end.get(), 0, tagOf(id, kEvent)) != ERR_NONE) {
      retire(std::move(join.end));
      return dropConn(id, "cannot watch the event end");
    }
    c.evFd = std::move(join.end);
    c.outArmed = false;
    log_.clientLine(LOG_INFO, "join group %s member %d pid %d uid %u gid %u",
                    escapeText(join.req.name).c_str(), memno, static_cast<int>(c.peer.pid),
                    c.peer.uid, c.peer.gid);
    // Events before the answer: once the joiner has its answer, its first
    // reconfiguration is already readable.
    if (!flush(id, c)) loseRegistration(id, c, "event connection failed");
  } else {
    log_.clientLine(LOG_NOTICE, "join refused (%s) group %s member %d pid %d uid %u gid %u",
                    errorName(status), escapeText(join.req.name).c_str(), join.req.memno,
                    static_cast<int>(c.peer.pid), c.peer.uid, c.peer.gid);
    retire(std::move(join.end));
  }
  MsgProto r(outBuf_, sizeof outBuf_);
  respond(id, c, buildRegResp(r, join.reqId, static_cast<int32_t>(status), memno), r);
}

void Server::onLeave(ConnId id, Conn& c, MsgProto& p) {
  uint32_t reqId = 0;
  if (parseDrgReq(p, reqId) != ERR_NONE) return malformed(id, c, "bad leave request");
  const Member* m = engine_->table().memberOf(engine_->keyOf(id));
  if (m != nullptr) {
    log_.clientLine(LOG_INFO, "leave group %s member %d pid %d uid %u",
                    escapeText(m->group).c_str(), m->memno, static_cast<int>(c.peer.pid),
                    c.peer.uid);
  } else {
    log_.clientLine(LOG_NOTICE, "leave refused (not joined) pid %d uid %u",
                    static_cast<int>(c.peer.pid), c.peer.uid);
  }
  const ErrCode status = engine_->leave(id);
  endRegistration(c);
  MsgProto r(outBuf_, sizeof outBuf_);
  respond(id, c, buildDrgResp(r, reqId, static_cast<int32_t>(status)), r);
}

void Server::onPrdata(ConnId id, Conn& c, MsgProto& p) {
  uint32_t reqId = 0;
  int32_t memno = 0;
  uint32_t seq = 0;
  if (parsePrdataReq(p, reqId, memno, seq) != ERR_NONE) {
    return malformed(id, c, "bad private-data request");
  }
  ByteData data;
  const ErrCode status = engine_->table().privateData(engine_->keyOf(id), memno, data);
  MsgProto r(outBuf_, sizeof outBuf_);
  respond(id, c, buildPrdataResp(r, reqId, static_cast<int32_t>(status), data), r);
}

void Server::onQgrp(ConnId id, Conn& c, MsgProto& p) {
  uint32_t reqId = 0;
  std::string name;
  if (parseQgrpReq(p, reqId, name) != ERR_NONE) return malformed(id, c, "bad group query");
  // The answer has no status field: rather than a member set that may be
  // stale, the caller gets a failed connection.
  if (!engine_->tableCurrent()) return dropConn(id, "group query without quorum");
  MsgProto r(outBuf_, sizeof outBuf_);
  respond(id, c, buildQgrpResp(r, reqId, engine_->table().query(name)), r);
}

void Server::respond(ConnId id, Conn& c, ErrCode built, MsgProto& p) {
  // The client waits for its answer until it comes or the connection
  // closes, so an answer that cannot be built closes the connection.
  if (built != ERR_NONE) {
    log_.line(LOG_ERR, "cannot build an answer (%s) for pid %d uid %u; closing its connection",
              errorName(built), static_cast<int>(c.peer.pid), c.peer.uid);
    return dropConn(id, "answer cannot be built");
  }
  // A client has at most one request outstanding, so its socket always has
  // room for the answer; one that does not is not reading and is dropped
  // rather than waited for.
  if (send(c.fd.get(), p.begin(), p.length(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
    dropConn(id, "cannot answer");
  }
}

void Server::malformed(ConnId id, const Conn& c, const char* why) {
  log_.clientLine(LOG_WARNING, "malformed request (%s) from pid %d uid %u; closing", why,
                  static_cast<int>(c.peer.pid), c.peer.uid);
  dropConn(id, "malformed request");
}

void Server::dropConn(ConnId id, const char* why) {
  auto found = conns_.find(id);
  if (found == conns_.end()) return;
  Conn& c = found->second;
  if (const Member* m = engine_->table().memberOf(engine_->keyOf(id))) {
    log_.clientLine(LOG_NOTICE, "dropped connection (%s) group %s member %d pid %d uid %u", why,
                    escapeText(m->group).c_str(), m->memno, static_cast<int>(c.peer.pid),
                    c.peer.uid);
  }
  if (auto held = perUid_.find(c.peer.uid); held != perUid_.end() && --held->second == 0) {
    perUid_.erase(held);
  }
  retire(std::move(c.fd));
  retire(std::move(c.evFd));
  retire(std::move(c.joining.end));
  conns_.erase(found);
  engine_->connectionLost(id);
}

void Server::onEventEnd(ConnId id, uint32_t events) {
  auto found = conns_.find(id);
  if (found == conns_.end() || found->second.evFd.get() < 0) return;
  Conn& c = found->second;
  if (events & (EPOLLHUP | EPOLLERR)) {
    loseRegistration(id, c, "event connection closed by the member");
  } else if (!flush(id, c)) {
    loseRegistration(id, c, "event connection failed");
  }
}

void Server::deliver(Outbox& out) {
  // Losing a registration produces reconfigurations of its own; they join the
  // same work list instead of recursing.
  if (delivering_) {
    work_.insert(work_.end(), out.begin(), out.end());
    return;
  }
  delivering_ = true;
  work_.swap(out);
  for (size_t i = 0; i < work_.size(); ++i) {
    const Delivery d = work_[i];
    auto found = conns_.find(d.key.conn);
    if (found == conns_.end()) continue;
    Conn& c = found->second;
    // A joiner's first reconfiguration comes before the decision that
    // installs its event end; it waits in the queue until then.
    if (c.evFd.get() < 0) {
      if (c.joining.end.get() >= 0 && !c.queue.push(d.event, d.bitmap)) {
        loseRegistration(d.key.conn, c, "event queue overflow");
      }
      continue;
    }
    if (!c.queue.push(d.event, d.bitmap)) {
      loseRegistration(d.key.conn, c, "event queue overflow");
    } else if (!c.outArmed && !flush(d.key.conn, c)) {
      loseRegistration(d.key.conn, c, "event connection failed");
    }
  }
  work_.clear();
  delivering_ = false;
}

bool Server::flush(ConnId id, Conn& c) {
  while (!c.queue.empty()) {
    const PendingEvent& e = c.queue.front();
    MsgProto p(outBuf_, sizeof outBuf_);
    if (buildEvent(p, e.event, e.bitmap, c.queue.nextSeq()) != ERR_NONE) return false;
    if (send(c.evFd.get(), p.begin(), p.length(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      armOut(id, c, true);
      return true;
    }
    c.queue.commitFront();
  }
  armOut(id, c, false);
  return true;
}

void Server::armOut(ConnId id, Conn& c, bool on) {
  if (c.outArmed == on) return;
  epoll_event ev{};
  ev.events = on ? static_cast<uint32_t>(EPOLLOUT) : 0u;
  ev.data.u64 = tagOf(id, kEvent);
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, c.evFd.get(), &ev) == 0) c.outArmed = on;
}

void Server::loseRegistration(ConnId id, Conn& c, const char* why) {
  if (const Member* m = engine_->table().memberOf(engine_->keyOf(id))) {
    log_.clientLine(LOG_WARNING, "registration lost (%s) group %s member %d pid %d uid %u", why,
                    escapeText(m->group).c_str(), m->memno, static_cast<int>(c.peer.pid),
                    c.peer.uid);
  }
  // Before the engine hears of it, so that the reconfiguration the leave
  // makes is not queued for this member too.
  endRegistration(c);
  (void)engine_->leave(id);
}

void Server::registrationLost(ConnId id, const char* why) {
  auto found = conns_.find(id);
  if (found == conns_.end()) return;
  log_.clientLine(LOG_WARNING, "registration lost (%s) pid %d uid %u", why,
                  static_cast<int>(found->second.peer.pid), found->second.peer.uid);
  endRegistration(found->second);
}

void Server::endRegistration(Conn& c) {
  retire(std::move(c.evFd));
  c.queue = EventQueue();
  c.outArmed = false;
}

void Server::acceptAdmins() {
  for (int i = 0; i < kAcceptsPerWake; ++i) {
    UniqueFd fd(accept4(adminListen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd.get() < 0 && (errno == ECONNABORTED || errno == EINTR)) continue;
    if (fd.get() < 0 && errno != EAGAIN && errno != EWOULDBLOCK) pauseAccepting(true, errno);
    if (fd.get() < 0) return;
    ucred cred{};
    socklen_t len = sizeof cred;
    // The socket file is root-only already; the credential check keeps it so
    // should its mode ever be widened.
    if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != 0) {
      log_.line(LOG_WARNING, "admin connection refused for uid %u", cred.uid);
      continue;
    }
    const ConnId id = nextId_++;
    if (watch(fd.get(), EPOLLIN, tagOf(id, kAdmin)) != ERR_NONE) continue;
    admins_[id].fd = std::move(fd);
  }
}

void Server::serveAdmin(ConnId id) {
  auto found = admins_.find(id);
  if (found == admins_.end()) return;
  AdminConn& a = found->second;
  // A connection with an answer still going out is watched for room only;
  // its next request waits in the socket until the answer is through.
  if (a.answer.empty()) {
    char buf[kAdminRecordBytes];
    const ssize_t n = recv(a.fd.get(), buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      admins_.erase(found);
      return;
    }
    a.answer = static_cast<size_t>(n) > sizeof buf
                   ? adminRefusal("request over " + std::to_string(sizeof buf) + " bytes")
                   : answerAdminRequest(std::string(buf, static_cast<size_t>(n)));
    if (a.answer.size() % kAdminRecordBytes == 0) a.answer += ' ';
    a.sent = 0;
  }
  sendAdminAnswer(id, a);
}

std::string Server::answerAdminRequest(const std::string& request) {
  AdminFacts facts;
  facts.startedAt = startedAt_;
  facts.now = wallNow();
  facts.connections = conns_.size();
  facts.engine = engine_->view();
  facts.eventsWaiting = [this](MemberKey member) {
    if (member.node != engine_->node()) return size_t{0};
    auto c = conns_.find(member.conn);
    return c == conns_.end() ? size_t{0} : c->second.queue.size();
  };
  facts.signal = [this](const std::string& name, uint32_t event, std::optional<int32_t> memno) {
    const ErrCode status = engine_->signal(name, event, memno);
    if (status == ERR_NONE) {
      log_.line(LOG_NOTICE, "administrator sent %s to group %s%s", eventName(event),
                escapeText(name).c_str(),
                memno ? (" member " + std::to_string(*memno)).c_str() : "");
    }
    return status;
  };
  return answerAdmin(request, engine_->table(), facts);
}

void Server::sendAdminAnswer(ConnId id, AdminConn& a) {
  while (a.sent < a.answer.size()) {
    const std::string_view record = std::string_view(a.answer).substr(a.sent, kAdminRecordBytes);
    if (send(a.fd.get(), record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return awaitAdminRoom(id, a, true);
      log_.line(LOG_WARNING, "admin answer not delivered: %s", strerror(errno));
      admins_.erase(id);
      return;
    }
    a.sent += record.size();
  }
  a.answer.clear();
  awaitAdminRoom(id, a, false);
}

void Server::awaitAdminRoom(ConnId id, AdminConn& a, bool on) {
  if (a.awaitingRoom == on) return;
  epoll_event ev{};
  ev.events = on ? static_cast<uint32_t>(EPOLLOUT) : static_cast<uint32_t>(EPOLLIN);
  ev.data.u64 = tagOf(id, kAdmin);
  if (epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, a.fd.get(), &ev) != 0) {
    log_.line(LOG_ERR, "epoll_ctl failed on an admin connection: %s", strerror(errno));
    admins_.erase(id);
    return;
  }
  a.awaitingRoom = on;
}

void Server::shutdown() {
  log_.line(LOG_INFO, "stopping: sending abort to %zu members", engine_->table().memberCount());
  engine_->stop();
  closeAll();
  admins_.clear();
  removeEndpoints();
}

TimerId Server::after(int64_t ms, std::function<void()> fn) {
  return timers_.add(monotonicMs() + ms, std::move(fn));
}

void Server::cancel(TimerId id) { (void)timers_.cancel(id); }

ErrCode Server::watchFd(int fd, uint32_t events, std::function<void(uint32_t)> fn) {
  if (fd < 0) return ERR_CREATE;
  const ErrCode rc = watch(fd, events, tagOf(static_cast<ConnId>(fd), kWatched));
  if (rc == ERR_NONE) watched_[fd] = std::move(fn);
  return rc;
}

void Server::unwatchFd(int fd) {
  (void)epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  watched_.erase(fd);
}

void Server::runWatched(int fd, uint32_t events) {
  auto found = watched_.find(fd);
  if (found == watched_.end()) return;
  // A copy: the callback may unwatch its own descriptor.
  const std::function<void(uint32_t)> fn = found->second;
  fn(events);
}

void Server::retire(UniqueFd fd) {
  if (!closer_ || fd.get() < 0) return;  // closed here, at once
  // It stays open until the thread closes it and must not wake the loop.
  (void)epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd.get(), nullptr);
  closer_->close(std::move(fd));
}

void Server::closeAll() {
  for (auto& [id, c] : conns_) {
    retire(std::move(c.fd));
    retire(std::move(c.evFd));
  }
  conns_.clear();
  perUid_.clear();
}

void Server::removeEndpoints() {
  if (!created_) return;
  created_ = false;
  listen_ = UniqueFd();
  adminListen_ = UniqueFd();
  unlink(options_.fifoPath.c_str());
  unlink(options_.socketPath.c_str());
  unlink(options_.adminPath.c_str());
}

}  // namespace skgxn
