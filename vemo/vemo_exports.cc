// The three exported calls of libvemo.so.1: the configuration file's fixed
// path and the system log are bound here, everything else is in
// cluster_handle.cc. Nothing may throw out of these C entry points.
#include <syslog.h>

#include <cstdarg>

#include "vemo.h"
#include "vemo/cluster_handle.h"

namespace {

constexpr const char* kConfigPath = "/etc/velk/cluster.conf";

void logProblem(const char* problem) { syslog(LOG_ERR, "vemo: %s", problem); }

}  // namespace

extern "C" {

int vemo_cluster_open(vemo_handle_t* handle) {
  return skgxn::clusterOpen(kConfigPath, handle, logProblem);
}

int vemo_cluster_get(vemo_handle_t handle, const char* tag, ...) {
  va_list args;
  va_start(args, tag);
  int rc = skgxn::clusterGet(handle, tag, args);
  va_end(args);
  return rc;
}

int vemo_cluster_close(vemo_handle_t handle) { return skgxn::clusterClose(handle); }

}  // extern "C"
