// MsgProto field operations: the typed fields of daemon messages appended to
// and taken from a caller's buffer, the byte-sum checksum and message dumps.
// The send and receive side of MsgProto is in msg_transport.cc.
#include "msg/msg_proto.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "diag/trace.h"

namespace skgxn {

namespace {

bool validType(uint32_t type) { return type >= MSG_REG_REQ && type <= MSG_QGRP_RESP; }

}  // namespace

uint16_t msgChecksum(const void* start, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(start);
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += bytes[i];
  return static_cast<uint16_t>(sum);
}

MsgProto::MsgProto(void* buffer, size_t size)
    : beg_(static_cast<uint8_t*>(buffer)), cur_(beg_), end_(beg_ + size) {}

ErrCode MsgProto::writeData(size_t n, const void* src) {
  if (src == nullptr || cur_ > end_) return ERR_INVALID;
  if (static_cast<size_t>(end_ - cur_) < n) return ERR_SIZE;
  std::memcpy(cur_, src, n);
  cur_ += n;
  return ERR_NONE;
}

ErrCode MsgProto::readData(size_t n, void* dst) {
  if (dst == nullptr || cur_ > end_) return ERR_INVALID;
  if (static_cast<size_t>(end_ - cur_) < n) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "MsgProto::readData:ERROR BUF TOO SMALL - bufsize=%zu, begBuf=%td, endBuf=%td\n",
                  n, cur_ - beg_, end_ - beg_);
    traceLine(line, TRACE_ERR);
    return ERR_SIZE;
  }
  std::memcpy(dst, cur_, n);
  cur_ += n;
  return ERR_NONE;
}

ErrCode MsgProto::writeMsgType(uint32_t type) {
  if (!validType(type)) {
    char line[80];
    std::snprintf(line, sizeof line, "MsgProto::writeMsgType:ERROR invalid msgType %u\n", type);
    traceLine(line, TRACE_ERR);
    return ERR_INVALID;
  }
  return writeData(sizeof type, &type);
}

ErrCode MsgProto::readMsgType(uint32_t& type) {
  char line[96];
  const ErrCode rc = readData(sizeof type, &type);
  if (rc != ERR_NONE) {
    std::snprintf(line, sizeof line, "MsgProto::readMsgType:ERROR reading msgType: %s\n",
                  errorName(rc));
    traceLine(line, TRACE_ERR);
    return rc;
  }
  if (!validType(type)) {
    std::snprintf(line, sizeof line, "MsgProto::readMsgType:ERROR invalid msgType %u\n", type);
    traceLine(line, TRACE_ERR);
    return ERR_INVALID;
  }
  return ERR_NONE;
}

ErrCode MsgProto::writeString(const std::string& text) {
  return writeData(text.size() + 1, text.c_str());
}

ErrCode MsgProto::readString(std::string& text) {
  text.clear();
  bool terminated = cur_ >= end_;
  while (cur_ < end_) {
    const uint8_t byte = *cur_++;
    if (byte == 0) {
      terminated = true;
      break;
    }
    text += static_cast<char>(byte);
  }
  if (!terminated) {
    char line[160];
    std::snprintf(
        line, sizeof line,
        "MsgProto::readString:ERROR BUF TOO SMALL - bufsize=%zu, begBuf=%td, endBuf=%td\n",
        text.size(), cur_ - beg_, end_ - beg_);
    traceLine(line, TRACE_ERR);
    return ERR_SIZE;
  }
  return ERR_NONE;
}

ErrCode MsgProto::writeVarData(uint32_t len, const void* src) {
  if ((len > 0 && src == nullptr) || cur_ > end_) return ERR_INVALID;
  if (static_cast<size_t>(end_ - cur_) < sizeof len + size_t{len}) return ERR_SIZE;
  std::memcpy(cur_, &len, sizeof len);
  cur_ += sizeof len;
  if (len > 0) std::memcpy(cur_, src, len);
  cur_ += len;
  return ERR_NONE;
}

ErrCode MsgProto::readVarData(uint32_t& len, void* dst, uint32_t maxsize) {
  if (dst == nullptr || cur_ > end_) return ERR_INVALID;
  const ErrCode rc = readData(sizeof len, &len);
  if (rc != ERR_NONE) return rc;
  if (len > maxsize || static_cast<size_t>(end_ - cur_) < len) {
    char line[192];
    std::snprintf(line, sizeof line,
                  "MsgProto::readVarData:ERROR BUF TOO SMALL - maxsize=%ubufsize=%u, begBuf=%td, "
                  "endBuf=%td\n",
                  maxsize, len, cur_ - beg_, end_ - beg_);
    traceLine(line, TRACE_ERR);
    return ERR_SIZE;
  }
  std::memcpy(dst, cur_, len);
  cur_ += len;
  return ERR_NONE;
}

ErrCode MsgProto::writeChecksum() {
  if (cur_ < beg_) return ERR_INVALID;
  const uint16_t sum = msgChecksum(beg_, static_cast<size_t>(cur_ - beg_));
  return writeData(sizeof sum, &sum);
}

ErrCode MsgProto::readChecksum() {
  if (cur_ < beg_) return ERR_INVALID;
  // The sum covers every byte consumed so far, so it is taken before the
  // stored value moves the cursor.
  const uint16_t expected = msgChecksum(beg_, static_cast<size_t>(cur_ - beg_));
  uint16_t stored = 0;
  const ErrCode rc = readData(sizeof stored, &stored);
  if (rc != ERR_NONE) return rc;
  return stored == expected ? ERR_NONE : ERR_CHECKSUM;
}

ErrCode MsgProto::peekData(const uint8_t*& pos, void* dst, size_t n) const {
  if (dst == nullptr) return ERR_INVALID;
  if (pos == nullptr) pos = cur_;
  if (pos > end_) return ERR_INVALID;
  if (static_cast<size_t>(end_ - pos) < n) return ERR_SIZE;
  std::memcpy(dst, pos, n);
  pos += n;
  return ERR_NONE;
}

bool MsgProto::validResponse(uint32_t type, uint32_t id) const {
  const uint8_t* pos = nullptr;
  uint32_t seenType = 0;
  uint32_t seenId = 0;
  Steps peek;
  peek.then([&] { return peekData(pos, &seenType, sizeof seenType); }).then([&] {
    return peekData(pos, &seenId, sizeof seenId);
  });
  char line[160];
  if (!peek.ok()) {
    std::snprintf(line, sizeof line,
                  "MsgProto::validResponse:ERROR %s when peeking at msg buffer\n",
                  errorName(peek.result()));
    traceLine(line, TRACE_ERR);
    return false;
  }
  if (seenType == type && seenId == id) return true;
  std::snprintf(line, sizeof line,
                "MsgProto::validResponse:ERROR saw type=%u,id=%u BUT looking for type=%u,id=%u\n",
                seenType, seenId, type, id);
  traceLine(line, TRACE_ERR);
  return false;
}

void MsgProto::dumpMsg(const char* label, size_t n) const {
  if (!traceEnabled(TRACE_MSG) || !traceEnabled(TRACE_VER)) return;
  std::string text = "MsgProto::dumpMsg:MSG ";
  if (label != nullptr) text += label;
  const size_t shown = std::min(n, static_cast<size_t>(end_ - beg_));
  char piece[4];
  for (size_t k = 0; k < shown; ++k) {
    if (k % 16 == 0) text += "\n    ";
    std::snprintf(piece, sizeof piece, "%02x ", beg_[k]);
    text += piece;
  }
  text += '\n';
  traceLine(text, TRACE_MSG);
}

}  // namespace skgxn
