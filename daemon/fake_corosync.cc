// The stand-in's Corosync calls: a handle is its node's id, descriptors are
// numbers only (the test calls the engine's callbacks itself, so dispatch
// has nothing to do but fail when told), and there is no nodelist to read.
#include "daemon/fake_corosync.h"

#include <corosync/cmap.h>
#include <corosync/cpg.h>
#include <corosync/quorum.h>
#include <sys/uio.h>
#include <unistd.h>

namespace skgxn::fake {
std::deque<Multicast> sent;
uint32_t nextNode = 0;
std::map<uint32_t, bool> quorate;
cs_error_t dispatchResult = CS_OK;
int handlesOpen = 0;
}  // namespace skgxn::fake
namespace fake = skgxn::fake;

extern "C" {
cs_error_t cpg_model_initialize(cpg_handle_t* handle, cpg_model_t, cpg_model_data_t*, void*) {
  *handle = fake::nextNode;
  ++fake::handlesOpen;
  return CS_OK;
}
cs_error_t cpg_local_get(cpg_handle_t handle, unsigned int* node) {
  *node = static_cast<unsigned int>(handle);
  return CS_OK;
}
cs_error_t cpg_fd_get(cpg_handle_t handle, int* fd) {
  *fd = 100 + static_cast<int>(handle);
  return CS_OK;
}
cs_error_t cpg_join(cpg_handle_t, const cpg_name*) { return CS_OK; }
cs_error_t cpg_finalize(cpg_handle_t) { return --fake::handlesOpen, CS_OK; }
cs_error_t cpg_dispatch(cpg_handle_t, cs_dispatch_flags_t) { return fake::dispatchResult; }
cs_error_t cpg_context_get(cpg_handle_t, void**) { return CS_ERR_NOT_EXIST; }
cs_error_t cpg_mcast_joined(cpg_handle_t handle, cpg_guarantee_t, const iovec* iov, unsigned n) {
  fake::Multicast m{static_cast<uint32_t>(handle), static_cast<uint32_t>(getpid()), {}};
  for (unsigned i = 0; i < n; ++i) {
    const auto* base = static_cast<const uint8_t*>(iov[i].iov_base);
    m.bytes.insert(m.bytes.end(), base, base + iov[i].iov_len);
  }
  fake::sent.push_back(std::move(m));
  return CS_OK;
}

cs_error_t quorum_model_initialize(quorum_handle_t* handle, quorum_model_t, quorum_model_data_t*,
                                   uint32_t*, void*) {
  *handle = fake::nextNode;
  ++fake::handlesOpen;
  return CS_OK;
}
cs_error_t quorum_trackstart(quorum_handle_t, unsigned int) { return CS_OK; }
cs_error_t quorum_fd_get(quorum_handle_t handle, int* fd) {
  *fd = 200 + static_cast<int>(handle);
  return CS_OK;
}
cs_error_t quorum_getquorate(quorum_handle_t handle, int* quorate) {
  *quorate = fake::quorate[static_cast<uint32_t>(handle)] ? 1 : 0;
  return CS_OK;
}
cs_error_t quorum_finalize(quorum_handle_t) { return --fake::handlesOpen, CS_OK; }
cs_error_t quorum_dispatch(quorum_handle_t, cs_dispatch_flags_t) { return fake::dispatchResult; }
cs_error_t quorum_context_get(quorum_handle_t, const void**) { return CS_ERR_NOT_EXIST; }

cs_error_t cmap_initialize(cmap_handle_t*) { return CS_ERR_LIBRARY; }
cs_error_t cmap_get_uint32(cmap_handle_t, const char*, uint32_t*) { return CS_ERR_NOT_EXIST; }
cs_error_t cmap_get_string(cmap_handle_t, const char*, char**) { return CS_ERR_NOT_EXIST; }
cs_error_t cmap_finalize(cmap_handle_t) { return CS_OK; }

}  // extern "C"
