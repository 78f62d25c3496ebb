// closeFd: the one place a descriptor variable is closed and set to -1.
#include "msg/unique_fd.h"

#include <errno.h>

namespace skgxn {

void closeFd(int& fd) {
  if (fd == -1) return;
  const int saved = errno;
  close(fd);
  fd = -1;
  errno = saved;
}

}  // namespace skgxn
