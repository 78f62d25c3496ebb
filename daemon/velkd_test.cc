// velkd end to end, with raw protocol clients built from the message codec:
// membership policy, event streams, hostile clients, descriptor and memory
// hygiene, and the clean stop. Runs as root in a private mount namespace.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "msg/msg_catalogue.h"
#include "msg/stream_io.h"
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
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) == 1;
}

// The daemon, started in the foreground; always killed at the end.
class Daemon {
 public:
  Daemon() {
    // A killed predecessor leaves its marker behind; waiting for it would
    // return before this daemon listens.
    unlink(kFifo);
    pid_ = fork();
    if (pid_ == 0) {
      const int err = open("/var/tmp/velkd.stderr", O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(err, 2);
      // A sanitizer build's freed-memory quarantine would read as growth in
      // the RSS check; plain builds ignore the variable.
      setenv("ASAN_OPTIONS", "quarantine_size_mb=0:thread_local_quarantine_size_kb=0", 0);
      execl(VELKD_PATH, "velkd", "-f", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Bounded wait for the marker, which the daemon creates last.
    struct stat st;
    for (int i = 0; i < 5000 && stat(kFifo, &st) != 0; ++i) {
      timespec ms{0, 1000000};
      nanosleep(&ms, nullptr);
    }
  }
  ~Daemon() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  // SIGTERM and wait; the exit status.
  int stop() {
    int status = 0;
    kill(pid_, SIGTERM);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  size_t openFds() const {
    size_t n = 0;
    DIR* d = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str());
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
  }
  long rssKb() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    long value = 0;
    while (in >> key) {
      if (key == "VmRSS:") {
        in >> value;
        return value;
      }
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
};

// A client speaking the wire protocol directly.
class Client {
 public:
  Client() : cmd_(connectTo(kSock)), proto_(buf_, sizeof buf_) {}
  ~Client() {
    if (cmd_ >= 0) close(cmd_);
    if (evt_ >= 0) close(evt_);
  }
  int cmd() const { return cmd_; }
  int evt() const { return evt_; }

  ErrCode join(const std::string& name, int32_t memno, int32_t& granted,
               const ByteData& data = ByteData()) {
    proto_.rewind();
    if (sendRegReq(proto_, cmd_, ++id_, name, memno, data) != ERR_NONE) return ERR_WRITE;
    const int evt = recvFd(cmd_);
    if (evt < 0) return ERR_READ;
    if (evt_ >= 0) close(evt_);
    evt_ = evt;
    uint32_t id = id_;
    proto_.rewind();
    return recvRegResp(proto_, cmd_, id, granted);
  }
  int32_t joinOk(const std::string& name, int32_t memno = -1, const ByteData& data = ByteData()) {
    int32_t granted = -9;
    EXPECT_EQ(join(name, memno, granted, data), ERR_NONE);
    return granted;
  }
  ErrCode leave() {
    proto_.rewind();
    if (sendDrgReq(proto_, cmd_, ++id_) != ERR_NONE) return ERR_WRITE;
    uint32_t id = id_;
    proto_.rewind();
    return recvDrgResp(proto_, cmd_, id);
  }
  ErrCode prdata(int32_t memno, ByteData& data) {
    proto_.rewind();
    if (sendPrdataReq(proto_, cmd_, ++id_, memno, 0) != ERR_NONE) return ERR_WRITE;
    uint32_t id = id_;
    proto_.rewind();
    return recvPrdataResp(proto_, cmd_, id, data);
  }
  ErrCode qgrp(const std::string& name, MemberBitmap& map) {
    proto_.rewind();
    if (sendQgrpReq(proto_, cmd_, ++id_, name) != ERR_NONE) return ERR_WRITE;
    uint32_t id = id_;
    proto_.rewind();
    return recvQgrpResp(proto_, cmd_, id, map);
  }
  // One event record, waiting up to 5 s. False on timeout or a closed pair.
  bool event(uint32_t& code, MemberBitmap& map, uint32_t& seq) {
    if (!readable(evt_, 5000)) return false;
    uint8_t rec[64];
    if (recv(evt_, rec, sizeof rec, 0) != 30) return false;
    uint32_t type = 0;
    memcpy(&type, rec, 4);
    memcpy(&code, rec + 4, 4);
    memcpy(map.data(), rec + 8, 16);
    memcpy(&seq, rec + 24, 4);
    uint16_t sum = 0;
    memcpy(&sum, rec + 28, 2);
    return type == MSG_EVENT && sum == msgChecksum(rec, 28);
  }
  // True when the daemon has closed this end (read of 0 bytes).
  static bool closedByPeer(int fd) {
    if (!readable(fd, 5000)) return false;
    uint8_t rec[2048];
    return recv(fd, rec, sizeof rec, 0) == 0;
  }

 private:
  int cmd_;
  int evt_ = -1;
  uint32_t id_ = 0;
  uint8_t buf_[kMsgBufferBytes];
  MsgProto proto_;
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

MemberBitmap mapOf(std::initializer_list<uint32_t> members) {
  MemberBitmap map{};
  for (auto n : members) addMember(map, n);
  return map;
}

class Velkd : public ::testing::Test {
 protected:
  // A normal client can still join, ask and leave.
  void expectServing() {
    Client c;
    int32_t granted = -1;
    ASSERT_EQ(c.join("check", -1, granted), ERR_NONE);
    EXPECT_EQ(c.leave(), ERR_NONE);
  }
  Daemon daemon;
};

// --- Membership policy ---

TEST_F(Velkd, AskedNumberIsGrantedAndTakenOneRefusedWithIt) {
  Client a, b;
  EXPECT_EQ(a.joinOk("g", 17), 17);
  int32_t granted = 0;
  EXPECT_EQ(b.join("g", 17, granted), ERR_EXIST);
  EXPECT_EQ(granted, 17);
}

TEST_F(Velkd, OtherNumbersGetLowestFree) {
  Client a, b, c;
  EXPECT_EQ(a.joinOk("g", 0), 0);
  EXPECT_EQ(b.joinOk("g", 2), 2);
  EXPECT_EQ(c.joinOk("g", -1), 1);
}

TEST_F(Velkd, GroupOf128RefusesNextWithMaximumMembers) {
  std::vector<std::unique_ptr<Client>> members;
  for (int i = 0; i < 128; ++i) {
    members.push_back(std::make_unique<Client>());
    ASSERT_EQ(members.back()->joinOk("full"), i);
  }
  Client extra;
  int32_t granted = 0;
  EXPECT_EQ(extra.join("full", -1, granted), ERR_MAX_MEMBERS);
}

TEST_F(Velkd, LongNameIsRefusedAndRefusalStillPassesEventEnd) {
  Client c;
  int32_t granted = 0;
  EXPECT_EQ(c.join(std::string(19, 'n'), -1, granted), ERR_INVALID);
  EXPECT_GE(c.evt(), 0);
  EXPECT_TRUE(Client::closedByPeer(c.evt()));
}

TEST_F(Velkd, SecondJoinOnConnectionIsInUse) {
  Client c;
  c.joinOk("g");
  int32_t granted = 0;
  EXPECT_EQ(c.join("h", -1, granted), ERR_IN_USE);
}

TEST_F(Velkd, PrivateDataRoundTripsEmptyAndFull) {
  uint8_t full[96];
  for (int i = 0; i < 96; ++i) full[i] = static_cast<uint8_t>(255 - i);
  Client a, b;
  a.joinOk("g", 0, ByteData());
  b.joinOk("g", 1, ByteData(full, 96));
  ByteData got(full, 3);
  ASSERT_EQ(b.prdata(0, got), ERR_NONE);
  EXPECT_EQ(got.size(), 0u);
  ASSERT_EQ(a.prdata(1, got), ERR_NONE);
  ASSERT_EQ(got.size(), 96u);
  EXPECT_EQ(memcmp(got.data(), full, 96), 0);
}

TEST_F(Velkd, PrivateDataOfMissingMemberOrBeforeJoinIsRefused) {
  Client a, outsider;
  a.joinOk("g", 0);
  ByteData got;
  EXPECT_EQ(a.prdata(9, got), ERR_EXIST);
  EXPECT_EQ(outsider.prdata(0, got), ERR_BAD_STATE);
}

TEST_F(Velkd, GroupQueryNeedsNoJoin) {
  Client a, b, asker;
  a.joinOk("g", 3);
  b.joinOk("g", 4);
  MemberBitmap map{};
  ASSERT_EQ(asker.qgrp("g", map), ERR_NONE);
  EXPECT_EQ(map, mapOf({3, 4}));
  ASSERT_EQ(asker.qgrp("nothing", map), ERR_NONE);
  EXPECT_EQ(map, MemberBitmap{});
}

TEST_F(Velkd, LeaveEndsMembershipAndAllowsRejoin) {
  Client c, asker;
  c.joinOk("g", 5);
  EXPECT_EQ(c.leave(), ERR_NONE);
  EXPECT_EQ(c.leave(), ERR_BAD_STATE);
  MemberBitmap map = mapOf({1});
  ASSERT_EQ(asker.qgrp("g", map), ERR_NONE);
  EXPECT_EQ(map, MemberBitmap{});
  EXPECT_EQ(c.joinOk("g", 5), 5);
}

// --- Event streams ---

TEST_F(Velkd, JoinersFirstEventIsNumberOneWithItself) {
  Client a, b;
  a.joinOk("g", 0);
  b.joinOk("g", 1);
  uint32_t code = 0, seq = 0;
  MemberBitmap map{};
  ASSERT_TRUE(b.event(code, map, seq));
  EXPECT_EQ(code, static_cast<uint32_t>(skgxngeRCFG));
  EXPECT_EQ(seq, 1u);
  EXPECT_EQ(map, mapOf({0, 1}));
}

TEST_F(Velkd, EveryStreamNumbersConsecutively) {
  Client a, b, c;
  a.joinOk("g");
  b.joinOk("g");
  c.joinOk("g");
  ASSERT_EQ(b.leave(), ERR_NONE);
  for (Client* m : {&a, &c}) {
    uint32_t code = 0, seq = 0, expect = 1;
    MemberBitmap map{};
    while (readable(m->evt(), 0)) {
      ASSERT_TRUE(m->event(code, map, seq));
      EXPECT_EQ(seq, expect++);
    }
    EXPECT_EQ(map, mapOf({0, 2}));
  }
}

TEST_F(Velkd, KilledMemberDisappearsForSurvivors) {
  Client survivor;
  survivor.joinOk("g", 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    Client doomed;
    int32_t granted = -1;
    const char ok = doomed.join("g", 1, granted) == ERR_NONE ? 1 : 0;
    (void)!write(ready[1], &ok, 1);
    pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  uint32_t code = 0, seq = 0;
  MemberBitmap map{};
  do {
    ASSERT_TRUE(survivor.event(code, map, seq));
  } while (map != mapOf({0}) || seq < 3);
  EXPECT_EQ(code, static_cast<uint32_t>(skgxngeRCFG));
  EXPECT_EQ(seq, 3u);
  close(ready[0]);
  close(ready[1]);
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
  uint32_t code = 0, seq = 0, expect = 1;
  MemberBitmap map{};
  do {
    ASSERT_TRUE(idle.event(code, map, seq));
    ASSERT_EQ(seq, expect++);
  } while (map != mapOf({0}) || seq == 1);
  EXPECT_LT(seq, 2001u) << "nothing was merged";
}

TEST_F(Velkd, OverflowingMemberLosesRegistrationOthersStayServed) {
  Client idle, reader;
  idle.joinOk("g", 0);
  reader.joinOk("g", 1);
  bool lost = false;
  for (int i = 0; i < 20000 && !lost; ++i) {
    ASSERT_TRUE(admin({{"cmd", "event"}, {"group", "g"}, {"event", i % 2 ? "resume" : "suspend"},
                       {"member", 0}})["ok"]);
    lost = admin({{"cmd", "members"}, {"group", "g"}})["members"].size() == 1;
  }
  ASSERT_TRUE(lost);
  uint32_t code = 0, seq = 0, expect = 1;
  MemberBitmap map{};
  while (readable(idle.evt(), 0)) {
    if (!idle.event(code, map, seq)) break;
    ASSERT_EQ(seq, expect++);
  }
  EXPECT_TRUE(Client::closedByPeer(idle.evt()) || !readable(idle.evt(), 0));
  EXPECT_EQ(idle.leave(), ERR_BAD_STATE);
  do {
    ASSERT_TRUE(reader.event(code, map, seq));
  } while (map != mapOf({1}));
  expectServing();
}

TEST_F(Velkd, AdminEventReachesOneMember) {
  Client a, b;
  a.joinOk("g", 0);
  b.joinOk("g", 1);
  ASSERT_TRUE(admin({{"cmd", "event"}, {"group", "g"}, {"event", "suspend"}, {"member", 1}})["ok"]);
  uint32_t code = 0, seq = 0;
  MemberBitmap map{};
  ASSERT_TRUE(b.event(code, map, seq));
  ASSERT_TRUE(b.event(code, map, seq));
  EXPECT_EQ(code, static_cast<uint32_t>(skgxngeSUS));
  EXPECT_EQ(seq, 2u);
  ASSERT_TRUE(a.event(code, map, seq));
  ASSERT_TRUE(a.event(code, map, seq));
  EXPECT_EQ(code, static_cast<uint32_t>(skgxngeRCFG));
  EXPECT_FALSE(readable(a.evt(), 0));
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
  const size_t len = p.length();
  std::vector<std::vector<uint8_t>> bad;
  bad.push_back({0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03});          // garbage
  bad.push_back(std::vector<uint8_t>(good, good + len));
  bad.back()[len - 1] ^= 0x55;                                        // bad checksum
  bad.push_back(std::vector<uint8_t>(good, good + len - 3));          // truncated
  p.rewind();
  ASSERT_EQ(buildRegResp(p, 1, 0, 0), ERR_NONE);
  bad.push_back(std::vector<uint8_t>(good, good + p.length()));       // a daemon's message
  bad.push_back(std::vector<uint8_t>(2000, 0x01));                    // oversized
  bad.push_back({0x01});                                              // shorter than a type
  for (const auto& record : bad) {
    Client hostile;
    sendRaw(hostile.cmd(), record.data(), record.size());
    EXPECT_TRUE(Client::closedByPeer(hostile.cmd()));
    expectServing();
  }
  MemberBitmap map{};
  Client asker;
  ASSERT_EQ(asker.qgrp("g", map), ERR_NONE);
  EXPECT_EQ(map, mapOf({0}));
}

TEST_F(Velkd, MalformedRecordFromMemberEndsItsMembership) {
  Client a, b;
  a.joinOk("g", 0);
  b.joinOk("g", 1);
  const uint8_t junk[] = {9, 9, 9};
  sendRaw(b.cmd(), junk, sizeof junk);
  EXPECT_TRUE(Client::closedByPeer(b.cmd()));
  uint32_t code = 0, seq = 0;
  MemberBitmap map{};
  do {
    ASSERT_TRUE(a.event(code, map, seq));
  } while (map != mapOf({0}));
}

TEST_F(Velkd, DescriptorSentToDaemonIsRefusedAndClosed) {
  Client hostile;
  const int before = static_cast<int>(daemon.openFds());
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
  ASSERT_EQ(sendFd(hostile.cmd(), pair[0]), 0);
  close(pair[0]);
  EXPECT_TRUE(Client::closedByPeer(hostile.cmd()));
  EXPECT_TRUE(Client::closedByPeer(pair[1]));  // the daemon kept no copy
  EXPECT_LE(static_cast<int>(daemon.openFds()), before);
  close(pair[1]);
  expectServing();
}

TEST_F(Velkd, SilentClientDoesNotHoldUpOthers) {
  Client silent;
  expectServing();
  Client closer;
  uint8_t req[kMsgBufferBytes];
  MsgProto p(req, sizeof req);
  ASSERT_EQ(buildRegReq(p, 1, "g", -1, ByteData()), ERR_NONE);
  sendRaw(closer.cmd(), req, p.length());
  expectServing();
}

TEST_F(Velkd, ClientClosingMidJoinLeavesNoMember) {
  {
    const int fd = connectTo(kSock);
    uint8_t req[kMsgBufferBytes];
    MsgProto p(req, sizeof req);
    ASSERT_EQ(buildRegReq(p, 1, "mid", -1, ByteData()), ERR_NONE);
    sendRaw(fd, req, p.length());
    close(fd);
  }
  expectServing();
  MemberBitmap map = mapOf({0});
  Client asker;
  ASSERT_EQ(asker.qgrp("mid", map), ERR_NONE);
  EXPECT_EQ(map, MemberBitmap{});
}

TEST_F(Velkd, ThousandJoinLeaveCyclesLeakNoDescriptorsOrMemory) {
  auto cycle = [] {
    Client c;
    c.joinOk("cycle");
    EXPECT_EQ(c.leave(), ERR_NONE);
  };
  // Counts are taken while a probe's answered query shows the daemon has
  // handled every earlier close.
  auto settled = [this](size_t& fds, long& rss) {
    Client probe;
    MemberBitmap map{};
    ASSERT_EQ(probe.qgrp("cycle", map), ERR_NONE);
    ASSERT_EQ(probe.qgrp("cycle", map), ERR_NONE);
    fds = daemon.openFds();
    rss = daemon.rssKb();
  };
  for (int i = 0; i < 100; ++i) cycle();
  size_t fdsBefore = 0, fdsAfter = 0;
  long rssBefore = 0, rssAfter = 0;
  settled(fdsBefore, rssBefore);
  for (int i = 0; i < 1000; ++i) cycle();
  settled(fdsAfter, rssAfter);
  EXPECT_EQ(fdsAfter, fdsBefore);
  EXPECT_LT(rssAfter - rssBefore, 256) << "RSS grew from " << rssBefore << " kB";
}

// --- Start and stop ---

TEST_F(Velkd, SecondInstanceRefusesAndLeavesSocketAlone) {
  const pid_t second = fork();
  if (second == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execl(VELKD_PATH, "velkd", "-f", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(second, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  expectServing();
}

TEST_F(Velkd, SigtermSendsAbortToEveryMemberAndRemovesEndpoints) {
  Client a, b, c;
  a.joinOk("g");
  b.joinOk("g");
  c.joinOk("h");
  const int status = daemon.stop();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (Client* m : {&a, &b, &c}) {
    uint32_t code = 0, seq = 0;
    MemberBitmap map{};
    while (m->event(code, map, seq) && code != skgxngeABT) {
    }
    EXPECT_EQ(code, static_cast<uint32_t>(skgxngeABT));
    EXPECT_TRUE(Client::closedByPeer(m->evt()));
    EXPECT_TRUE(Client::closedByPeer(m->cmd()));
  }
  struct stat st;
  EXPECT_NE(stat(kFifo, &st), 0);
  EXPECT_NE(stat(kSock, &st), 0);
  EXPECT_NE(stat(kAdmin, &st), 0);
}

}  // namespace
}  // namespace skgxn
