// MsgProto: the codec and transport for daemon messages. It moves a cursor
// through a buffer owned by someone else, appending or taking typed fields,
// and sends or receives the buffer as one message on a descriptor.
// Not for the message layouts themselves: those are in msg_catalogue.h.
#ifndef MSG_MSG_PROTO_H_
#define MSG_MSG_PROTO_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "diag/err_code.h"

namespace skgxn {

inline constexpr size_t kMsgBufferBytes = 1024;

enum MsgType : uint32_t {
  MSG_REG_REQ = 1,
  MSG_REG_RESP = 2,
  MSG_DRG_REQ = 3,
  MSG_DRG_RESP = 4,
  MSG_PRDATA_REQ = 5,
  MSG_PRDATA_RESP = 6,
  MSG_EVENT = 7,
  MSG_QGRP_REQ = 8,
  MSG_QGRP_RESP = 9,
};

// 16-bit byte sum of n bytes at start.
uint16_t msgChecksum(const void* start, size_t n);

class MsgProto {
 public:
  MsgProto(void* buffer, size_t size);

  // Field operations; each returns ERR_NONE, ERR_INVALID, ERR_SIZE or
  // ERR_CHECKSUM and moves the cursor only on success (see each).
  [[nodiscard]] ErrCode writeData(size_t n, const void* src);
  [[nodiscard]] ErrCode readData(size_t n, void* dst);
  [[nodiscard]] ErrCode writeMsgType(uint32_t type);
  [[nodiscard]] ErrCode readMsgType(uint32_t& type);
  [[nodiscard]] ErrCode writeString(const std::string& text);
  [[nodiscard]] ErrCode readString(std::string& text);
  [[nodiscard]] ErrCode writeVarData(uint32_t len, const void* src);
  [[nodiscard]] ErrCode readVarData(uint32_t& len, void* dst, uint32_t maxsize);
  [[nodiscard]] ErrCode writeChecksum();
  [[nodiscard]] ErrCode readChecksum();
  // Copies n bytes from pos (set to the cursor when null) without moving the
  // cursor; advances pos.
  [[nodiscard]] ErrCode peekData(const uint8_t*& pos, void* dst, size_t n) const;
  // True when the message at the cursor starts with type and id.
  bool validResponse(uint32_t type, uint32_t id) const;
  // Traces a hex dump of the first n bytes when TRACE_MSG and TRACE_VER are on.
  void dumpMsg(const char* label, size_t n) const;

  // Transport. Each takes the caller's descriptor variable and sets it to -1
  // when it closes it (the peer has gone).
  // Sends begin..cursor as one message; the cursor returns to the start.
  [[nodiscard]] ErrCode writeMsg(int& fd);
  // Waits without limit, through signals, for the response and checks its
  // type and id.
  [[nodiscard]] ErrCode readRespMsg(int& fd, uint32_t type, uint32_t id);
  // Reads one pending message without waiting (ERR_EMPTY when none).
  [[nodiscard]] ErrCode readMsg(int& fd);
  // Reads at most one MSG_EVENT; no message pending gives event 0 and a
  // zeroed bitmap. Checks that seq follows the previous one.
  [[nodiscard]] ErrCode pstatReadEvt(int& fd, uint32_t& event, uint8_t* bitmap16, uint32_t& seq);

  void rewind() { cur_ = beg_; }
  uint8_t* begin() const { return beg_; }
  uint8_t* cursor() const { return cur_; }
  uint8_t* end() const { return end_; }
  size_t length() const { return static_cast<size_t>(cur_ - beg_); }
  // Length of the message last received (0 before any).
  size_t received() const { return received_; }

 private:
  uint8_t* beg_;
  uint8_t* cur_;
  uint8_t* end_;
  size_t received_ = 0;
};

// Puts fd into non-blocking mode. On failure fd is closed and set to -1, the
// failure reported as severe, and the result is ERR_PIPE.
[[nodiscard]] ErrCode setNonBlocking(int& fd);

}  // namespace skgxn

#endif  // MSG_MSG_PROTO_H_
