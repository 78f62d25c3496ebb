// ByteData: bounded copy of a member's private data and its hex rendering
// for trace lines.
#include "msg/byte_data.h"

#include <algorithm>
#include <cstdio>

namespace skgxn {

ByteData::ByteData(const void* p, size_t n) {
  if (p == nullptr) return;
  const auto* bytes = static_cast<const uint8_t*>(p);
  bytes_.assign(bytes, bytes + std::min<size_t>(n, kMaxPrivateData));
}

std::string ByteData::hexText() const {
  std::string text;
  text.reserve(bytes_.size() * 5);
  char piece[8];
  for (uint8_t b : bytes_) {
    std::snprintf(piece, sizeof piece, "0x%02x ", b);
    text += piece;
  }
  return text;
}

}  // namespace skgxn
