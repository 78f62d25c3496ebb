// The 16-byte member bitmap in which member sets travel on the wire and to
// the caller: member n is bit n % 8 of byte n / 8.
#ifndef MSG_MEMBER_BITMAP_H_
#define MSG_MEMBER_BITMAP_H_

#include <array>
#include <cstdint>

namespace skgxn {

inline constexpr uint32_t kMaxMembers = 128;
using MemberBitmap = std::array<uint8_t, kMaxMembers / 8>;

inline bool hasMember(const MemberBitmap& map, uint32_t n) {
  return n < kMaxMembers && (map[n / 8] >> (n % 8)) & 1;
}
inline void addMember(MemberBitmap& map, uint32_t n) {
  if (n < kMaxMembers) map[n / 8] |= static_cast<uint8_t>(1u << (n % 8));
}
inline void removeMember(MemberBitmap& map, uint32_t n) {
  if (n < kMaxMembers) map[n / 8] &= static_cast<uint8_t>(~(1u << (n % 8)));
}

}  // namespace skgxn

#endif  // MSG_MEMBER_BITMAP_H_
