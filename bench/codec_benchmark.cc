// Codec and transport benchmarks: encode and decode of every message type,
// and the empty status poll against a bare non-blocking recvmsg on the same
// kind of socket. Socket figures are reported as ratios to their floor.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "bench/ratio_reporter.h"
#include "diag/diag_state.h"
#include "msg/msg_catalogue.h"

namespace skgxn {
namespace {

const uint8_t kData[kMaxPrivateData] = {1, 2, 3};
const ByteData kPrivate(kData, 48);
const MemberBitmap kMembers = {0x0f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80};

struct Buffer {
  uint8_t bytes[kMsgBufferBytes] = {};
  MsgProto proto{bytes, sizeof bytes};
};

// A SEQPACKET pair: the client's end non-blocking, as the library keeps it.
struct Pair {
  Pair() {
    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
  }
  ~Pair() {
    close(fds[0]);
    close(fds[1]);
  }
  int fds[2];
};

template <typename Build>
void encode(benchmark::State& state, Build build) {
  Buffer b;
  for (auto _ : state) {
    ErrCode rc = build(b.proto);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(b.bytes);
  }
}

#define ENCODE(name, call)                           \
  void BM_Encode##name(benchmark::State& state) {    \
    encode(state, [](MsgProto& p) { return call; }); \
  }                                                  \
  BENCHMARK(BM_Encode##name)

ENCODE(RegReq, buildRegReq(p, 1, "group_name", 3, kPrivate));
ENCODE(RegResp, buildRegResp(p, 1, 0, 3));
ENCODE(DrgReq, buildDrgReq(p, 1));
ENCODE(DrgResp, buildDrgResp(p, 1, 0));
ENCODE(PrdataReq, buildPrdataReq(p, 1, 3, 9));
ENCODE(PrdataResp, buildPrdataResp(p, 1, 0, kPrivate));
ENCODE(Event, buildEvent(p, 1, kMembers, 9));
ENCODE(QgrpReq, buildQgrpReq(p, 1, "group_name"));
ENCODE(QgrpResp, buildQgrpResp(p, 1, kMembers));

template <typename Build, typename Parse>
void parseRequest(benchmark::State& state, Build build, Parse parse) {
  Buffer b;
  (void)build(b.proto);
  for (auto _ : state) {
    b.proto.rewind();
    ErrCode rc = parse(b.proto);
    benchmark::DoNotOptimize(rc);
  }
}

void BM_DecodeRegReq(benchmark::State& state) {
  uint32_t id;
  std::string name;
  int32_t memno;
  ByteData data;
  parseRequest(
      state, [](MsgProto& p) { return buildRegReq(p, 1, "group_name", 3, kPrivate); },
      [&](MsgProto& p) { return parseRegReq(p, id, name, memno, data); });
}
BENCHMARK(BM_DecodeRegReq);

void BM_DecodeDrgReq(benchmark::State& state) {
  uint32_t id;
  parseRequest(
      state, [](MsgProto& p) { return buildDrgReq(p, 1); },
      [&](MsgProto& p) { return parseDrgReq(p, id); });
}
BENCHMARK(BM_DecodeDrgReq);

void BM_DecodePrdataReq(benchmark::State& state) {
  uint32_t id, seq;
  int32_t memno;
  parseRequest(
      state, [](MsgProto& p) { return buildPrdataReq(p, 1, 3, 9); },
      [&](MsgProto& p) { return parsePrdataReq(p, id, memno, seq); });
}
BENCHMARK(BM_DecodePrdataReq);

void BM_DecodeQgrpReq(benchmark::State& state) {
  uint32_t id;
  std::string name;
  parseRequest(
      state, [](MsgProto& p) { return buildQgrpReq(p, 1, "group_name"); },
      [&](MsgProto& p) { return parseQgrpReq(p, id, name); });
}
BENCHMARK(BM_DecodeQgrpReq);

// Responses and events are decoded off the socket, so each iteration sends
// the prebuilt record from the daemon's end first; BM_FloorSendRecv is the
// same send with a bare recvmsg.
template <typename Decode>
void decodeFromSocket(benchmark::State& state, ErrCode (*build)(MsgProto&), Decode decode) {
  Pair pair;
  Buffer sent;
  (void)build(sent.proto);
  const size_t len = sent.proto.length();
  Buffer b;
  int fd = pair.fds[0];
  for (auto _ : state) {
    send(pair.fds[1], sent.bytes, len, MSG_NOSIGNAL);
    ErrCode rc = decode(b.proto, fd);
    benchmark::DoNotOptimize(rc);
  }
}

void BM_FloorSendRecv(benchmark::State& state) {
  Pair pair;
  Buffer sent;
  (void)buildRegResp(sent.proto, 1, 0, 3);
  const size_t len = sent.proto.length();
  Buffer b;
  for (auto _ : state) {
    send(pair.fds[1], sent.bytes, len, MSG_NOSIGNAL);
    iovec iov{b.bytes, sizeof b.bytes};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    benchmark::DoNotOptimize(recvmsg(pair.fds[0], &msg, 0));
  }
}
BENCHMARK(BM_FloorSendRecv);

void BM_DecodeRegResp(benchmark::State& state) {
  decodeFromSocket(
      state, [](MsgProto& p) { return buildRegResp(p, 1, 0, 3); },
      [](MsgProto& p, int& fd) {
        uint32_t id = 1;
        int32_t memno;
        return recvRegResp(p, fd, id, memno);
      });
}
BENCHMARK(BM_DecodeRegResp);

void BM_DecodeDrgResp(benchmark::State& state) {
  decodeFromSocket(
      state, [](MsgProto& p) { return buildDrgResp(p, 1, 0); },
      [](MsgProto& p, int& fd) {
        uint32_t id = 1;
        return recvDrgResp(p, fd, id);
      });
}
BENCHMARK(BM_DecodeDrgResp);

void BM_DecodePrdataResp(benchmark::State& state) {
  decodeFromSocket(
      state, [](MsgProto& p) { return buildPrdataResp(p, 1, 0, kPrivate); },
      [](MsgProto& p, int& fd) {
        uint32_t id = 1;
        ByteData data;
        return recvPrdataResp(p, fd, id, data);
      });
}
BENCHMARK(BM_DecodePrdataResp);

void BM_DecodeQgrpResp(benchmark::State& state) {
  decodeFromSocket(
      state, [](MsgProto& p) { return buildQgrpResp(p, 1, kMembers); },
      [](MsgProto& p, int& fd) {
        uint32_t id = 1;
        MemberBitmap map;
        return recvQgrpResp(p, fd, id, map);
      });
}
BENCHMARK(BM_DecodeQgrpResp);

void BM_DecodeEvent(benchmark::State& state) {
  uint32_t seq = 0;
  decodeFromSocket(
      state, [](MsgProto& p) { return buildEvent(p, 1, kMembers, 0); },
      [&seq](MsgProto& p, int& fd) {
        uint32_t event;
        MemberBitmap map;
        seq = 0;  // every record carries the same number; accept it as a first event
        return p.pstatReadEvt(fd, event, map.data(), seq);
      });
}
BENCHMARK(BM_DecodeEvent);

// The poll with nothing pending, and its floor: a bare non-blocking recvmsg
// that finds the same empty queue.
void BM_FloorEmptyRecvmsg(benchmark::State& state) {
  Pair pair;
  Buffer b;
  for (auto _ : state) {
    iovec iov{b.bytes, sizeof b.bytes};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    benchmark::DoNotOptimize(recvmsg(pair.fds[0], &msg, MSG_DONTWAIT));
  }
}
BENCHMARK(BM_FloorEmptyRecvmsg);

void BM_PstatReadEvtEmpty(benchmark::State& state) {
  Pair pair;
  Buffer b;
  int fd = pair.fds[0];
  uint32_t event, seq = 0;
  MemberBitmap map;
  for (auto _ : state) {
    ErrCode rc = b.proto.pstatReadEvt(fd, event, map.data(), seq);
    benchmark::DoNotOptimize(rc);
  }
}
BENCHMARK(BM_PstatReadEvtEmpty);

}  // namespace
}  // namespace skgxn

int main(int argc, char** argv) {
  skgxn::loadDiagnostics();
  benchmark::Initialize(&argc, argv);
  skgxn::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  using Clock = skgxn::RatioReporter::Clock;
  reporter.ratio("empty event read", "BM_PstatReadEvtEmpty", "BM_FloorEmptyRecvmsg", 1.2,
                 Clock::kCpu);
  for (const char* name : {"BM_DecodeRegResp", "BM_DecodeDrgResp", "BM_DecodePrdataResp",
                           "BM_DecodeQgrpResp", "BM_DecodeEvent"}) {
    // A response read waits in poll before its recvmsg: one system call more
    // than the floor, plus the decode.
    reporter.ratio(std::string("send and decode ") + (name + 9), name, "BM_FloorSendRecv", 2.0,
                   Clock::kCpu);
  }
  benchmark::Shutdown();
  return 0;
}
