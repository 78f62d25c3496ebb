// What the tests of velkd and velkctl share: starting a daemon and waiting
// for it, and a client speaking the wire protocol directly. Header only;
// included by test binaries that run as root in a private mount namespace.
#ifndef DAEMON_VELKD_TEST_SUPPORT_H_
#define DAEMON_VELKD_TEST_SUPPORT_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "msg/msg_catalogue.h"
#include "msg/stream_io.h"

namespace skgxn::test {

constexpr const char* kFifo = "/var/run/.skgxn_registration";
constexpr const char* kSock = "/var/run/.skgxn_registration.sock";
constexpr const char* kAdmin = "/run/velkd/admin.sock";

inline int connectTo(const char* path) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, path);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

inline bool readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

// Starts velkd (in front unless args say otherwise) with its standard error
// in stderrPath, under a descriptor limit when limit.rlim_max is set.
inline pid_t spawnVelkd(const char* stderrPath, std::vector<std::string> args = {"-f"},
                        rlimit limit = {}) {
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open(stderrPath, O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    close_range(3, ~0u, 0);  // a pipe held open here would keep whoever reads it waiting
    if (limit.rlim_max > 0) setrlimit(RLIMIT_NOFILE, &limit);
    // A sanitizer build's freed-memory quarantine would read as growth in
    // the RSS check; appended, so the suite's own options still apply.
    const char* inherited = getenv("ASAN_OPTIONS");
    const std::string options = std::string(inherited == nullptr ? "" : inherited) +
                                ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    args.insert(args.begin(), "velkd");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(VELKD_PATH, argv.data());
    _exit(127);
  }
  return pid;
}

// Waits up to 5 s, a millisecond at a time, for done() to hold.
template <typename Done>
bool waitFor(Done done) {
  for (int i = 0; i < 5000 && !done(); ++i) {
    timespec ms{0, 1000000};
    nanosleep(&ms, nullptr);
  }
  return done();
}

// Waits for the daemon at pid to open registration (a killed predecessor's
// marker must be gone first). A daemon that exits instead ends the wait at
// once: false, with pid reaped and set to -1.
inline bool awaitRegistration(pid_t& pid) {
  struct stat st;
  bool died = false;
  waitFor([&] {
    return stat(kFifo, &st) == 0 || (died = died || waitpid(pid, nullptr, WNOHANG) == pid);
  });
  if (died) pid = -1;
  return !died && stat(kFifo, &st) == 0;
}

// A client of the registration socket. The event end of a join arrives
// before the answer, refusals included.
class Client {
 public:
  Client() : cmd_(connectTo(kSock)), p_(buf_, sizeof buf_) {}
  ~Client() {
    if (cmd_ >= 0) close(cmd_);
    if (evt_ >= 0) close(evt_);
  }
  int cmd() const { return cmd_; }
  int evt() const { return evt_; }

  ErrCode join(const std::string& name, int32_t memno, int32_t& granted) {
    return call([&](uint32_t id) { return sendRegReq(p_, cmd_, id, name, memno, {}); },
                [&](uint32_t& id) {
                  const int evt = recvFd(cmd_);
                  if (evt < 0) return ERR_READ;
                  if (evt_ >= 0) close(evt_);
                  evt_ = evt;
                  return recvRegResp(p_, cmd_, id, granted);
                });
  }
  int32_t joinOk(const std::string& name, int32_t memno = -1) {
    int32_t granted = -9;
    EXPECT_EQ(join(name, memno, granted), ERR_NONE);
    return granted;
  }
  ErrCode leave() {
    return call([&](uint32_t id) { return sendDrgReq(p_, cmd_, id); },
                [&](uint32_t& id) { return recvDrgResp(p_, cmd_, id); });
  }
  ErrCode prdata(int32_t memno, ByteData& data) {
    return call([&](uint32_t id) { return sendPrdataReq(p_, cmd_, id, memno, 0); },
                [&](uint32_t& id) { return recvPrdataResp(p_, cmd_, id, data); });
  }
  ErrCode members(const std::string& name, MemberBitmap& map) {
    return call([&](uint32_t id) { return sendQgrpReq(p_, cmd_, id, name); },
                [&](uint32_t& id) { return recvQgrpResp(p_, cmd_, id, map); });
  }

 private:
  template <typename Send, typename Recv>
  ErrCode call(Send send, Recv recv) {
    p_.rewind();
    if (send(++id_) != ERR_NONE) return ERR_WRITE;
    // A daemon that is stuck fails the call instead of hanging the test.
    if (!readable(cmd_, 5000)) return ERR_READ;
    uint32_t id = id_;
    p_.rewind();
    return recv(id);
  }
  int cmd_;
  int evt_ = -1;
  uint32_t id_ = 0;
  uint8_t buf_[kMsgBufferBytes];
  MsgProto p_;
};

}  // namespace skgxn::test

#endif  // DAEMON_VELKD_TEST_SUPPORT_H_
