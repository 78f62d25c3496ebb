// velkd's event loop: the registration and admin sockets, one command
// connection per client, each member's event connection and its queue.
// Membership is the engine's (engine.h); this is only I/O and timers.
#ifndef DAEMON_SERVER_H_
#define DAEMON_SERVER_H_

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "daemon/closer.h"
#include "daemon/daemon_log.h"
#include "daemon/engine.h"
#include "daemon/event_loop.h"
#include "daemon/event_queue.h"
#include "daemon/membership.h"
#include "daemon/timers.h"
#include "diag/err_code.h"
#include "msg/msg_proto.h"
#include "msg/shared_values.h"
#include "msg/unique_fd.h"

namespace skgxn {

// Client connections velkd keeps by default: of all users together, and of
// one uid. Root is held to neither: it has a reserve of kRootReserve beyond
// the first, so that the administrator can still get in.
inline constexpr size_t kDefaultMaxConnections = 8192;
inline constexpr size_t kDefaultMaxPerUid = 1024;
inline constexpr size_t kRootReserve = 32;

struct ServerOptions {
  std::string fifoPath = kRegisterPipe;
  std::string socketPath = kRegisterSocket;
  std::string adminPath = kAdminSocket;
  mode_t mode = 0666;          // of the marker FIFO and the registration socket
  std::optional<gid_t> group;  // their group, when a site restricts joining
  bool foreground = false;     // log lines also to standard error
  // Lowered at start when the descriptor limit cannot hold this many.
  size_t maxConnections = kDefaultMaxConnections;
  size_t maxPerUid = kDefaultMaxPerUid;
  EngineKind engine = EngineKind::kLocal;
  // Called from run() once the registration socket and the marker exist:
  // at once with the single-machine engine, when a cluster engine holds the
  // agreed table otherwise. The daemon tells the service manager it is ready.
  std::function<void()> onRegistrationOpen;
};

class Server : private EngineSink, private EventLoop {
 public:
  explicit Server(ServerOptions options);
  // Closes every connection; removes the endpoints this server created.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Blocks every signal a daemon may be sent (they are read from a
  // signalfd), raises the descriptor soft limit to the hard limit and sizes
  // the connection caps to it, creates the admin socket and starts the
  // engine. The registration socket and the marker FIFO, replacing stale
  // ones, follow when the engine is ready: here for the single-machine
  // engine, from the loop once a cluster engine holds the agreed table.
  // ERR_CREATE when any of these fails here, reported on standard error
  // as the step that failed and why.
  [[nodiscard]] ErrCode start();
  // Serves until SIGTERM, SIGINT or SIGQUIT (other signals are logged and
  // ignored), then sends abort to every member, closes all connections and
  // removes the endpoints. Starts the closer thread first where the kernel
  // cannot refuse passed descriptors. ERR_POLL when epoll fails.
  [[nodiscard]] ErrCode run();

 private:
  // A join the engine has not decided yet.
  struct PendingJoin {
    UniqueFd end;  // the daemon's end of the pair offered; -1 when no join waits
    uint32_t reqId = 0;
    JoinRequest req;
  };
  // Its descriptors are closed through retire(), never by the destructor.
  struct Conn {
    UniqueFd fd;
    UniqueFd evFd;  // the daemon's end of the member's event pair, -1 when not a member
    PendingJoin joining;
    PeerCred peer;
    EventQueue queue;
    bool outArmed = false;
  };
  struct AdminConn {
    UniqueFd fd;
    std::string answer;         // the answer being sent, empty between requests
    size_t sent = 0;            // bytes of it already sent
    bool awaitingRoom = false;  // watched for room to send rather than for requests
  };

