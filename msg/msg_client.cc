// MsgClient: the registration socket, the passed event descriptor and the
// five daemon requests, each a chain of steps over a membership's link.
// The message layouts are in msg_catalogue.cc, the wire in stream_io.cc.
#include "msg/msg_client.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "diag/report.h"
#include "diag/trace.h"
#include "msg/msg_catalogue.h"
#include "msg/stream_io.h"
#include "msg/unique_fd.h"

namespace skgxn {

namespace {

constexpr mode_t kFifoBit = 0x1000;

// Trace lines that are fixed texts: formatted never, tested against the mask
// first so a poll with tracing off costs one load.
void traceFixed(const char* text, uint32_t category) {
  if (traceEnabled(category)) traceLine(text, category);
}

void traceFailure(const char* prefix, ErrCode rc) {
  if (!traceEnabled(TRACE_ERR)) return;
  std::string line(prefix);
  line += errorName(rc);
  line += '\n';
  traceLine(line.c_str(), TRACE_ERR);
}

ErrCode connectErrCode(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
      return ERR_PERM;
    default:
      return ERR_PIPE;
  }
}

void reportConnectFailure(ErrCode rc) {
  std::string text = rc == ERR_PERM ? "MsgClient::connectMsg:ERROR insufficient permission"
                                      " to connect to registration pipe "
                                    : "MsgClient::connectMsg:ERROR opening skgxn pipe file ";
  text += kRegisterPipe;
  reportErrno(text.c_str(), false);
}

ErrCode ignoreSigpipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGPIPE, &action, nullptr) == 0) return ERR_NONE;
  reportErrno("MsgClient::connectMsg:ERROR sigignore(SIGPIPE)", false);
  return ERR_PIPE;
}

// Closes fd, reporting a failed close under what; fd is -1 afterwards either way.
bool closeReported(int& fd, const char* what) {
  if (fd == -1) return true;
  const bool closed = ::close(fd) == 0;
  if (!closed) reportErrno(what, false);
  fd = -1;
  return closed;
}

// One request's message buffer: the request is built and sent from it, and
// the answer read into it. It lives on the stack of the call that makes the
// request, so requests on different handles never share one.
struct MsgBuffer {
  MsgBuffer() : proto(bytes, sizeof bytes) {}
  MsgBuffer(const MsgBuffer&) = delete;
  MsgBuffer& operator=(const MsgBuffer&) = delete;

  uint8_t bytes[kMsgBufferBytes];
  MsgProto proto;
};

// A local connect never waits, but a signal can still interrupt it. The retry
// then either makes the connection or finds it already made (EISCONN).
int connectRetrying(int fd, const sockaddr_un& addr) {
  const auto* target = reinterpret_cast<const sockaddr*>(&addr);
  int rc = ::connect(fd, target, sizeof addr);
  if (rc == 0 || errno != EINTR) return rc;
  do {
    rc = ::connect(fd, target, sizeof addr);
  } while (rc != 0 && errno == EINTR);
  return rc != 0 && errno == EISCONN ? 0 : rc;
}

// The daemon writes nothing on a member's command connection but answers,
// so whatever is queued before a request is the answer to an earlier one
// whose wait failed. Left there, it would be read as the new answer.
void discardStaleAnswers(int cmd) {
  while (discardMsg(cmd) > 0) {
    traceFixed("MsgClient:WARN discarded the answer to an earlier request\n", TRACE_ERR);
  }
}

}  // namespace

MsgClient& MsgClient::instance() {
  // Static storage whose destructor never runs: groups may still be polled
  // or left from exit handlers, after static destruction has begun.
  alignas(MsgClient) static unsigned char storage[sizeof(MsgClient)];
  static MsgClient* const client = new (storage) MsgClient();
  return *client;
}

MsgClient::MsgClient() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ns =
      static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
  srand48(static_cast<long>(ns & 0xffffffffu));
  // Another thread may be drawing an id at the moment of fork(); the child
  // would find the lock taken for good.
  pthread_atfork([] { instance().idLock_.lock(); }, [] { instance().idLock_.unlock(); },
                 [] { instance().idLock_.unlock(); });
}

