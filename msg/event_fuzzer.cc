// Fuzz target over the event read: arbitrary records, split from the input,
// arrive on a socket pair and are read with pstatReadEvt until the queue is
// empty or the connection is gone, carrying the sequence number along.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "diag/diag_state.h"
#include "diag/trace.h"
#include "msg/msg_catalogue.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  skgxn::loadDiagnostics();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace skgxn;
  FuzzedDataProvider input(data, size);
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  int sndbuf = 1 << 18;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  uint32_t seq = input.ConsumeIntegral<uint32_t>();
  const bool closeAfter = input.ConsumeBool();
  for (int records = 0; records < 16 && input.remaining_bytes() > 0; ++records) {
    const std::vector<uint8_t> record =
        input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(1, 3000));
    if (send(fds[1], record.data(), record.size(), MSG_NOSIGNAL) < 0) break;
  }
  if (closeAfter) close(fds[1]);
  uint8_t buf[kMsgBufferBytes] = {};
  MsgProto p(buf, sizeof buf);
  int fd = fds[0];
  for (int reads = 0; reads < 20 && fd != -1; ++reads) {
    uint32_t event = 0;
    MemberBitmap map{};
    const ErrCode rc = p.pstatReadEvt(fd, event, map.data(), seq);
    if (rc == ERR_NONE && event == 0) break;
  }
  if (fd != -1) close(fd);
  if (!closeAfter) close(fds[1]);
  return 0;
}
