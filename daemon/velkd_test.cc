// velkd and velkctl end to end, through raw protocol clients built from the message codec and
// velkctl as administrators run it. Runs as root in a private mount namespace.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "daemon/escape_text.h"
#include "msg/msg_catalogue.h"
#include "msg/stream_io.h"
#include "msg/unique_fd.h"
#include "skgxn.h"

namespace skgxn::test {
namespace {

constexpr const char* kFifo = "/var/run/.skgxn_registration";
constexpr const char* kSock = "/var/run/.skgxn_registration.sock";
constexpr const char* kAdmin = "/run/velkd/admin.sock";
constexpr const char* kStderr = "/var/tmp/velkd.stderr";
constexpr const char* kCmdFile = "/var/cluster/velk/skgxn_client_cmd";

UniqueFd connectTo(const char* path) {
  sockaddr_un addr{AF_UNIX, {}};
  strcpy(addr.sun_path, path);
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return UniqueFd();
  return fd;
}

// Starts velkd (in front unless args say otherwise) with its standard error
// in stderrPath, under a descriptor limit when limit.rlim_max is set.
pid_t spawnVelkd(const char* stderrPath, std::vector<std::string> args = {"-f"},
                 rlimit limit = {}) {
  const pid_t pid = fork();
  if (pid == 0) {
    // No pipe of the test's may stay open here: a daemon left running by a
    // failed case would keep whoever reads it (ctest) waiting.
    dup2(open(stderrPath, O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    dup2(open("/dev/null", O_WRONLY), 1);
    close_range(3, ~0u, 0);
    if (limit.rlim_max > 0) setrlimit(RLIMIT_NOFILE, &limit);
    // A sanitizer build's freed-memory quarantine would read as growth in
    // the RSS check; appended, so the suite's own options still apply.
    std::string asan = getenv("ASAN_OPTIONS") == nullptr ? "" : getenv("ASAN_OPTIONS");
    asan += ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>("velkd")};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(VELKD_PATH, argv.data());
    _exit(127);
  }
  return pid;
}

// Up to 5 s for done() to hold, asked each millisecond until it does.
template <typename Done>
bool waitFor(Done done) {
  for (int i = 0; i < 5000; ++i, poll(nullptr, 0, 1)) {
    if (done()) return true;
  }
  return false;
}

// A client of the registration socket. A join's event end comes before the answer, refusals too.
class Client {
 public:
  Client() : cmd_(connectTo(kSock).release()), p_(buf_, sizeof buf_) {}
  ~Client() { close(cmd_); }
  int cmd() const { return cmd_; }
  int evt() const { return evt_.get(); }

  ErrCode join(const std::string& name, int32_t memno, int32_t& granted) {
    return call([&](uint32_t id) { return sendRegReq(p_, cmd_, id, name, memno, {}); },
                [&](uint32_t& id) {
                  evt_ = UniqueFd(recvFd(cmd_));
                  return evt() < 0 ? ERR_READ : recvRegResp(p_, cmd_, id, granted);
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
    if (waitReadable(cmd_, 5000) != 1) return ERR_READ;
    uint32_t id = id_;
    p_.rewind();
    return recv(id);
  }
  int cmd_;  // the transport closes it, and sets it to -1, on failure
  UniqueFd evt_;
  uint32_t id_ = 0;
  uint8_t buf_[kMsgBufferBytes];
  MsgProto p_;
};

MemberBitmap mapOf(std::initializer_list<uint32_t> members) {
  MemberBitmap map{};
  for (auto n : members) addMember(map, n);
  return map;
}

struct Event {
  uint32_t code = 0;
  MemberBitmap map{};
  uint32_t seq = 0;
  bool operator==(const Event&) const = default;
};

// One event record (Event is its part between type and sum) within 5 s; false on timeout, a
// closed pair or a record that is not a well-formed event.
bool readEvent(int fd, Event& e) {
  uint8_t rec[64];
  if (waitReadable(fd, 5000) != 1 || recv(fd, rec, sizeof rec, 0) != 30) return false;
  memcpy(static_cast<void*>(&e), rec + 4, sizeof e);
  const uint32_t type = MSG_EVENT;
  const uint16_t sum = msgChecksum(rec, 28);
  return memcmp(rec, &type, 4) == 0 && memcmp(rec + 28, &sum, 2) == 0;
}

MemberBitmap membersOf(const std::string& group) {
  MemberBitmap map = mapOf({127});
  EXPECT_EQ(Client().members(group, map), ERR_NONE);
  return map;
}

// True when the daemon has closed this end, once what it left queued is read:
// a read of 0 bytes, or a reset when it left records of this end unread.
bool closedByPeer(int fd) {
  uint8_t rec[2048];
  ssize_t n = 1;
  while (n > 0 && waitReadable(fd, 5000) == 1) n = recv(fd, rec, sizeof rec, 0);
  return n <= 0;
}

nlohmann::json admin(const nlohmann::json& request) {
  const UniqueFd fd = connectTo(kAdmin);
  const std::string text = request.dump();
  send(fd.get(), text.data(), text.size(), 0);
  char buf[65536];
  const ssize_t n = waitReadable(fd.get(), 5000) == 1 ? recv(fd.get(), buf, sizeof buf, 0) : 0;
  return nlohmann::json::parse(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
}

// velkd's exit status; -1 when it still runs after 5 s (it is killed then).
int exitOf(std::vector<std::string> args) {
  unlink(kFifo);
  const pid_t pid = spawnVelkd(kStderr, std::move(args));
  int status = 0;
  if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string textOf(const char* path = kStderr) {
  return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
}

// Each case runs against a fresh daemon in the foreground, killed at the end.
class Velkd : public ::testing::Test {
 protected:
  Velkd() { respawn(); }
  ~Velkd() override { stop(); }
  void stop() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void respawn(std::vector<std::string> args = {}, rlimit limit = {}) {
    stop();
    unlink(kFifo);
    args.insert(args.begin(), "-f");
    pid_ = spawnVelkd(kStderr, std::move(args), limit);
    // Registration opens once the killed predecessor's marker is gone; a
    // daemon that exits instead ends the wait at once.
    bool died = false;
    waitFor([&] {
      return access(kFifo, F_OK) == 0 || (died = waitpid(pid_, nullptr, WNOHANG) == pid_);
    });
    if (died || access(kFifo, F_OK) != 0) ADD_FAILURE() << "velkd did not start: " << textOf();
    if (died) pid_ = -1;
  }
  // Never to -1, which would reach every process.
  void sendSignal(int sig) const {
    if (pid_ > 0) kill(pid_, sig);
  }
  void expectServing() {
    Client c;
    c.joinOk("check");
    EXPECT_EQ(c.leave(), ERR_NONE);
  }
  std::string proc(const char* entry) const {
    return "/proc/" + std::to_string(pid_) + "/" + entry;
  }
  long rssKb() const {
    long size = 0, resident = -1;
    std::ifstream(proc("statm")) >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
  }
  size_t openFds() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(proc("fd")), {}));
  }
  // Passes fd over the connection and closes this copy while the daemon is stopped, so that the
  // daemon's close of it is the last; false, the copy closed at once, when the kernel refused it.
  bool passAndClose(int over, int fd) {
    sendSignal(SIGSTOP);
    waitpid(pid_, nullptr, WUNTRACED);
    const bool passed = sendFd(over, fd) == 0;
    EXPECT_TRUE(passed || errno == EPERM) << strerror(errno);
    const linger none{1, 0};
    if (!passed) setsockopt(fd, SOL_SOCKET, SO_LINGER, &none, sizeof none);
    close(fd);
    sendSignal(SIGCONT);
    return passed;
  }
  pid_t pid_ = -1;
};

// A member that stops reading stays registered; read again, its events come without a gap, waiting
// reconfigurations merged into the newest, and a later event after. The churn leaves no descriptor
// or memory behind (a closer thread may still be at work on the last ones, hence the wait).
TEST_F(Velkd, BacklogArrivesInOrderMergedAndCurrentAndChurnLeaksNothing) {
  Client leaver, idle;  // the leaver goes after the churn, for a set the churn never made
  leaver.joinOk("g", 2);
  idle.joinOk("g", 0);
  Event e;
  std::pair<size_t, long> base;  // descriptors and RSS once warmed up
  for (int i = 0; i < 1000; ++i) {
    if (i == 100) base = {openFds(), rssKb()};
    Client churn;
    churn.joinOk("g", 1);
    if (i == 999) {  // every stream starts at 1, whatever the group has seen
      ASSERT_TRUE(readEvent(churn.evt(), e));
      EXPECT_EQ(e, (Event{skgxngeRCFG, mapOf({0, 1, 2}), 1}));
    }
    ASSERT_EQ(churn.leave(), ERR_NONE);
  }
  ASSERT_EQ(leaver.leave(), ERR_NONE);
  EXPECT_TRUE(waitFor([&] { return openFds() <= base.first; })) << openFds() << " open";
  EXPECT_LT(rssKb() - base.second, 256) << "RSS grew from " << base.second << " kB";
  ASSERT_TRUE(admin({{"cmd", "event"}, {"group", "g"}, {"event", "resume"}, {"member", 0}})["ok"]);
  uint32_t seq = 0, outOfTurn = 0;
  MemberBitmap last{};
  while (readEvent(idle.evt(), e) && e.code == skgxngeRCFG) {
    ASSERT_EQ(e.seq, ++seq);
    outOfTurn += e.map != (seq % 2 ? mapOf({0, 2}) : mapOf({0, 1, 2}));  // joins, leaves alternate
    last = e.map;
  }
  EXPECT_EQ(e, (Event{skgxngeRES, mapOf({0}), seq + 1}));
  EXPECT_EQ(last, mapOf({0}));
  EXPECT_EQ(outOfTurn, 1u);  // the merged one, newest of all
  EXPECT_LT(seq, 2001u) << "nothing was merged";
  EXPECT_EQ(waitReadable(idle.evt(), 0), 0);
  EXPECT_EQ(idle.leave(), ERR_NONE);
}

// A member whose queue overflows (suspends and resumes go to it alone) or that closes its event
// end, as one that cannot send a leave does, loses its registration; the other sees only the leave.
TEST_F(Velkd, MemberWhoseQueueOverflowsOrEventEndClosesLosesItsRegistration) {
  for (const bool overflow : {true, false}) {
    SCOPED_TRACE(overflow ? "overflow" : "event end closed");
    Client idle, reader;
    idle.joinOk("g", 0);
    reader.joinOk("g", 1);
    if (!overflow) shutdown(idle.evt(), SHUT_RDWR);
    for (int i = 0; overflow && i < 20000; ++i) {
      const char* event = i % 2 ? "resume" : "suspend";
      ASSERT_TRUE(admin({{"cmd", "event"}, {"group", "g"}, {"event", event}, {"member", 0}})["ok"]);
      if (admin({{"cmd", "members"}, {"group", "g"}})["members"].size() == 1) break;
    }
    Event e;
    ASSERT_TRUE(readEvent(reader.evt(), e) && readEvent(reader.evt(), e));
    EXPECT_EQ(e, (Event{skgxngeRCFG, mapOf({1}), 2}));
    EXPECT_EQ(waitReadable(reader.evt(), 0), 0);
    EXPECT_TRUE(closedByPeer(idle.evt()));
    EXPECT_EQ(idle.leave(), ERR_BAD_STATE);
  }
  expectServing();
}

void sendRaw(int fd, const void* data, size_t len) {
  ASSERT_EQ(send(fd, data, len, MSG_NOSIGNAL), static_cast<ssize_t>(len));
}

// Answers carry the granted or refused number, after the event end. Which
// damage the codec refuses is for its own tests; here, what the daemon does with
// a record it cannot take, and with joiners that never read the answer or vanish.
TEST_F(Velkd, AnswersCarryTheirNumbersAndHostileClientsDisturbNoOneElse) {
  Client a, b, d, e, outsider, silent, unanswered;
  EXPECT_EQ(a.joinOk("g", 0), 0);
  int32_t granted = -1;
  EXPECT_TRUE(b.join("g", 0, granted) == ERR_EXIST && granted == 0) << granted;
  EXPECT_EQ(d.joinOk("g", -1), 1);
  EXPECT_EQ(d.join("h", -1, granted), ERR_IN_USE);
  EXPECT_EQ(e.join(std::string(19, 'n'), -1, granted), ERR_INVALID);
  EXPECT_TRUE(closedByPeer(e.evt()));  // refusals pass an event end too
  ByteData data;
  EXPECT_EQ(a.prdata(9, data), ERR_EXIST);
  EXPECT_EQ(outsider.prdata(0, data), ERR_BAD_STATE);
  uint8_t buf[kMsgBufferBytes];
  MsgProto p(buf, sizeof buf);
  ASSERT_EQ(buildRegResp(p, 1, 0, 0), ERR_NONE);
  const std::pair<const char*, std::vector<uint8_t>> bad[] = {
      {"a daemon's message", std::vector<uint8_t>(buf, buf + p.length())},
      {"oversized", std::vector<uint8_t>(2000, 0x01)},
      {"shorter than a type", {0x01}}};
  for (const auto& [what, record] : bad) {
    SCOPED_TRACE(what);
    Client hostile;
    sendRaw(hostile.cmd(), record.data(), record.size());
    EXPECT_TRUE(closedByPeer(hostile.cmd()));
    expectServing();
  }
  p.rewind();
  ASSERT_EQ(buildRegReq(p, 1, "mid", -1, ByteData()), ERR_NONE);
  sendRaw(unanswered.cmd(), buf, p.length());
  sendRaw(connectTo(kSock).get(), buf, p.length());
  expectServing();
  EXPECT_EQ(membersOf("g"), mapOf({0}));    // d let go of its event end at the refusal
  EXPECT_EQ(membersOf("mid"), mapOf({0}));  // only the unanswered one
}

// A loopback TCP socket whose close lingers for an hour: its peer, kept by
// the caller, reads nothing, so the data queued on it never drains.
int lingeringTcp(UniqueFd& peer) {
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  auto* any = reinterpret_cast<sockaddr*>(&addr);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (bind(listener.get(), any, len) != 0 || listen(listener.get(), 1) != 0 ||
      getsockname(listener.get(), any, &len) != 0 || connect(fd, any, len) != 0)
    return fd;
  peer = UniqueFd(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  const std::vector<char> chunk(65536);
  while (send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT) > 0) continue;
  const linger hour{1, 3600};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hour, sizeof hour);
  return fd;
}

// On the command connection the daemon reads the descriptor; on the event
// end it never does, but the close of its end at the leave releases it.
TEST_F(Velkd, PassedDescriptorsAreRefusedOrClosedWithoutHoldingTheDaemonUp) {
  for (const bool onEventEnd : {false, true}) {
    SCOPED_TRACE(onEventEnd ? "event end" : "command connection");
    Client c;
    if (onEventEnd) c.joinOk("g");
    UniqueFd peer;
    EXPECT_TRUE(!passAndClose(onEventEnd ? c.evt() : c.cmd(), lingeringTcp(peer)) ||
                (onEventEnd ? c.leave() == ERR_NONE : closedByPeer(c.cmd())));
    expectServing();
  }
  Client hostile;
  const size_t before = openFds();
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
  EXPECT_TRUE(!passAndClose(hostile.cmd(), pair[0]) || closedByPeer(hostile.cmd()));
  EXPECT_TRUE(closedByPeer(pair[1]));  // the daemon kept no copy
  close(pair[1]);
  EXPECT_LE(openFds(), before);
}

// Credentials are no descriptors: velkd closes none of its own for their numbers and answers their
// request. The kernel passes them only to sockets that asked, so the test asks on its listener.
TEST_F(Velkd, CredentialsSentToTheDaemonCloseNothingOfItsOwn) {
  const UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
  for (int fd = 0, on = 1; fd < 16; ++fd) {
    const UniqueFd copy(static_cast<int>(syscall(SYS_pidfd_getfd, pidfd.get(), fd, 0)));
    setsockopt(copy.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  }
  Client member, sender;
  member.joinOk("g");
  const size_t before = openFds();
  uint8_t req[kMsgBufferBytes], answer[kMsgBufferBytes];
  MsgProto p(req, sizeof req);
  ASSERT_EQ(buildQgrpReq(p, 1, "g"), ERR_NONE);
  for (uint32_t n = 3; n < 12; n += 2) {  // the daemon's own descriptors' numbers
    iovec iov{req, p.length()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
    msghdr msg{nullptr, 0, &iov, 1, control, sizeof control, 0};
    *CMSG_FIRSTHDR(&msg) = cmsghdr{CMSG_LEN(sizeof(ucred)), SOL_SOCKET, SCM_CREDENTIALS};
    const ucred cred{getpid(), n, n + 1};
    memcpy(CMSG_DATA(CMSG_FIRSTHDR(&msg)), &cred, sizeof cred);
    ASSERT_EQ(sendmsg(sender.cmd(), &msg, 0), static_cast<ssize_t>(p.length()));
    ASSERT_EQ(waitReadable(sender.cmd(), 5000), 1);
    EXPECT_GT(recv(sender.cmd(), answer, sizeof answer, 0), 0) << "closed with " << n;
  }
  EXPECT_EQ(openFds(), before);
  expectServing();
}

// Clients connected as uid (the daemon sees the effective uid) until one is refused.
std::vector<std::unique_ptr<Client>> connectAs(uid_t uid) {
  std::vector<std::unique_ptr<Client>> held;
  MemberBitmap map;
  EXPECT_EQ(seteuid(uid), 0);
  while (held.emplace_back(std::make_unique<Client>())->members("g", map) == ERR_NONE) continue;
  held.pop_back();
  EXPECT_EQ(seteuid(0), 0);
  return held;
}

// With a limit of 128 descriptors (raised from 64) the daemon has room for
// (128 - 32) / 2 connections, 32 of them root's reserve.
TEST_F(Velkd, ConnectionCapsPerUidAndInAllLeaveRootServed) {
  const std::tuple<std::vector<std::string>, rlimit, size_t, size_t> cases[] = {
      {{"--max-per-uid", "3", "--max-connections", "5"}, {}, 3, 2},
      {{"--max-per-uid", "10"}, {64, 128}, 10, 6}};
  for (const auto& [args, limit, first, second] : cases) {
    SCOPED_TRACE(args.size());
    respawn(args, limit);
    const auto nobody = connectAs(65534), other = connectAs(65533);
    EXPECT_EQ(nobody.size(), first);
    EXPECT_EQ(other.size(), second);
    expectServing();
  }
}

// Each record is logged or counted as not logged, never both; and a flood is mostly counted.
// Accepting the flood never stops for a failure: running out of connections to accept is none.
TEST_F(Velkd, ClientCausedLinesAreRateLimitedAndCounted) {
  constexpr size_t kFlood = 1000;
  for (size_t i = 0; i < kFlood; ++i) sendRaw(connectTo(kSock).get(), "", 1);
  size_t written = 0, counted = 0;
  auto account = [&] {
    written = counted = 0;
    std::ifstream log(kStderr);
    for (std::string line; std::getline(log, line);) {
      written += line.find("malformed request") != std::string::npos;
      if (line.find("lines caused by clients not logged") != std::string::npos)
        counted += std::stoul(line.substr(line.find(' ')));
    }
    return written + counted == kFlood;
  };
  EXPECT_TRUE(waitFor(account)) << written << " written, " << counted << " counted";
  EXPECT_LT(written, kFlood / 2);
  EXPECT_EQ(textOf().find("accept4 failed"), std::string::npos);
}

// Idle, or out of descriptors through administrators' connections (never capped), the daemon
// sleeps: over a second it uses next to no CPU (a generous bound; a spin uses it all).
TEST_F(Velkd, IdleOrOutOfDescriptorsTheDaemonUsesNoCpu) {
  auto ticks = [&] {  // user and system time, the 14th and 15th fields
    std::ifstream stat(proc("stat"));
    const std::vector<std::string> f{std::istream_iterator<std::string>(stat), {}};
    return std::stol(f.at(13)) + std::stol(f.at(14));
  };
  for (const bool exhausted : {false, true}) {
    SCOPED_TRACE(exhausted ? "out of descriptors" : "idle");
    if (exhausted) respawn({}, {64, 64});
    Client member, silent;
    member.joinOk("g");
    std::vector<UniqueFd> admins;
    for (int i = 0; i < (exhausted ? 80 : 1); ++i) admins.emplace_back(connectTo(kAdmin));
    UniqueFd waiting(connectTo(kSock));
    const long before = ticks();
    poll(nullptr, 0, 1000);
    EXPECT_LT(ticks() - before, sysconf(_SC_CLK_TCK) / 20);
    admins.clear();
    expectServing();
  }
}

TEST_F(Velkd, GroupAndModeReachTheEndpointsAndBadOnesStopTheStart) {
  stop();
  for (const auto& [option, value] :
       {std::pair{"--mode", "1000"}, {"--mode", "8"}, {"--group", "no-such-group"}})
    EXPECT_EQ(exitOf({"-f", option, value}), 2) << value;
  const group* site = getgrnam("daemon");
  ASSERT_NE(site, nullptr);
  const std::tuple<std::vector<std::string>, mode_t, gid_t> rows[] = {
      {{"--group", "daemon", "--mode", "0660"}, 0660, site->gr_gid},
      {{"--mode", "0777"}, 0777, 0},
      {{"--group", "4321"}, 0666, 4321}};  // a number that names no group
  for (const auto& [args, mode, gid] : rows) {
    SCOPED_TRACE(args.back());
    respawn(args);
    expectServing();  // the marker appears before its mode and group are set
    for (const char* path : {kSock, kFifo}) {
      struct stat st {};
      ASSERT_EQ(stat(path, &st), 0);
      EXPECT_EQ(st.st_mode & 07777, mode) << path;
      EXPECT_EQ(st.st_gid, gid) << path;
    }
  }
}

// A directory in the way of each start step: velkd names the step. Without -f the start returns
// once the socket exists, the daemon (reparented here, found whatever the pid file says) serving;
// it refuses a second instance, ignores other signals and stops at SIGTERM alone.
TEST_F(Velkd, StartNamesTheStepThatFailedOrDetachesAndOnlySigtermStopsItAbortingMembers) {
  const std::pair<const char*, const char*> rows[] = {
      {"/etc/velk/cluster.conf", "load the cluster configuration:"},
      {"/run/velkd/velkd.pid", "open the pid file"},
      {kAdmin, "bind the admin socket"},
      {kSock, "bind the registration socket"},
      {kFifo, "create the registration marker"}};
  stop();
  for (const auto& [path, step] : rows) {
    SCOPED_TRACE(path);
    std::filesystem::remove_all(path);
    std::filesystem::create_directory(path);
    EXPECT_EQ(exitOf({"-f"}), 1);
    const std::string message = std::string("velkd: cannot ") + step + " " + path + ": ";
    EXPECT_NE(textOf().find(message), std::string::npos) << textOf();
    std::filesystem::remove(path);
  }
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  EXPECT_EQ(exitOf({}), 0);
  EXPECT_EQ(access(kSock, F_OK), 0);
  std::ifstream("/proc/self/task/" + std::to_string(gettid()) + "/children") >> pid_;
  ASSERT_GT(pid_, 0);
  EXPECT_EQ(textOf("/run/velkd/velkd.pid"), std::to_string(pid_) + "\n");
  EXPECT_EQ(std::filesystem::read_symlink(proc("fd/2")), "/dev/null");      // the starter's let go
  for (const auto& fd : std::filesystem::directory_iterator(proc("fd"))) {  // and its pipe
    EXPECT_FALSE(std::filesystem::read_symlink(fd).string().starts_with("pipe:")) << fd;
  }
  int status = 0;
  waitpid(spawnVelkd("/dev/null"), &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGRTMIN + 1}) sendSignal(sig);
  expectServing();
  Client members[3];
  for (int i = 0; i < 3; ++i) members[i].joinOk(i < 2 ? "g" : "h");  // two groups
  sendSignal(SIGTERM);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (Client& m : members) {
    Event e;
    while (readEvent(m.evt(), e) && e.code != skgxngeABT) continue;
    EXPECT_EQ(e.code, static_cast<uint32_t>(skgxngeABT));
    EXPECT_TRUE(closedByPeer(m.evt()));
    EXPECT_TRUE(closedByPeer(m.cmd()));
  }
  for (const char* path : {kFifo, kSock, kAdmin}) EXPECT_NE(access(path, F_OK), 0) << path;
}

// velkctl's exit status, and its standard output and error together.
std::pair<int, std::string> velkctl(const std::string& args, const char* prefix = "") {
  const char* out = "/var/tmp/velkctl.out";
  const int status =
      system((prefix + std::string(VELKCTL_PATH " ") + args + " >" + out + " 2>&1").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, textOf(out)};
}

// The trace and dump rows leave the command file as shown, whether or not
// velkd runs: refusals change nothing.
TEST_F(Velkd, VelkctlAnswersOnlyToRootRewritesTheCommandFileAndNamesEveryFailure) {
  stop();
  const auto [status, output] = velkctl("status");
  EXPECT_EQ(status, 1);
  EXPECT_NE(output.find("velkd is not running"), std::string::npos) << output;
  // A stand-in daemon that reads the request, then hangs up or answers nonsense.
  for (const auto& [answer, shown] :
       {std::pair{"", "velkd closed the connection before its answer"},
        {"[1]", "velkd sent an answer velkctl cannot read"}}) {
    UniqueFd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    const sockaddr_un addr{AF_UNIX, "/run/velkd/admin.sock"};
    unlink(kAdmin);
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    std::thread fake([&, answer = std::string(answer)] {
      UniqueFd conn(accept(listener.get(), nullptr, nullptr));
      char request[4096];
      if (recv(conn.get(), request, sizeof request, 0) > 0 && !answer.empty())
        (void)send(conn.get(), answer.data(), answer.size(), 0);
    });
    const auto [status, output] = velkctl("status");
    fake.join();
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find(shown), std::string::npos) << output;
  }
  respawn();
  std::filesystem::remove_all("/var/cluster/velk");  // as on a fresh install
  const struct {
    const char* args;
    int status;
    const char* shown;
    const char* file = nullptr;  // the command file after the row
    const char* prefix = "";
  } rows[] = {{"groups", 1, "permission denied on /run/velkd/admin.sock (velkctl must run as root)",
               nullptr, "setpriv --reuid=65534 --regid=65534 --clear-groups "},
              {"status --json", 0, "\"members\": 0,"},
              {"nodes", 0, "  member  0\n"},
              {"event nosuch resume --member 3", 1, "no such member in group nosuch"},
              {"members \"$(printf 'a\\377')\"", 1, "not UTF-8"},
              {"--json trace on evt MSG --output /var/tmp/t.log", 0, "",
               "TRACE ON EVT MSG\nOUTPUT ON /var/tmp/t.log\n"},
              {"--json trace off", 0, "", "TRACE OFF\n"},
              {"trace on ALL", 1, "", "TRACE OFF\n"},
              {"trace", 106, "", "TRACE OFF\n"},  // a usage error
              {"dump --output relative.log", 1, "", "TRACE OFF\n"},
              {"--json dump --output /var/tmp/d", 0, "", "TRACE OFF\nDUMP /var/tmp/d\n"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const auto [status, output] = velkctl(row.args, row.prefix);
    EXPECT_EQ(status, row.status);
    EXPECT_NE(output.find(row.shown), std::string::npos) << output;
    if (row.file == nullptr) continue;
    EXPECT_EQ(textOf(kCmdFile), row.file);
    if (std::string(row.args).starts_with("--json")) {
      EXPECT_EQ(nlohmann::json::parse(output, nullptr, false),
                (nlohmann::json{{"ok", true}, {"file", kCmdFile}, {"content", row.file}}));
    }
  }
}

// Names full of controls and broken UTF-8, and so many groups that the
// listing outgrows the socket's buffer (about 208 KiB).
TEST_F(Velkd, VelkctlGetsThousandsOfHostileGroupNamesWholeAndEscaped) {
  const rlimit fds{16384, 16384};  // both ends hold two descriptors per member
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &fds), 0);
  respawn();
  const std::string hostile("\x1b\r\n\x07\x7f\xff\xc2\x9b\x01\x02\x03\x04\x05\x06", 14);
  constexpr int kGroups = 2400;
  std::vector<Client> members(kGroups);
  for (int i = 0; i < kGroups; ++i) members[i].joinOk(hostile + std::to_string(1000 + i));
  const std::string shown = escapeText(hostile) + "1000";
  const std::string json = velkctl("--json groups").second;
  const auto answer = nlohmann::json::parse(json, nullptr, false);
  ASSERT_FALSE(answer.is_discarded()) << json.substr(0, 200);
  EXPECT_EQ(answer["groups"].size(), size_t{kGroups});
  EXPECT_EQ(answer["groups"][0]["name"], shown);
  const std::string log = textOf();
  EXPECT_NE(log.find("join group " + shown + " member 0 "), std::string::npos);
  const std::string raw = hostile.substr(0, 2) + hostile.substr(3);  // newlines end lines here
  for (const std::string* out : {&json, &log})
    EXPECT_EQ(out->find_first_of(raw), std::string::npos);
}

}  // namespace
}  // namespace skgxn::test