uint32_t MsgClient::nextRequestId() {
  std::lock_guard<std::mutex> guard(idLock_);
  return static_cast<uint32_t>(lrand48());
}

bool MsgClient::serverAvailable() {
  struct stat st {};
  if (::stat(kRegisterPipe, &st) != 0) {
    if (errno != ENOENT) reportErrno("stat(REGISTER_PIPE)", false);
    return false;
  }
  return (st.st_mode & kFifoBit) != 0;
}

ErrCode MsgClient::connectMsg(int& cmd) {
  if (cmd != -1) {
    traceFixed("MsgClient::connectMsg:ERROR msg fd already set!\n", TRACE_ERR);
    return ERR_IN_USE;
  }
  if (const ErrCode rc = ignoreSigpipe(); rc != ERR_NONE) return rc;

  UniqueFd sock(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (sock.get() == -1) {
    const ErrCode rc = connectErrCode(errno);
    reportConnectFailure(rc);
    return rc;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, kRegisterSocket, sizeof addr.sun_path - 1);
  // A non-blocking connect on a local socket completes at once or fails; a
  // full backlog shows as EAGAIN and is an ordinary failure.
  if (connectRetrying(sock.get(), addr) != 0) {
    const ErrCode rc = connectErrCode(errno);
    reportConnectFailure(rc);
    return rc;
  }
  cmd = sock.release();
  return ERR_NONE;
}

ErrCode MsgClient::getEvtFd(int& cmd, int& evt) {
  if (cmd == -1) {
    traceFixed("MsgClient::getEvtFd:ERROR cmd fd not set!\n", TRACE_ERR);
    return ERR_INVALID;
  }
  evt = -1;
  const int ready = waitReadable(cmd, eventFdWaitMs_);
  if (ready == 0) {
    traceFixed("MsgClient::getEvtFd:ERROR Timed out reading event fd from server!\n", TRACE_ERR);
  } else if (ready < 0) {
    reportErrno("MsgClient::getEvtFd:ERROR error polling for msg", false);
  } else {
    const int received = recvFd(cmd);
    if (received != -1) {
      evt = received;
      // A failure is reported inside and leaves evt at -1: the group is then
      // half-open and every later request refuses it as not joined.
      (void)setNonBlocking(evt);
      return ERR_NONE;
    }
    reportErrno("MsgClient::getEvtFd:ERROR on I_RECVFD of evt fd", false);
  }
  (void)disconnect(cmd, evt);
  return ERR_POLL;
}

ErrCode MsgClient::disconnect(int& cmd, int& evt) {
  const bool cmdClosed =
      closeReported(cmd, "MsgClient::disconnect:ERROR can't close skgxn cmd pipe");
  const bool evtClosed =
      closeReported(evt, "MsgClient::disconnect:ERROR can't close skgxn event pipe");
  return cmdClosed && evtClosed ? ERR_NONE : ERR_PIPE;
}

ErrCode MsgClient::regRequest(const std::string& name, int32_t& memno, const ByteData& data,
                              MsgLink& link) {
  traceFixed("MsgClient::regRequest:ENTER\n", TRACE_MSG);
  MsgBuffer buf;
  Steps steps;
  steps.then([&] { return connectMsg(link.commandFd); });
  // Drawn even after a failed connect, so the generator advances once per join.
  uint32_t id = nextRequestId();
  steps.then([&] { return sendRegReq(buf.proto, link.commandFd, id, name, memno, data); })
      .then([&] { return getEvtFd(link.commandFd, link.eventFd); })
      .then([&] { return recvRegResp(buf.proto, link.commandFd, id, memno); });
  if (!steps.ok()) {
    // Also after ERR_IN_USE: a join through a link that still held a
    // connection leaves it with none.
    (void)disconnect(link.commandFd, link.eventFd);
    traceFailure("MsgClient::regRequest:ERROR ", steps.result());
  }
  traceFixed("MsgClient::regRequest: EXIT\n", TRACE_MSG);
  return steps.result();
}

ErrCode MsgClient::drgRequest(MsgLink& link) {
  traceFixed("MsgClient::drgRequest:ENTER\n", TRACE_MSG);
  if (!isConnected(link.commandFd, link.eventFd)) {
    traceFixed("MsgClient::drgRequest:ERROR not connected\n", TRACE_ERR);
    return ERR_BAD_STATE;
  }
  uint32_t id = nextRequestId();
  MsgBuffer buf;
  Steps steps;
  steps.also([&] { discardStaleAnswers(link.commandFd); })
      .then([&] { return sendDrgReq(buf.proto, link.commandFd, id); })
      .then([&] { return recvDrgResp(buf.proto, link.commandFd, id); });
  ErrCode rc = steps.result();
  if (rc != ERR_NONE) {
    (void)disconnect(link.commandFd, link.eventFd);
    traceFailure("MsgClient::drgRequest:ERROR ", rc);
  } else {
    rc = disconnect(link.commandFd, link.eventFd);
  }
  traceFixed("MsgClient::drgRequest: EXIT\n", TRACE_MSG);
  return rc;
}

ErrCode MsgClient::prdataRequest(MsgLink& link, int32_t memno, ByteData& data) {
  traceFixed("MsgClient::prdataRequest:ENTER\n", TRACE_MSG);
  if (!isConnected(link.commandFd, link.eventFd)) {
    traceFixed("MsgClient::prdataRequest:ERROR not connected\n", TRACE_ERR);
    return ERR_BAD_STATE;
  }
  uint32_t id = nextRequestId();
  MsgBuffer buf;
  Steps steps;
  steps.also([&] { discardStaleAnswers(link.commandFd); })
      .then([&] { return sendPrdataReq(buf.proto, link.commandFd, id, memno, link.eventSeq); })
      .then([&] { return recvPrdataResp(buf.proto, link.commandFd, id, data); });
  if (!steps.ok()) traceFailure("MsgClient::prdataRequest:ERROR ", steps.result());
  traceFixed("MsgClient::prdataRequest: EXIT\n", TRACE_MSG);
  return steps.result();
}

ErrCode MsgClient::pstatRequest(MsgLink& link, uint32_t& event, MemberBitmap& bitmap) {
  traceFixed("MsgClient::pstatRequest:ENTER\n", TRACE_MSG);
  if (!isConnected(link.commandFd, link.eventFd)) {
    traceFixed("MsgClient::pstatRequest:ERROR not connected\n", TRACE_ERR);
    event = kEventAbort;
    return ERR_BAD_STATE;
  }
  MsgBuffer buf;
  const ErrCode rc = buf.proto.pstatReadEvt(link.eventFd, event, bitmap.data(), link.eventSeq);
  if (rc != ERR_NONE) {
    // An abort means the stream itself failed; a message that merely did not
    // decode or broke the sequence leaves the connection usable.
    if (event == kEventAbort) (void)disconnect(link.commandFd, link.eventFd);
    traceFailure("MsgClient::pstatRequest:ERROR ", rc);
  }
  traceFixed("MsgClient::pstatRequest: EXIT\n", TRACE_MSG);
  return rc;
}

ErrCode MsgClient::qgrpRequest(const std::string& name, const MsgLink& link, MemberBitmap& bitmap) {
  traceFixed("MsgClient::qgrpRequest:ENTER\n", TRACE_MSG);
  // A query never receives an event descriptor, so the link's is not ours.
  int cmd = link.commandFd;
  int evt = -1;
  MsgBuffer buf;
  Steps steps;
  steps.then([&] { return connectMsg(cmd); });
  uint32_t id = nextRequestId();
  steps.then([&] { return sendQgrpReq(buf.proto, cmd, id, name); }).then([&] {
    return recvQgrpResp(buf.proto, cmd, id, bitmap);
  });
  if (!steps.ok()) {
    bitmap.fill(0);
    traceFailure("MsgClient::qgrpRequest:ERROR ", steps.result());
  }
  // connectMsg refused a link that already held a command descriptor; that
  // descriptor still belongs to the link and must survive the query.
  if (link.commandFd != -1) cmd = -1;
  (void)disconnect(cmd, evt);
  traceFixed("MsgClient::qgrpRequest: EXIT\n", TRACE_MSG);
  return steps.result();
}

}  // namespace skgxn
