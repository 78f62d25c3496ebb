// Handles of the configuration library. Every handle given out is listed in
// a registry, so a call with a closed or foreign handle is refused instead
// of reading freed memory.
#include "vemo/cluster_handle.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include "vemo/corosync_source.h"
#include "vemo/node_table.h"

namespace skgxn {

namespace {

struct ClusterHandle {
  NodeTable table;
  std::unique_ptr<CorosyncSource> corosync;  // the connection, with the Corosync engine
  std::vector<uint32_t> ids;  // the copy handed out, so callers never see the table's own
  vemo_nodeid_array_t array{};
};

// Guards the registry and every use of a listed handle, so a close cannot
// free a handle that another thread is answering from.
constinit std::mutex registryLock;

// Never destroyed: a call made while the process exits still finds it.
std::unordered_set<ClusterHandle*>& liveHandles() {
  static auto* live = new std::unordered_set<ClusterHandle*>;
  return *live;
}

ClusterHandle* findLive(vemo_handle_t handle) {
  auto* h = static_cast<ClusterHandle*>(handle);
  return liveHandles().count(h) != 0 ? h : nullptr;
}

int openNew(const char* path, vemo_handle_t* handle, ProblemSink report) {
  auto h = std::make_unique<ClusterHandle>();
  std::string problem;
  ClusterConfig config;
  ErrCode rc = loadClusterConfig(path, config, problem);
  int result = VEMO_OK;
  if (rc == ERR_READ) result = kVemoConfigUnreadable;
  if (rc == ERR_INVALID) result = kVemoConfigMalformed;
  if (rc == ERR_UNAVAILABLE) result = kVemoNoHostName;
  if (rc == ERR_NONE && config.engine == ClusterEngine::kCorosync)
    result = CorosyncSource::open(h->corosync, h->table, problem);
  else if (rc == ERR_NONE)
    h->table = std::move(config.nodes);
  if (result != VEMO_OK) {
    if (report != nullptr) report(problem.c_str());
    return result;
  }
  h->ids = h->table.numbers();
  h->array.count = static_cast<uint32_t>(h->ids.size());
  h->array.ids = h->ids.data();
  std::lock_guard<std::mutex> guard(registryLock);
  liveHandles().insert(h.get());
  *handle = h.release();
  return VEMO_OK;
}

int getAllIds(ClusterHandle& h, va_list args) {
  auto** out = va_arg(args, vemo_nodeid_array_t**);
  if (out == nullptr) return kVemoBadArgument;
  *out = &h.array;
  return VEMO_OK;
}

int getLocal(ClusterHandle& h, va_list args) {
  auto* out = va_arg(args, uint32_t*);
  if (out == nullptr) return kVemoBadArgument;
  *out = h.table.localNumber();
  return VEMO_OK;
}

int getNumberOfName(ClusterHandle& h, va_list args) {
  const char* name = va_arg(args, const char*);
  auto* out = va_arg(args, uint32_t*);
  if (name == nullptr || out == nullptr) return kVemoBadArgument;
  return h.table.findNumber(name, *out) ? VEMO_OK : VEMO_EINVAL;
}

int getNameOfNumber(ClusterHandle& h, va_list args) {
  uint32_t number = va_arg(args, uint32_t);
  auto** out = va_arg(args, const char**);
  if (out == nullptr) return kVemoBadArgument;
  const char* name = h.table.findName(number);
  if (name == nullptr) return VEMO_EINVAL;
  *out = name;
  return VEMO_OK;
}

}  // namespace

int clusterOpen(const char* path, vemo_handle_t* handle, ProblemSink report) {
  if (handle == nullptr) return kVemoBadArgument;
  *handle = nullptr;
  if (path == nullptr) return kVemoBadArgument;
  try {
    return openNew(path, handle, report);
  } catch (const std::bad_alloc&) {
    return kVemoNoMemory;
  }
}

int clusterGet(vemo_handle_t handle, const char* tag, va_list args) {
  std::lock_guard<std::mutex> guard(registryLock);
  ClusterHandle* h = findLive(handle);
  if (h == nullptr || tag == nullptr) return kVemoBadArgument;
  // Answers read from a Corosync that has since gone may no longer hold.
  if (h->corosync && !h->corosync->connected()) return VEMO_ECOROSYNC_LOST;
  if (std::strcmp(tag, VEMO_ALL_NODEIDS) == 0) return getAllIds(*h, args);
  if (std::strcmp(tag, VEMO_NODEID_LOCAL) == 0) return getLocal(*h, args);
  if (std::strcmp(tag, VEMO_NODEID_NODENAME) == 0) return getNumberOfName(*h, args);
  if (std::strcmp(tag, VEMO_NODENAME_NODEID) == 0) return getNameOfNumber(*h, args);
  return kVemoBadArgument;
}

int clusterClose(vemo_handle_t handle) {
  std::unique_ptr<ClusterHandle> owned;
  std::lock_guard<std::mutex> guard(registryLock);
  ClusterHandle* h = findLive(handle);
  if (h == nullptr) return kVemoBadArgument;
  liveHandles().erase(h);
  owned.reset(h);
  return VEMO_OK;
}

}  // namespace skgxn
