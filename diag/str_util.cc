// Bounded copy and concatenation; the C library on this host has neither.
#include "diag/str_util.h"

#include <cstring>

namespace skgxn {

size_t strlcpy(char* dst, const char* src, size_t bound) {
  size_t len = std::strlen(src);
  if (bound != 0) {
    size_t n = len < bound - 1 ? len : bound - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
  }
  return len;
}

size_t strlcat(char* dst, const char* src, size_t bound) {
  size_t have = strnlen(dst, bound);
  if (have == bound) return bound + std::strlen(src);
  return have + strlcpy(dst + have, src, bound - have);
}

}  // namespace skgxn
