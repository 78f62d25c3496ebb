// Fuzz target over every decoder: the daemon's request parsers and the field
// operations on an arbitrary buffer, and the client's response decoders on
// arbitrary records arriving over a socket pair.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "diag/diag_state.h"
#include "diag/trace.h"
#include "msg/msg_catalogue.h"

namespace skgxn {
namespace {

void parseAsRequests(const uint8_t* data, size_t size) {
  uint8_t buf[kMsgBufferBytes];
  const size_t n = size < sizeof buf ? size : sizeof buf;
  std::memcpy(buf, data, n);
  std::memset(buf + n, 0, sizeof buf - n);
  MsgProto p(buf, n);
  uint32_t type = 0, id = 0, seq = 0;
  int32_t memno = 0;
  std::string name;
  ByteData bytes;
  (void)peekMsgType(p, type);
  (void)parseRegReq(p, id, name, memno, bytes);
  p.rewind();
  (void)parseDrgReq(p, id);
  p.rewind();
  (void)parsePrdataReq(p, id, memno, seq);
  p.rewind();
  (void)parseQgrpReq(p, id, name);
  p.rewind();
  (void)p.validResponse(MSG_REG_RESP, id);
  p.dumpMsg("Read Msg DUMP:", n + 16);
  uint8_t area[kMaxPrivateData];
  uint32_t len = 0;
  (void)p.readString(name);
  (void)p.readVarData(len, area, kMaxPrivateData);
  (void)p.readChecksum();
}

// Sends data as one record on a fresh pair and runs decode on the other end.
template <typename Decode>
void overSocket(const uint8_t* data, size_t size, Decode&& decode) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return;
  int sndbuf = 1 << 16;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  send(fds[1], data, size, MSG_NOSIGNAL);
  close(fds[1]);
  uint8_t buf[kMsgBufferBytes] = {};
  MsgProto p(buf, sizeof buf);
  int fd = fds[0];
  decode(p, fd);
  if (fd != -1) close(fd);
}

uint32_t firstWord(const uint8_t* data, size_t size) {
  uint32_t word = 0;
  if (size >= 8) std::memcpy(&word, data + 4, 4);
  return word;
}

}  // namespace
}  // namespace skgxn

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  skgxn::loadDiagnostics();
  skgxn::traceMask.store(skgxn::TRACE_ERR | skgxn::TRACE_MSG | skgxn::TRACE_VER);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace skgxn;
  parseAsRequests(data, size);
  // The record's own id is the expected one, so decoding goes past the
  // id check and into the fields.
  const uint32_t id = firstWord(data, size);
  overSocket(data, size, [id](MsgProto& p, int& fd) {
    uint32_t got = id;
    int32_t memno = 0;
    (void)recvRegResp(p, fd, got, memno);
  });
  overSocket(data, size, [id](MsgProto& p, int& fd) {
    uint32_t got = id;
    (void)recvDrgResp(p, fd, got);
  });
  overSocket(data, size, [id](MsgProto& p, int& fd) {
    uint32_t got = id;
    ByteData bytes;
    (void)recvPrdataResp(p, fd, got, bytes);
    (void)bytes.hexText();
  });
  overSocket(data, size, [id](MsgProto& p, int& fd) {
    uint32_t got = id;
    MemberBitmap map{};
    (void)recvQgrpResp(p, fd, got, map);
  });
  return 0;
}
