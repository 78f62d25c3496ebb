// Every message of the daemon protocol, for both ends: a builder that lays a
// message into a MsgProto, a sender that builds and sends it, and a decoder.
// Client side sends 1, 3, 5, 8 and decodes 2, 4, 6, 9 (and 7 through
// pstatReadEvt); the daemon side is the mirror image.
#ifndef MSG_MSG_CATALOGUE_H_
#define MSG_MSG_CATALOGUE_H_

#include <cstdint>
#include <string>

#include "diag/err_code.h"
#include "msg/byte_data.h"
#include "msg/member_bitmap.h"
#include "msg/msg_proto.h"

namespace skgxn {

// Builders: writeMsgType, the fields in wire order, writeChecksum. The
// cursor is left after the checksum, ready for writeMsg or for a copy.
[[nodiscard]] ErrCode buildRegReq(MsgProto& p, uint32_t id, const std::string& name, int32_t memno,
                                  const ByteData& data);
[[nodiscard]] ErrCode buildRegResp(MsgProto& p, uint32_t id, int32_t status, int32_t memno);
[[nodiscard]] ErrCode buildDrgReq(MsgProto& p, uint32_t id);
[[nodiscard]] ErrCode buildDrgResp(MsgProto& p, uint32_t id, int32_t status);
[[nodiscard]] ErrCode buildPrdataReq(MsgProto& p, uint32_t id, int32_t memno, uint32_t seq);
[[nodiscard]] ErrCode buildPrdataResp(MsgProto& p, uint32_t id, int32_t status,
                                      const ByteData& data);
[[nodiscard]] ErrCode buildEvent(MsgProto& p, uint32_t event, const MemberBitmap& bitmap,
                                 uint32_t seq);
[[nodiscard]] ErrCode buildQgrpReq(MsgProto& p, uint32_t id, const std::string& name);
[[nodiscard]] ErrCode buildQgrpResp(MsgProto& p, uint32_t id, const MemberBitmap& bitmap);

// Senders: build, then writeMsg on fd. The first non-zero code is the result.
[[nodiscard]] ErrCode sendRegReq(MsgProto& p, int& fd, uint32_t id, const std::string& name,
                                 int32_t memno, const ByteData& data);
[[nodiscard]] ErrCode sendRegResp(MsgProto& p, int& fd, uint32_t id, int32_t status, int32_t memno);
[[nodiscard]] ErrCode sendDrgReq(MsgProto& p, int& fd, uint32_t id);
[[nodiscard]] ErrCode sendDrgResp(MsgProto& p, int& fd, uint32_t id, int32_t status);
[[nodiscard]] ErrCode sendPrdataReq(MsgProto& p, int& fd, uint32_t id, int32_t memno, uint32_t seq);
[[nodiscard]] ErrCode sendPrdataResp(MsgProto& p, int& fd, uint32_t id, int32_t status,
                                     const ByteData& data);
[[nodiscard]] ErrCode sendEvent(MsgProto& p, int& fd, uint32_t event, const MemberBitmap& bitmap,
                                uint32_t seq);
[[nodiscard]] ErrCode sendQgrpReq(MsgProto& p, int& fd, uint32_t id, const std::string& name);
[[nodiscard]] ErrCode sendQgrpResp(MsgProto& p, int& fd, uint32_t id, const MemberBitmap& bitmap);

// Client response decoders: readRespMsg for (type, id), then the fields. A
// non-zero status is the result once every field parsed; the member number
// reaches memno even then. Private data is replaced only on success; the
// bitmap is zeroed on any failure.
[[nodiscard]] ErrCode recvRegResp(MsgProto& p, int& fd, uint32_t& id, int32_t& memno);
[[nodiscard]] ErrCode recvDrgResp(MsgProto& p, int& fd, uint32_t& id);
[[nodiscard]] ErrCode recvPrdataResp(MsgProto& p, int& fd, uint32_t& id, ByteData& data);
[[nodiscard]] ErrCode recvQgrpResp(MsgProto& p, int& fd, uint32_t& id, MemberBitmap& bitmap);

// Daemon-side request decoders over the message already in the buffer
// (cursor at its start): type check, fields, checksum; no id comparison.
// peekMsgType reads the type without moving the cursor.
[[nodiscard]] ErrCode peekMsgType(const MsgProto& p, uint32_t& type);
[[nodiscard]] ErrCode parseRegReq(MsgProto& p, uint32_t& id, std::string& name, int32_t& memno,
                                  ByteData& data);
[[nodiscard]] ErrCode parseDrgReq(MsgProto& p, uint32_t& id);
[[nodiscard]] ErrCode parsePrdataReq(MsgProto& p, uint32_t& id, int32_t& memno, uint32_t& seq);
[[nodiscard]] ErrCode parseQgrpReq(MsgProto& p, uint32_t& id, std::string& name);

}  // namespace skgxn

#endif  // MSG_MSG_CATALOGUE_H_
