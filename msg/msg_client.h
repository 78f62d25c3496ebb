// MsgClient: the process's one connection point to the membership daemon.
// It opens the registration socket, receives the event descriptor, and makes
// the five requests behind the group calls, reading and storing each group's
// descriptors in its GroupState. Callers serialise their group operations.
#ifndef MSG_MSG_CLIENT_H_
#define MSG_MSG_CLIENT_H_

#include <cstdint>
#include <string>

#include "diag/err_code.h"
#include "msg/byte_data.h"
#include "msg/member_bitmap.h"
#include "msg/msg_proto.h"
#include "skgxn.h"

namespace skgxn {

inline constexpr const char* kRegisterPipe = "/var/run/.skgxn_registration";
inline constexpr const char* kRegisterSocket = "/var/run/.skgxn_registration.sock";
inline constexpr int kEventFdWaitMs = 30000;

class MsgClient {
 public:
  // The process-wide client, created on first use and never destroyed.
  static MsgClient& instance();

  // True when the registration marker exists and is a FIFO.
  static bool serverAvailable();

  [[nodiscard]] ErrCode connectMsg(int& cmd);
  [[nodiscard]] ErrCode getEvtFd(int& cmd, int& evt);
  [[nodiscard]] ErrCode disconnect(int& cmd, int& evt);
  static bool isConnected(int cmd, int evt) { return cmd != -1 && evt != -1; }

  [[nodiscard]] ErrCode regRequest(const std::string& name, int32_t& memno, const ByteData& data,
                                   skgxn_group* grp);
  [[nodiscard]] ErrCode drgRequest(skgxn_group* grp);
  [[nodiscard]] ErrCode prdataRequest(skgxn_group* grp, int32_t memno, ByteData& data);
  [[nodiscard]] ErrCode pstatRequest(skgxn_group* grp, uint32_t& event, MemberBitmap& bitmap);
  [[nodiscard]] ErrCode qgrpRequest(const std::string& name, skgxn_group* grp,
                                    MemberBitmap& bitmap);

  // Test seam: the wait for the event descriptor, normally kEventFdWaitMs.
  void setEventFdWaitForTest(int ms) { eventFdWaitMs_ = ms; }

 private:
  MsgClient();

  uint8_t respBuf_[kMsgBufferBytes];
  uint8_t reqBuf_[kMsgBufferBytes];
  MsgProto reqProto_;
  MsgProto respProto_;
  int eventFdWaitMs_ = kEventFdWaitMs;
};

}  // namespace skgxn

#endif  // MSG_MSG_CLIENT_H_
