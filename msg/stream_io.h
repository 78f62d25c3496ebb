// The STREAMS message operations the transport expects, on Linux
// SOCK_SEQPACKET sockets: one message is one record, a record carrying
// SCM_RIGHTS is a passed descriptor, and a read of 0 bytes is the peer's close.
// A signal never ends any of them early: each retries on EINTR, so a host's
// interval timer cannot separate a request from its answer.
#ifndef MSG_STREAM_IO_H_
#define MSG_STREAM_IO_H_

#include <sys/types.h>

#include <cstddef>

namespace skgxn {

// Sends len bytes as one record. Returns 0 or -1 with errno.
int putMsg(int fd, const void* data, size_t len);

// Outcome of getMsg.
struct GetMsgResult {
  int rc;           // -1 failure (errno set; EBADMSG: a passed descriptor is queued),
                    // 0 whole message, 1 more of the message remains
  ssize_t len;      // bytes placed in the buffer: 0 is the peer's close
  size_t rest = 0;  // bytes of an oversized record not yet accounted for
};

// Reads one record (or the next part of an oversized one) into buf. A record
// that carries a descriptor is reported as EBADMSG and its descriptors closed
// (the record is consumed). The drain of an oversized record never consumes
// the following record.
GetMsgResult getMsg(int fd, void* buf, size_t maxlen);

// The next part of the oversized record whose earlier part is prev (rc 1):
// up to maxlen more bytes of prev.rest, rc 1 while some remain. The kernel
// dropped those bytes when the record was read, so nothing is read here and
// buf is left as it is; the record after the oversized one stays queued.
GetMsgResult getMsgRest(const GetMsgResult& prev, size_t maxlen);

// Receives one passed descriptor: a record with exactly one descriptor and a
// 1-byte payload. Returns the descriptor or -1 with errno; every descriptor
// of a record that does not qualify is closed.
int recvFd(int fd);

// Passes descriptor passed over fd as one record with a 1-byte payload 0.
int sendFd(int fd, int passed);

// Takes one queued record off fd without waiting and drops it, closing any
// descriptors it carried. Returns its length, 0 for the peer's close, or -1
// with errno (EAGAIN: nothing queued).
ssize_t discardMsg(int fd);

// Waits until fd is readable or timeoutMs milliseconds (-1: no limit) have
// passed, as poll() on the readable events; a signal does not shorten the
// wait. Returns 1, 0 on time-out, or -1 with errno.
int waitReadable(int fd, int timeoutMs);

}  // namespace skgxn

#endif  // MSG_STREAM_IO_H_
