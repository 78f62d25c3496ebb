// Bounded copy and concatenation with the usual strlcpy/strlcat contract:
// the destination always ends in NUL (for a non-zero bound) and the result is
// the length the whole text would have had, so result >= bound means "cut".
#ifndef DIAG_STR_UTIL_H_
#define DIAG_STR_UTIL_H_

#include <cstddef>

namespace skgxn {

size_t strlcpy(char* dst, const char* src, size_t bound);
size_t strlcat(char* dst, const char* src, size_t bound);

}  // namespace skgxn

#endif  // DIAG_STR_UTIL_H_
