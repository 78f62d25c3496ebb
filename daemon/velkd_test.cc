// velkd end to end, with raw protocol clients built from the message codec:
// membership policy, event streams, hostile clients, descriptor and memory
// hygiene, and the clean stop. Runs as root in a private mount namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "msg/msg_catalogue.h"
#include "msg/stream_io.h"
#include "msg/unique_fd.h"
#include "skgxn.h"

namespace skgxn {
namespace {

constexpr const char* kFifo = "/var/run/.skgxn_registration";
constexpr const char* kSock = "/var/run/.skgxn_registration.sock";
constexpr const char* kAdmin = "/run/velkd/admin.sock";

int connectTo(const char* path) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strcpy(addr.sun_path, path);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

bool readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

// True when the daemon has closed this end: a read of 0 bytes, or a reset
// when it left records of this end unread.
bool closedByPeer(int fd) {
  uint8_t rec[2048];
  return readable(fd, 5000) && recv(fd, rec, sizeof rec, 0) <= 0;
}

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

// A client speaking the wire protocol directly.
class Client {
 public:
  Client() : cmd_(connectTo(kSock)), p_(buf_, sizeof buf_) {}
  ~Client() {
    if (cmd_ >= 0) close(cmd_);
    if (evt_ >= 0) close(evt_);
  }
  int cmd() const { return cmd_; }
  int evt() const { return evt_; }

