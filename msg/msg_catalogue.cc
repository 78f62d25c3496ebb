// The daemon protocol's messages, for both ends: builders, senders, the
// client's response decoders and the daemon's request decoders, each a chain
// of MsgProto field operations in wire order.
#include "msg/msg_catalogue.h"

namespace skgxn {

namespace {

ErrCode expectType(uint32_t seen, uint32_t wanted) {
  return seen == wanted ? ERR_NONE : ERR_INVALID;
}

template <typename T>
ErrCode put(MsgProto& p, const T& value) {
  return p.writeData(sizeof value, &value);
}

template <typename T>
ErrCode take(MsgProto& p, T& value) {
  return p.readData(sizeof value, &value);
}

// A daemon status travels as a signed 32-bit ErrCode; a refusal becomes the
// request's result once the rest of the response has been parsed.
ErrCode withStatus(const Steps& parse, int32_t status) {
  if (parse.ok() && status != 0) return static_cast<ErrCode>(status);
  return parse.result();
}

// Every builder starts at the buffer's start: a build that failed half-way
// leaves its cursor behind, and the next message must not be appended to it.
Steps startMessage(MsgProto& p, uint32_t type) {
  p.rewind();
  Steps s;
  s.then([&] { return p.writeMsgType(type); });
  return s;
}

// Reads the response to request id: waits for it, then the type and id.
Steps startResponse(MsgProto& p, int& fd, uint32_t type, uint32_t& id) {
  uint32_t seen = 0;
  Steps s;
  s.then([&] { return p.readRespMsg(fd, type, id); })
      .then([&] { return p.readMsgType(seen); })
      .then([&] { return expectType(seen, type); })
      .then([&] { return take(p, id); });
  return s;
}

// The type and id of a request already in the buffer.
Steps startRequest(MsgProto& p, uint32_t type, uint32_t& id) {
  uint32_t seen = 0;
  Steps s;
  s.then([&] { return p.readMsgType(seen); })
      .then([&] { return expectType(seen, type); })
      .then([&] { return take(p, id); });
  return s;
}

}  // namespace

ErrCode buildRegReq(MsgProto& p, uint32_t id, const std::string& name, int32_t memno,
                    const ByteData& data) {
  return startMessage(p, MSG_REG_REQ)
      .then([&] { return put(p, id); })
      .then([&] { return p.writeString(name); })
      .then([&] { return put(p, memno); })
      .then([&] { return p.writeVarData(static_cast<uint32_t>(data.size()), data.data()); })
      .then([&] { return p.writeChecksum(); })
      .result();
}

ErrCode buildRegResp(MsgProto& p, uint32_t id, int32_t status, int32_t memno) {
  return startMessage(p, MSG_REG_RESP)
      .then([&] { return put(p, id); })
      .then([&] { return put(p, status); })
      .then([&] { return put(p, memno); })
      .then([&] { return p.writeChecksum(); })
      .result();
}

ErrCode buildDrgReq(MsgProto& p, uint32_t id) {
  return startMessage(p, MSG_DRG_REQ)
      .then([&] { return put(p, id); })
      .then([&] { return p.writeChecksum(); })
      .result();
}

ErrCode buildDrgResp(MsgProto& p, uint32_t id, int32_t status) {
  return startMessage(p, MSG_DRG_RESP)
      .then([&] { return put(p, id); })
      .then([&] { return put(p, status); })
      .then([&] { return p.writeChecksum(); })
      .result();
}

ErrCode buildPrdataReq(MsgProto& p, uint32_t id, int32_t memno, uint32_t seq) {
  return startMessage(p, MSG_PRDATA_REQ)
      .then([&] { return put(p, id); })
      .then([&] { return put(p, memno); })
      .then([&] { return put(p, seq); })
      .then([&] { return p.writeChecksum(); })
      .result();
}

ErrCode buildPrdataResp(MsgProto& p, uint32_t id, int32_t status, const ByteData& data) {
  return startMessage(p, MSG_PRDATA_RESP)
      .then([&] { return put(p, id); })
      .then([&] { return put(p, status); })
      .then([&] { return p.writeVarData(static_cast<uint32_t>(data.size()), data.data()); })
      .then([&] { return p.writeChecksum(); })
      .result();
}

ErrCode buildEvent(MsgProto& p, uint32_t event, const MemberBitmap& bitmap, uint32_t seq) {
  return startMessage(p, MSG_EVENT)
      .then([&] { return put(p, event); })
      .then([&] { return put(p, bitmap); })
      .then([&] { return put(p, seq); })
      .then([&] { return p.writeChecksum(); })
      .result();
}

ErrCode buildQgrpReq(MsgProto& p, uint32_t id, const std::string& name) {
  return startMessage(p, MSG_QGRP_REQ)
      .then([&] { return put(p, id); })
      .then([&] { return p.writeString(name); })
      .then([&] { return p.writeChecksum(); })
      .result();
}

ErrCode buildQgrpResp(MsgProto& p, uint32_t id, const MemberBitmap& bitmap) {
  return startMessage(p, MSG_QGRP_RESP)
      .then([&] { return put(p, id); })
      .then([&] { return put(p, bitmap); })
      .then([&] { return p.writeChecksum(); })
      .result();
}

ErrCode sendRegReq(MsgProto& p, int& fd, uint32_t id, const std::string& name, int32_t memno,
                   const ByteData& data) {
  Steps s;
  return s.then([&] { return buildRegReq(p, id, name, memno, data); })
      .then([&] { return p.writeMsg(fd); })
      .result();
}

ErrCode sendRegResp(MsgProto& p, int& fd, uint32_t id, int32_t status, int32_t memno) {
  Steps s;
  return s.then([&] { return buildRegResp(p, id, status, memno); })
      .then([&] { return p.writeMsg(fd); })
      .result();
}

ErrCode sendDrgReq(MsgProto& p, int& fd, uint32_t id) {
  Steps s;
  return s.then([&] { return buildDrgReq(p, id); }).then([&] { return p.writeMsg(fd); }).result();
}

ErrCode sendDrgResp(MsgProto& p, int& fd, uint32_t id, int32_t status) {
  Steps s;
  return s.then([&] { return buildDrgResp(p, id, status); })
      .then([&] { return p.writeMsg(fd); })
      .result();
}

ErrCode sendPrdataReq(MsgProto& p, int& fd, uint32_t id, int32_t memno, uint32_t seq) {
  Steps s;
  return s.then([&] { return buildPrdataReq(p, id, memno, seq); })
      .then([&] { return p.writeMsg(fd); })
      .result();
}

ErrCode sendPrdataResp(MsgProto& p, int& fd, uint32_t id, int32_t status, const ByteData& data) {
  Steps s;
  return s.then([&] { return buildPrdataResp(p, id, status, data); })
      .then([&] { return p.writeMsg(fd); })
      .result();
}

ErrCode sendEvent(MsgProto& p, int& fd, uint32_t event, const MemberBitmap& bitmap, uint32_t seq) {
  Steps s;
  return s.then([&] { return buildEvent(p, event, bitmap, seq); })
      .then([&] { return p.writeMsg(fd); })
      .result();
}

ErrCode sendQgrpReq(MsgProto& p, int& fd, uint32_t id, const std::string& name) {
  Steps s;
  return s.then([&] { return buildQgrpReq(p, id, name); })
      .then([&] { return p.writeMsg(fd); })
      .result();
}

ErrCode sendQgrpResp(MsgProto& p, int& fd, uint32_t id, const MemberBitmap& bitmap) {
  Steps s;
  return s.then([&] { return buildQgrpResp(p, id, bitmap); })
      .then([&] { return p.writeMsg(fd); })
      .result();
}

ErrCode recvRegResp(MsgProto& p, int& fd, uint32_t& id, int32_t& memno) {
  int32_t status = 0;
  Steps s = startResponse(p, fd, MSG_REG_RESP, id);
  s.then([&] { return take(p, status); }).then([&] { return take(p, memno); }).then([&] {
    return p.readChecksum();
  });
  return withStatus(s, status);
}

ErrCode recvDrgResp(MsgProto& p, int& fd, uint32_t& id) {
  int32_t status = 0;
  Steps s = startResponse(p, fd, MSG_DRG_RESP, id);
  s.then([&] { return take(p, status); }).then([&] { return p.readChecksum(); });
  return withStatus(s, status);
}

ErrCode recvPrdataResp(MsgProto& p, int& fd, uint32_t& id, ByteData& data) {
  int32_t status = 0;
  uint32_t len = 0;
  uint8_t area[kMaxPrivateData];
  Steps s = startResponse(p, fd, MSG_PRDATA_RESP, id);
  s.then([&] { return take(p, status); })
      .then([&] { return p.readVarData(len, area, kMaxPrivateData); })
      .then([&] { return p.readChecksum(); });
  const ErrCode rc = withStatus(s, status);
  if (rc == ERR_NONE) data = ByteData(area, len);
  return rc;
}

ErrCode recvQgrpResp(MsgProto& p, int& fd, uint32_t& id, MemberBitmap& bitmap) {
  Steps s = startResponse(p, fd, MSG_QGRP_RESP, id);
  s.then([&] { return take(p, bitmap); }).then([&] { return p.readChecksum(); });
  if (!s.ok()) bitmap.fill(0);
  return s.result();
}

ErrCode peekMsgType(const MsgProto& p, uint32_t& type) {
  const uint8_t* pos = nullptr;
  return p.peekData(pos, &type, sizeof type);
}

ErrCode parseRegReq(MsgProto& p, uint32_t& id, std::string& name, int32_t& memno, ByteData& data) {
  uint32_t len = 0;
  uint8_t area[kMaxPrivateData];
  Steps s = startRequest(p, MSG_REG_REQ, id);
  s.then([&] { return p.readString(name); })
      .then([&] { return take(p, memno); })
      .then([&] { return p.readVarData(len, area, kMaxPrivateData); })
      .then([&] { return p.readChecksum(); })
      .also([&] { data = ByteData(area, len); });
  return s.result();
}

ErrCode parseDrgReq(MsgProto& p, uint32_t& id) {
  return startRequest(p, MSG_DRG_REQ, id).then([&] { return p.readChecksum(); }).result();
}

ErrCode parsePrdataReq(MsgProto& p, uint32_t& id, int32_t& memno, uint32_t& seq) {
  return startRequest(p, MSG_PRDATA_REQ, id)
      .then([&] { return take(p, memno); })
      .then([&] { return take(p, seq); })
      .then([&] { return p.readChecksum(); })
      .result();
}

ErrCode parseQgrpReq(MsgProto& p, uint32_t& id, std::string& name) {
  return startRequest(p, MSG_QGRP_REQ, id)
      .then([&] { return p.readString(name); })
      .then([&] { return p.readChecksum(); })
      .result();
}

}  // namespace skgxn
