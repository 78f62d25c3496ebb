// MsgProto transport: one message at a time between a MsgProto buffer and a
// daemon connection, with the failure outcomes the requests rely on (codes,
// trace lines, and which failures close the caller's descriptor).
#include <errno.h>
#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "diag/report.h"
#include "diag/trace.h"
#include "msg/member_bitmap.h"
#include "msg/msg_proto.h"
#include "msg/shared_values.h"
#include "msg/stream_io.h"
#include "msg/unique_fd.h"

namespace skgxn {

namespace {

// Further reads spent on the rest of an oversized message.
constexpr int kDrainLimit = 100;

ErrCode sendErrCode(int err) {
  switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return ERR_FULL;  // the daemon is behind; the request was not sent
    default:
      return ERR_WRITE;  // EPIPE, ECONNRESET: the daemon has gone; anything else
  }
}

void traceBadFd(const char* op, int fd) {
  char line[96];
  std::snprintf(line, sizeof line, "MsgProto::%s:ERROR bad fd %d\n", op, fd);
  traceLine(line, TRACE_ERR);
}

// Accounts for the rest of an oversized record. The kernel already dropped
// it when the first part was read, so none of these steps reads from the
// socket: a read here would take the next, intact record and lose it.
void drainOversized(GetMsgResult r, size_t maxlen) {
  for (int i = 0; i < kDrainLimit && r.rc > 0; ++i) r = getMsgRest(r, maxlen);
}

void zeroBitmap(uint8_t* bitmap16) {
  if (bitmap16 != nullptr) std::memset(bitmap16, 0, sizeof(MemberBitmap));
}

}  // namespace

ErrCode MsgProto::writeMsg(int& fd) {
  if (fd == -1) {
    traceBadFd("writeMsg", fd);
    rewind();
    return ERR_INVALID;
  }
  const size_t len = length();
  dumpMsg("Write Msg DUMP:", len);
  const int rc = putMsg(fd, beg_, len);
  rewind();
  if (rc == 0) return ERR_NONE;
  const ErrCode code = sendErrCode(errno);
  if (code != ERR_FULL) reportErrno("MsgProto::writeMsg:ERROR writing msg", false);
  return code;
}

ErrCode MsgProto::readRespMsg(int& fd, uint32_t type, uint32_t id) {
  if (fd == -1) {
    traceBadFd("readRespMsg", fd);
    return ERR_INVALID;
  }
  // A signal must not end the wait: the answer would stay queued and be
  // read as the answer to the next request.
  if (waitReadable(fd, -1) < 0) {
    reportErrno("MsgProto::readRespMsg:ERROR polling for msg", false);
    return ERR_POLL;
  }
  rewind();
  const size_t maxlen = static_cast<size_t>(end_ - beg_);
  const GetMsgResult r = getMsg(fd, beg_, maxlen);
  received_ = r.rc < 0 ? 0 : static_cast<size_t>(r.len);
  if (r.rc < 0) {
    reportErrno("MsgProto::readRespMsg:ERROR", false);
    return ERR_READ;
  }
  if (r.rc > 0) {
    drainOversized(r, maxlen);
    traceLine("MsgProto::readRespMsg:ERROR bad large msg rcvd\n", TRACE_ERR);
    return ERR_READ;
  }
  if (r.len <= 0) {
    traceLine("MsgProto::readRespMsg:ERROR Communication failure\n", TRACE_ERR);
    closeFd(fd);
    return ERR_COMM;
  }
  dumpMsg("Read Resp Msg DUMP:", received_);
  return validResponse(type, id) ? ERR_NONE : ERR_READ;
}

ErrCode MsgProto::readMsg(int& fd) {
  if (fd == -1) {
    traceBadFd("readMsg", fd);
    return ERR_INVALID;
  }
  rewind();
  const size_t maxlen = static_cast<size_t>(end_ - beg_);
  const GetMsgResult r = getMsg(fd, beg_, maxlen);
  received_ = r.rc < 0 ? 0 : static_cast<size_t>(r.len);
  if (r.rc < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ERR_EMPTY;
    if (errno == EBADMSG) {
      // getMsg has already taken the passed descriptor off the queue and
      // closed it; nobody here wants it.
      traceLine("MsgProto::readMsg:ERROR ioctl msg on read queue!\n", TRACE_ERR);
    } else {
      reportErrno("had error reading msg", false);
    }
    return ERR_READ;
  }
  if (r.rc > 0) {
    drainOversized(r, maxlen);
    traceLine("MsgProto::readMsg:ERROR bad large msg read!\n", TRACE_ERR);
    return ERR_READ;
  }
  if (r.len == 0) {
    traceLine("MsgProto::readMsg:ERROR Communication failure!\n", TRACE_ERR);
    closeFd(fd);
    return ERR_COMM;
  }
  dumpMsg("Read Msg DUMP:", received_);
  return ERR_NONE;
}

ErrCode MsgProto::pstatReadEvt(int& fd, uint32_t& event, uint8_t* bitmap16, uint32_t& seq) {
  const ErrCode readRc = readMsg(fd);
  if (readRc == ERR_EMPTY) {
    event = 0;
    zeroBitmap(bitmap16);
    return ERR_NONE;
  }
  if (readRc != ERR_NONE) {
    char line[96];
    std::snprintf(line, sizeof line, "MsgProto::pstatReadEvt:ERROR reading event on fd %d\n", fd);
    traceLine(line, TRACE_ERR);
    event = kEventAbort;
    zeroBitmap(bitmap16);
    return readRc;
  }
  const uint32_t prev = seq;
  uint32_t type = 0;
  Steps parse;
  parse.then([&] { return readMsgType(type); })
      .then([&] { return type == MSG_EVENT ? ERR_NONE : ERR_INVALID; })
      .then([&] { return readData(sizeof event, &event); })
      .then([&] { return readData(sizeof(MemberBitmap), bitmap16); })
      .then([&] { return readData(sizeof seq, &seq); })
      .then([&] { return readChecksum(); });
  // The sequence is judged even when the parse failed, and a break in it
  // outranks the parse's own code: the caller must learn that events were lost.
  if (prev != 0 && seq != prev + 1) {
    zeroBitmap(bitmap16);
    return ERR_BAD_SEQ;
  }
  if (!parse.ok()) zeroBitmap(bitmap16);
  return parse.result();
}

ErrCode setNonBlocking(int& fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1) {
    closeFd(fd);
    reportErrno("fcntl(F_GETFL)", true);
    return ERR_PIPE;
  }
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    closeFd(fd);
    reportErrno("fcntl(F_SETFL) with O_NONBLOCK", true);
    return ERR_PIPE;
  }
  return ERR_NONE;
}

}  // namespace skgxn
