// ByteData: a member's private data, at most 96 bytes, as it travels between
// the group calls and the codec, with its hex rendering for trace lines.
#ifndef MSG_BYTE_DATA_H_
#define MSG_BYTE_DATA_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace skgxn {

inline constexpr uint32_t kMaxPrivateData = 96;

class ByteData {
 public:
  ByteData() = default;
  // Keeps the first min(n, 96) bytes of p; a null p gives an empty value.
  ByteData(const void* p, size_t n);

  size_t size() const { return bytes_.size(); }
  const uint8_t* data() const { return bytes_.data(); }
  bool empty() const { return bytes_.empty(); }
  // Each byte as "0x", two lower-case hex digits and a blank; "" when empty.
  std::string hexText() const;

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace skgxn

#endif  // MSG_BYTE_DATA_H_