  // Both set failed to the step that failed and why when they fail.
  [[nodiscard]] ErrCode createAdminEndpoint(std::string& failed);
  // The registration socket and the marker FIFO, once the engine is ready.
  [[nodiscard]] ErrCode openRegistration(std::string& failed);
  [[nodiscard]] ErrCode watch(int fd, uint32_t events, uint64_t tag);
  void sizeToDescriptorLimit();
  int nextWakeMs();
  void dispatch(uint64_t tag, uint32_t events);
  void readSignals();
  void acceptClients();
  void pauseAccepting(bool admin, int err);
  void resumeAccepting(bool admin);
  const char* refusal(uid_t uid) const;
  void acceptAdmins();
  void readCommands(ConnId id, uint32_t events);
  void handleRecord(ConnId id, Conn& c, uint8_t* buf, size_t n);
  void onJoin(ConnId id, Conn& c, MsgProto& p);
  void onLeave(ConnId id, Conn& c, MsgProto& p);
  void onPrdata(ConnId id, Conn& c, MsgProto& p);
  void onQgrp(ConnId id, Conn& c, MsgProto& p);
  // Sends the answer in p, or drops the connection when built (the
  // encoder's result) is not 0 or the answer cannot be sent.
  void respond(ConnId id, Conn& c, ErrCode built, MsgProto& p);
  void malformed(ConnId id, const Conn& c, const char* why);
  void dropConn(ConnId id, const char* why);
  void onEventEnd(ConnId id, uint32_t events);
  bool flush(ConnId id, Conn& c);
  // The member's event connection failed: its membership ends.
  void loseRegistration(ConnId id, Conn& c, const char* why);
  // Closes the daemon's end of the event pair, so that the member's next
  // polls report abort, and forgets the events waiting for it.
  void endRegistration(Conn& c);
  void runWatched(int fd, uint32_t events);
  void armOut(ConnId id, Conn& c, bool on);
  void retire(UniqueFd fd);
  void closeAll();
  void serveAdmin(ConnId id);
  std::string answerAdminRequest(const std::string& request);
  // Sends records of the answer until the socket is full, then waits for
  // room; never blocks the loop on a slow administrator.
  void sendAdminAnswer(ConnId id, AdminConn& a);
  void awaitAdminRoom(ConnId id, AdminConn& a, bool on);
  void shutdown();
  void removeEndpoints();

  // EngineSink: the engine's answers.
  void deliver(Outbox& out) override;
  void joinDecided(ConnId id, ErrCode status, int32_t memno) override;
  void registrationLost(ConnId id, const char* why) override;
  void engineReady() override;

  // EventLoop: timers and watched descriptors for the engine and the server.
  TimerId after(int64_t ms, std::function<void()> fn) override;
  void cancel(TimerId id) override;
  [[nodiscard]] ErrCode watchFd(int fd, uint32_t events, std::function<void(uint32_t)> fn) override;
  void unwatchFd(int fd) override;

  ServerOptions options_;
  DaemonLog log_;
  std::unique_ptr<Engine> engine_;
  UniqueFd epoll_;
  UniqueFd listen_;
  UniqueFd adminListen_;
  UniqueFd signals_;
  // Only where the kernel cannot refuse passed descriptors.
  std::optional<Closer> closer_;
  rlim_t fdLimit_ = 0;
  size_t totalCap_ = 0;  // connections of all users together
  size_t rootCap_ = 0;   // the same with root's reserve
  std::unordered_map<uid_t, size_t> perUid_;
  Timers timers_;
  std::unordered_map<int, std::function<void(uint32_t)>> watched_;
  // A listening socket is not watched until a timer runs.
  bool acceptPaused_ = false;
  bool adminAcceptPaused_ = false;
  bool acceptFailing_ = false;
  bool created_ = false;
  bool stopping_ = false;
  bool engineReady_ = false;
  bool running_ = false;
  int64_t startedAt_ = 0;
  ConnId nextId_ = 1;
  std::unordered_map<ConnId, Conn> conns_;
  std::unordered_map<ConnId, AdminConn> admins_;
  // Deliveries being written, and whether a write pass is under way: those
  // that arrive during it (a lost registration's reconfigurations) join the
  // end of this list, so every member sees member sets in the order made.
  Outbox work_;
  bool delivering_ = false;
  uint8_t in_[kMsgBufferBytes];
  uint8_t outBuf_[kMsgBufferBytes];
};

}  // namespace skgxn

#endif  // DAEMON_SERVER_H_