  // The event end must arrive before the answer, refusals included.
  ErrCode join(const std::string& name, int32_t memno, int32_t& granted,
               const ByteData& data = {}) {
    return call([&](uint32_t id) { return sendRegReq(p_, cmd_, id, name, memno, data); },
                [&](uint32_t& id) {
                  const int evt = recvFd(cmd_);
                  if (evt < 0) return ERR_READ;
                  if (evt_ >= 0) close(evt_);
                  evt_ = evt;
                  return recvRegResp(p_, cmd_, id, granted);
                });
  }
  int32_t joinOk(const std::string& name, int32_t memno = -1, const ByteData& data = {}) {
    int32_t granted = -9;
    EXPECT_EQ(join(name, memno, granted, data), ERR_NONE);
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
  // The group's members as the daemon answers a query for them.
  MemberBitmap members(const std::string& name) {
    MemberBitmap map = mapOf({127});
    EXPECT_EQ(call([&](uint32_t id) { return sendQgrpReq(p_, cmd_, id, name); },
                   [&](uint32_t& id) { return recvQgrpResp(p_, cmd_, id, map); }),
              ERR_NONE);
    return map;
  }
  // One event record, waiting up to 5 s. False on timeout, a closed pair or
  // a record that is not a well-formed event.
  bool event(Event& e) {
    uint8_t rec[64];
    if (!readable(evt_, 5000) || recv(evt_, rec, sizeof rec, 0) != 30) return false;
    uint32_t type = 0;
    uint16_t sum = 0;
    memcpy(&type, rec, 4);
    memcpy(&e.code, rec + 4, 4);
    memcpy(e.map.data(), rec + 8, 16);
    memcpy(&e.seq, rec + 24, 4);
    memcpy(&sum, rec + 28, 2);
    return type == MSG_EVENT && sum == msgChecksum(rec, 28);
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

nlohmann::json admin(const nlohmann::json& request) {
  const int fd = connectTo(kAdmin);
  const std::string text = request.dump();
  send(fd, text.data(), text.size(), 0);
  char buf[65536];
  const ssize_t n = recv(fd, buf, sizeof buf, 0);
  close(fd);
  return nlohmann::json::parse(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
}

constexpr const char* kStderr = "/var/tmp/velkd.stderr";

// Starts velkd -f with args, under a descriptor limit when limit.rlim_max is set.
pid_t spawnVelkd(const char* stderrPath, std::vector<std::string> args = {}, rlimit limit = {}) {
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open(stderrPath, O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    if (limit.rlim_max > 0) setrlimit(RLIMIT_NOFILE, &limit);
    // A sanitizer build's freed-memory quarantine would read as growth in
    // the RSS check; plain builds ignore the variable.
    // Appended, so options the suite runs with (leak checks) still apply.
    const char* inherited = getenv("ASAN_OPTIONS");
    const std::string options = std::string(inherited == nullptr ? "" : inherited) +
                                ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
    args.insert(args.begin(), {"velkd", "-f"});
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

// Each case runs against a fresh daemon in the foreground, killed at the end.
class Velkd : public ::testing::Test {
 protected:
  Velkd() { respawn(); }
  ~Velkd() override { stop(); }
  void stop() {
    if (pid_ > 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
  }
  void respawn(std::vector<std::string> args = {}, rlimit limit = {}) {
    stop();
    // A killed predecessor leaves its marker behind; waiting for it would
    // return before this daemon listens.
    unlink(kFifo);
    pid_ = spawnVelkd(kStderr, std::move(args), limit);
    struct stat st;
    waitFor([&] { return stat(kFifo, &st) == 0; });
  }
  // A normal client can still join and leave.
  void expectServing() {
    Client c;
    int32_t granted = -1;
    ASSERT_EQ(c.join("check", -1, granted), ERR_NONE);
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
  // Passes fd over the connection and closes this copy while the daemon is
  // stopped, so that the daemon's close of it is the last. False when the
  // kernel refused it for the daemon; this copy is then closed at once.
  bool passAndClose(int over, int fd) {
    kill(pid_, SIGSTOP);
    waitpid(pid_, nullptr, WUNTRACED);
    const bool passed = sendFd(over, fd) == 0;
    EXPECT_TRUE(passed || errno == EPERM) << strerror(errno);
    const linger none{1, 0};
    if (!passed) setsockopt(fd, SOL_SOCKET, SO_LINGER, &none, sizeof none);
    close(fd);
    kill(pid_, SIGCONT);
    return passed;
  }
  pid_t pid_ = -1;
};

// --- Membership policy ---

TEST_F(Velkd, JoinAnswersCarryTheGrantedOrRefusedNumberAfterTheEventEnd) {
  Client a, b, c, d, e;
  EXPECT_EQ(a.joinOk("g", 0), 0);
  EXPECT_EQ(b.joinOk("g", 17), 17);
  int32_t granted = 0;
  EXPECT_EQ(c.join("g", 17, granted), ERR_EXIST);
  EXPECT_EQ(granted, 17);
  EXPECT_EQ(d.joinOk("g", -1), 1);
  EXPECT_EQ(d.join("h", -1, granted), ERR_IN_USE);
  EXPECT_EQ(e.join(std::string(19, 'n'), -1, granted), ERR_INVALID);
  EXPECT_TRUE(closedByPeer(e.evt()));  // refusals pass an event end too
}

TEST_F(Velkd, GroupOf128RefusesNextWithMaximumMembers) {
  std::vector<Client> members(128);
  for (int i = 0; i < 128; ++i) ASSERT_EQ(members[i].joinOk("full"), i);
  int32_t granted = 0;
  EXPECT_EQ(Client().join("full", -1, granted), ERR_MAX_MEMBERS);
}

TEST_F(Velkd, PrivateDataQueryAndLeaveAnswerMembersAndOutsiders) {
  uint8_t full[96];
  for (int i = 0; i < 96; ++i) full[i] = static_cast<uint8_t>(255 - i);
  Client a, b, outsider;
  a.joinOk("g", 0, ByteData());
  b.joinOk("g", 5, ByteData(full, 96));
  ByteData got(full, 3);
  ASSERT_EQ(b.prdata(0, got), ERR_NONE);
  EXPECT_EQ(got.size(), 0u);
  ASSERT_EQ(a.prdata(5, got), ERR_NONE);
  EXPECT_EQ(std::string(got.data(), got.data() + got.size()), std::string(full, full + 96));
  EXPECT_EQ(a.prdata(9, got), ERR_EXIST);
  EXPECT_EQ(outsider.prdata(0, got), ERR_BAD_STATE);
  EXPECT_EQ(outsider.members("g"), mapOf({0, 5}));
  EXPECT_EQ(outsider.members("nothing"), MemberBitmap{});
  EXPECT_EQ(b.leave(), ERR_NONE);
  EXPECT_EQ(b.leave(), ERR_BAD_STATE);
  EXPECT_EQ(outsider.members("g"), mapOf({0}));
  EXPECT_EQ(b.joinOk("g", 5), 5);
}

// --- Event streams ---

TEST_F(Velkd, EveryStreamStartsAtOneWithTheJoinerAndCountsOnByOne) {
  Client a, b, c;
  a.joinOk("g");
  b.joinOk("g");
  Event e;
  ASSERT_TRUE(b.event(e));
  EXPECT_EQ(e, (Event{skgxngeRCFG, mapOf({0, 1}), 1}));
  c.joinOk("g");
  ASSERT_EQ(b.leave(), ERR_NONE);
  for (auto [m, count] : {std::pair{&a, 4u}, std::pair{&c, 2u}}) {
    uint32_t expect = 1;
    while (readable(m->evt(), 0)) {
      ASSERT_TRUE(m->event(e));
      EXPECT_EQ(e.seq, expect++);
    }
    EXPECT_EQ(e, (Event{skgxngeRCFG, mapOf({0, 2}), count}));
  }
}

TEST_F(Velkd, KilledMemberDisappearsForSurvivors) {
  Client survivor;
  survivor.joinOk("g", 0);
  const pid_t child = fork();
  if (child == 0) {
    Client doomed;
    doomed.joinOk("g", 1);
    for (;;) pause();
  }
  Event e;
  while (survivor.event(e) && e.map != mapOf({0, 1})) {
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_EQ(e.map, mapOf({0, 1}));
  ASSERT_TRUE(survivor.event(e));
  EXPECT_EQ(e, (Event{skgxngeRCFG, mapOf({0}), 3}));
}

TEST_F(Velkd, NonReaderGetsMergedEventsEndingInCurrentSet) {
  Client idle;
  idle.joinOk("g", 0);
  for (int i = 0; i < 1000; ++i) {
    Client churn;
    churn.joinOk("g", 1);
    ASSERT_EQ(churn.leave(), ERR_NONE);
  }
  // Reading lets the daemon refill the pair from its queue; the stream ends
  // with the current member set.
  uint32_t expect = 1;
  Event e;
  do {
    ASSERT_TRUE(idle.event(e));
    ASSERT_EQ(e.seq, expect++);
  } while (e.map != mapOf({0}) || e.seq == 1);
  EXPECT_LT(e.seq, 2001u) << "nothing was merged";
}

// The administrator's suspend and resume go to member 0 alone until its
// queue overflows; member 1 only sees member 0 leave.
TEST_F(Velkd, OverflowingMemberLosesRegistrationOthersStayServed) {
  Client idle, reader;
  idle.joinOk("g", 0);
  reader.joinOk("g", 1);
  bool lost = false;
  for (int i = 0; i < 20000 && !lost; ++i) {
    ASSERT_TRUE(admin({{"cmd", "event"},
                       {"group", "g"},
                       {"event", i % 2 ? "resume" : "suspend"},
                       {"member", 0}})["ok"]);
    lost = admin({{"cmd", "members"}, {"group", "g"}})["members"].size() == 1;
  }
  ASSERT_TRUE(lost);
  uint32_t expect = 1;
  Event e;
  while (readable(idle.evt(), 0) && idle.event(e)) {
    ASSERT_EQ(e.seq, expect++);
    EXPECT_TRUE(e.seq <= 2 || e.code == (e.seq % 2 ? skgxngeSUS : skgxngeRES)) << e.seq;
  }
  EXPECT_TRUE(closedByPeer(idle.evt()) || !readable(idle.evt(), 0));
  EXPECT_EQ(idle.leave(), ERR_BAD_STATE);
  ASSERT_TRUE(reader.event(e) && reader.event(e));
  EXPECT_EQ(e, (Event{skgxngeRCFG, mapOf({1}), 2}));
  EXPECT_FALSE(readable(reader.evt(), 0));
  expectServing();
}

// --- Hostile clients ---

void sendRaw(int fd, const void* data, size_t len) {
  ASSERT_EQ(send(fd, data, len, MSG_NOSIGNAL), static_cast<ssize_t>(len));
}

TEST_F(Velkd, MalformedRecordsCloseOnlyThatConnection) {
  Client member;
  member.joinOk("g", 0);
  uint8_t good[kMsgBufferBytes];
  MsgProto p(good, sizeof good);
  ASSERT_EQ(buildDrgReq(p, 1), ERR_NONE);
  const std::vector<uint8_t> leave(good, good + p.length());
  std::vector<uint8_t> badSum = leave;
  badSum.back() ^= 0x55;
  p.rewind();
  ASSERT_EQ(buildRegResp(p, 1, 0, 0), ERR_NONE);
  const std::pair<const char*, std::vector<uint8_t>> bad[] = {
      {"garbage", {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03}},
      {"bad checksum", badSum},
      {"truncated", std::vector<uint8_t>(leave.begin(), leave.end() - 3)},
      {"a daemon's message", std::vector<uint8_t>(good, good + p.length())},
      {"oversized", std::vector<uint8_t>(2000, 0x01)},
      {"shorter than a type", {0x01}}};
  for (const auto& [what, record] : bad) {
    SCOPED_TRACE(what);
    Client hostile;
    sendRaw(hostile.cmd(), record.data(), record.size());
    EXPECT_TRUE(closedByPeer(hostile.cmd()));
    expectServing();
  }
  EXPECT_EQ(Client().members("g"), mapOf({0}));
}

// A loopback TCP socket whose close lingers for an hour: its peer, kept by
// the caller, reads nothing, so the data queued on it never drains.
int lingeringTcp(UniqueFd& peer) {
  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  auto* any = reinterpret_cast<sockaddr*>(&addr);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (bind(listener.get(), any, len) != 0 || listen(listener.get(), 1) != 0 ||
      getsockname(listener.get(), any, &len) != 0 || connect(fd, any, len) != 0) {
    return fd;
  }
  peer = UniqueFd(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  const std::vector<char> chunk(65536);
  while (send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT) > 0) {
  }
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
    if (passAndClose(onEventEnd ? c.evt() : c.cmd(), lingeringTcp(peer))) {
      EXPECT_TRUE(onEventEnd ? c.leave() == ERR_NONE : closedByPeer(c.cmd()));
    }
    expectServing();
  }
  Client hostile;
  const size_t before = openFds();
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
  if (passAndClose(hostile.cmd(), pair[0])) {
    EXPECT_TRUE(closedByPeer(hostile.cmd()));
  }
  EXPECT_TRUE(closedByPeer(pair[1]));  // the daemon kept no copy
  EXPECT_LE(openFds(), before);
  close(pair[1]);
}

TEST_F(Velkd, SilentAndVanishingClientsHoldNothingUp) {
  Client silent, unanswered;
  expectServing();
  uint8_t req[kMsgBufferBytes];
  MsgProto p(req, sizeof req);
  ASSERT_EQ(buildRegReq(p, 1, "mid", -1, ByteData()), ERR_NONE);
  sendRaw(unanswered.cmd(), req, p.length());
  expectServing();
  const int fd = connectTo(kSock);
  sendRaw(fd, req, p.length());
  close(fd);
  expectServing();
  EXPECT_EQ(Client().members("mid"), mapOf({0}));  // only the unanswered one
}

// Connections opened with uid as the effective uid, which is what the
// daemon sees, until it refuses one.
std::vector<UniqueFd> connectAs(uid_t uid) {
  std::vector<UniqueFd> held;
  uint8_t req[kMsgBufferBytes], answer[kMsgBufferBytes];
  MsgProto p(req, sizeof req);
  EXPECT_EQ(buildQgrpReq(p, 1, "g"), ERR_NONE);
  EXPECT_EQ(seteuid(uid), 0);
  for (;;) {
    UniqueFd fd(connectTo(kSock));
    if (send(fd.get(), req, p.length(), 0) < 0 || !readable(fd.get(), 5000) ||
        recv(fd.get(), answer, sizeof answer, 0) <= 0) {
      break;
    }
    held.push_back(std::move(fd));
  }
  EXPECT_EQ(seteuid(0), 0);
  return held;
}

// With a limit of 128 descriptors (raised from 64) the daemon has room for
// (128 - 32) / 2 connections, 32 of them root's reserve.
TEST_F(Velkd, ConnectionCapsPerUidAndInAllLeaveRootServed) {
  const struct {
    std::vector<std::string> args;
    rlimit limit;
    size_t first, second;
  } cases[] = {{{"--max-per-uid", "3", "--max-connections", "5"}, {}, 3, 2},
               {{"--max-per-uid", "10"}, {64, 128}, 10, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size());
    respawn(c.args, c.limit);
    const auto nobody = connectAs(65534), other = connectAs(65533);
    EXPECT_EQ(nobody.size(), c.first);
    EXPECT_EQ(other.size(), c.second);
    expectServing();
  }
}

// Each record is logged or counted as not logged, never both; and a
// flood is mostly counted.
TEST_F(Velkd, ClientCausedLinesAreRateLimitedAndCounted) {
  constexpr size_t kFlood = 1000;
  for (size_t i = 0; i < kFlood; ++i) {
    const int fd = connectTo(kSock);
    sendRaw(fd, "", 1);
    close(fd);
  }
  size_t written = 0, counted = 0;
  auto account = [&] {
    written = counted = 0;
    std::ifstream log(kStderr);
    for (std::string line; std::getline(log, line);) {
      written += line.find("malformed request") != std::string::npos;
      if (line.find("lines caused by clients not logged") != std::string::npos) {
        counted += std::stoul(line.substr(line.find(' ')));
      }
    }
    return written + counted == kFlood;
  };
  EXPECT_TRUE(waitFor(account)) << written << " written, " << counted << " counted";
  EXPECT_LT(written, kFlood / 2);
}

TEST_F(Velkd, ThousandJoinLeaveCyclesLeakNoDescriptorsOrMemory) {
  Client probe;
  // The probe's answered queries show the daemon has handled every earlier
  // close; a closer thread (on kernels that cannot refuse passed
  // descriptors) may still be at work on them, hence the wait.
  auto cycles = [&](int n) {
    for (int i = 0; i < n; ++i) {
      Client c;
      c.joinOk("cycle");
      EXPECT_EQ(c.leave(), ERR_NONE);
    }
    probe.members("cycle");
    probe.members("cycle");
  };
  cycles(100);
  const size_t fds = openFds();
  const long rss = rssKb();
  cycles(1000);
  EXPECT_TRUE(waitFor([&] { return openFds() <= fds; })) << openFds() << " open, " << fds;
  EXPECT_LT(rssKb() - rss, 256) << "RSS grew from " << rss << " kB";
}

// --- Start and stop ---

TEST_F(Velkd, SecondInstanceIsRefusedOtherSignalsIgnoredAndSigtermAbortsAndRemovesEndpoints) {
  int status = 0;
  waitpid(spawnVelkd("/dev/null"), &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGRTMIN + 1}) {
    SCOPED_TRACE(sig);
    kill(pid_, sig);
    expectServing();
  }
  Client a, b, c;
  a.joinOk("g");
  b.joinOk("g");
  c.joinOk("h");
  kill(pid_, SIGTERM);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (Client* m : {&a, &b, &c}) {
    Event e;
    while (m->event(e) && e.code != skgxngeABT) {
    }
    EXPECT_EQ(e.code, static_cast<uint32_t>(skgxngeABT));
    EXPECT_TRUE(closedByPeer(m->evt()));
    EXPECT_TRUE(closedByPeer(m->cmd()));
  }
  struct stat st;
  for (const char* path : {kFifo, kSock, kAdmin}) EXPECT_NE(stat(path, &st), 0) << path;
}

}  // namespace
}  // namespace skgxn
