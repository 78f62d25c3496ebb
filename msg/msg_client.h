// MsgClient: the process's one connection point to the membership daemon.
// It opens the registration socket, receives the event descriptor, and makes
// the five requests behind the group calls, each on the MsgLink the group
// layer lends it from the caller's handle. Requests on different links may
// run at once in different threads; one link is used by one thread at a time.
#ifndef MSG_MSG_CLIENT_H_
#define MSG_MSG_CLIENT_H_

#include <cstdint>
#include <mutex>
#include <string>

#include "diag/err_code.h"
#include "msg/byte_data.h"
#include "msg/member_bitmap.h"
#include "msg/msg_proto.h"
#include "msg/shared_values.h"

namespace skgxn {

inline constexpr int kEventFdWaitMs = 30000;

// One membership's connection to the daemon as a request sees it: closed
// descriptors are -1. The group layer keeps these in its handle's state and
// lends them to each request, which may close or replace the descriptors.
struct MsgLink {
  int commandFd = -1;
  int eventFd = -1;
  uint32_t eventSeq = 0;  // last accepted event; 0 before the first
};

class MsgClient {
 public:
  // The process-wide client, created on first use and never destroyed. The
  // first call seeds the id generator (srand48) from the monotonic clock
  // and makes fork() hold the generator's lock, so a child never inherits
  // it taken.
  static MsgClient& instance();

  // True when the registration marker exists and is a FIFO. A missing marker
  // is silent; any other stat failure is reported.
  static bool serverAvailable();

  // Connects a new command descriptor into cmd, which must be -1:
  // ERR_IN_USE (cmd untouched) when it is not, ERR_PERM when the socket's
  // permissions refuse us, ERR_PIPE for every other failure (cmd stays -1).
  // Sets SIGPIPE to ignored for the whole process.
  [[nodiscard]] ErrCode connectMsg(int& cmd);
  // Waits up to the event-descriptor wait for the descriptor the daemon
  // passes on cmd and stores it, non-blocking, in evt. ERR_INVALID when cmd
  // is -1; ERR_POLL on time-out, poll failure or a record that is not a
  // passed descriptor, after closing both. A failure to make evt
  // non-blocking leaves evt at -1 and still returns 0.
  [[nodiscard]] ErrCode getEvtFd(int& cmd, int& evt);
  // Closes each of cmd and evt that is open and sets it to -1; ERR_PIPE when
  // a close failed (the variable is -1 all the same).
  [[nodiscard]] ErrCode disconnect(int& cmd, int& evt);
  static bool isConnected(int cmd, int evt) { return cmd != -1 && evt != -1; }

  // The requests, each on one membership's link.
  // Joins: on success the link holds both descriptors and memno the
  // granted number; memno also takes the number of a refusing response. On
  // failure the link holds no descriptor.
  [[nodiscard]] ErrCode regRequest(const std::string& name, int32_t& memno, const ByteData& data,
                                   MsgLink& link);
  // Leaves: ERR_BAD_STATE when not joined; otherwise both descriptors are
  // closed whatever the daemon answers.
  [[nodiscard]] ErrCode drgRequest(MsgLink& link);
  // Reads member memno's private data into data (replaced only on success);
  // the connection stays as it was except after the daemon closed it.
  [[nodiscard]] ErrCode prdataRequest(MsgLink& link, int32_t memno, ByteData& data);
  // Takes at most one pending event without waiting: none gives 0, event 0
  // and a zeroed bitmap. A failed read sets event 8 and closes both
  // descriptors; a bad event (checksum, sequence) keeps them open.
  [[nodiscard]] ErrCode pstatRequest(MsgLink& link, uint32_t& event, MemberBitmap& bitmap);
  // Asks a group's members on a connection of its own, closed before the
  // return; the bitmap is zeroed on failure. A link that already holds a
  // command descriptor gets ERR_IN_USE; the link is never changed.
  [[nodiscard]] ErrCode qgrpRequest(const std::string& name, const MsgLink& link,
                                    MemberBitmap& bitmap);

  // Test seam: the wait for the event descriptor, normally kEventFdWaitMs.
  void setEventFdWaitForTest(int ms) { eventFdWaitMs_ = ms; }

 private:
  MsgClient();
  // The next request id from lrand48, whose state is the process's one.
  uint32_t nextRequestId();

  // Each request builds and reads its messages in a buffer on its own stack,
  // so no lock is needed around a request and its answer; this one guards
  // only the id generator.
  std::mutex idLock_;
  int eventFdWaitMs_ = kEventFdWaitMs;
};

}  // namespace skgxn

#endif  // MSG_MSG_CLIENT_H_
