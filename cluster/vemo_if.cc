// VemoIf's process-wide handle and its queries. The framework is called only
// with the state lock held; the lock is never held by anything that could
// call back into VemoIf, since trace and system-log writes take only the
// diagnostics' own locks.
#include "cluster/vemo_if.h"

#include <atomic>
#include <mutex>

#include "diag/report.h"
#include "diag/trace.h"
#include "vemo.h"

namespace skgxn {

namespace {

constexpr int kLogPriority = 3;  // LOG_ERR
constexpr int kLogSelector = 1;  // the library's own identity

// The framework handle. Written and read only under lock; isOpen is true
// exactly while handle came from a successful open. Never destroyed with
// anything in it: nothing closes the handle when the library unloads.
struct VemoState {
  std::mutex lock;
  vemo_handle_t handle = nullptr;
  bool isOpen = false;
};
constinit VemoState state;

constinit std::atomic<VemoIf::SysLogFn> sysLogFn{&sysLog};

bool delivered(int r) { return r == VEMO_OK || r == VEMO_OK_PARTIAL; }

void traceErr(const std::string& text) { traceLine(text + "\n", TRACE_ERR); }

ErrCode openLocked() {
  if (state.isOpen) return ERR_NONE;
  int r = vemo_cluster_open(&state.handle);
  if (r == VEMO_OK) {
    state.isOpen = true;
    return ERR_NONE;
  }
  traceErr("VemoIf:ERROR vemo_cluster_open failed with return code: " + std::to_string(r));
  sysLogFn.load()(kLogPriority, kLogSelector, "vemo_cluster_open failed with %d", r);
  state.handle = nullptr;
  state.isOpen = false;
  return ERR_COMM;
}

ErrCode closeLocked() {
  if (!state.isOpen) return ERR_NONE;
  int r = vemo_cluster_close(state.handle);
  state.handle = nullptr;
  state.isOpen = false;
  if (r == VEMO_OK) return ERR_NONE;
  traceErr("~VemoIf:ERROR vemo_cluster_close failed with return code: " + std::to_string(r));
  sysLogFn.load()(kLogPriority, kLogSelector, "vemo_cluster_close failed with %d", r);
  return ERR_COMM;
}

// One framework question and its error lines, which read
// "<source>::ERROR vemo_cluster_get failed for <constant> <detail>with error: <r>";
// detail ("on node number 12") runs straight into "with error: " without a
// blank; log readers match the line exactly as it stands. Conversion queries
// keep the handle for an unknown name or number.
struct Query {
  const char* source;
  const char* tag;
  const char* constant;
  std::string detail;
  bool conversion;

  ErrCode failed(int r) const {
    traceErr(std::string(source) + "::ERROR vemo_cluster_get failed for " + constant + " " +
             detail + "with error: " + std::to_string(r));
    if (conversion && r == VEMO_EINVAL) return ERR_INVALID;
    sysLogFn.load()(kLogPriority, kLogSelector, "vemo_cluster_get failed for (%s) with %d", tag, r);
    (void)closeLocked();
    return ERR_VEMO;
  }

  // A framework that says it answered but hands back nothing is as broken
  // as one that failed: nothing is read through the missing answer and a
  // fresh handle is tried next time.
  ErrCode empty() const {
    traceErr(std::string(source) + "::ERROR vemo_cluster_get delivered no answer for " + constant +
             (detail.empty() ? "" : " ") + detail);
    sysLogFn.load()(kLogPriority, kLogSelector, "vemo_cluster_get delivered no answer for (%s)",
                    tag);
    (void)closeLocked();
    return ERR_VEMO;
  }

  ErrCode check(int r) const { return delivered(r) ? ERR_NONE : failed(r); }
};

ErrCode copyIds(const Query& query, const vemo_nodeid_array_t* array,
                std::vector<uint32_t>& nodes) {
  if (array == nullptr || (array->count != 0 && array->ids == nullptr)) return query.empty();
  nodes.assign(array->ids, array->ids + array->count);
  return ERR_NONE;
}

}  // namespace

ErrCode VemoIf::getNodeList(std::vector<uint32_t>& nodes) {
  std::lock_guard<std::mutex> guard(state.lock);
  const Query query{"VemoIf::getNodeList", VEMO_ALL_NODEIDS, "VEMO_ALL_NODEIDS", "", false};
  vemo_nodeid_array_t* array = nullptr;
  Steps s;
  s.then([] { return openLocked(); })
      .also([&] { nodes.clear(); })
      .then([&] { return query.check(vemo_cluster_get(state.handle, query.tag, &array)); })
      .then([&] { return copyIds(query, array, nodes); });
  return s.result();
}

ErrCode VemoIf::getNodeNumLocal(uint32_t& nodeNum) {
  std::lock_guard<std::mutex> guard(state.lock);
  const Query query{"VemoIf::getNodeNumLocal", VEMO_NODEID_LOCAL, "VEMO_NODEID_LOCAL", "", false};
  Steps s;
  s.then([] { return openLocked(); }).then([&] {
    return query.check(vemo_cluster_get(state.handle, query.tag, &nodeNum));
  });
  return s.result();
}

ErrCode VemoIf::nodeNameToNodeNum(const std::string& name, uint32_t& nodeNum) {
  std::lock_guard<std::mutex> guard(state.lock);
  const Query query{"VemoIf::nodeNameToNodeNum", VEMO_NODEID_NODENAME, "VEMO_NODEID_NODENAME",
                    "on node name " + name, true};
  Steps s;
  s.then([] { return openLocked(); }).then([&] {
    return query.check(vemo_cluster_get(state.handle, query.tag, name.c_str(), &nodeNum));
  });
  return s.result();
}

ErrCode VemoIf::nodeNumToNodeName(uint32_t nodeNum, std::string& name) {
  std::lock_guard<std::mutex> guard(state.lock);
  const Query query{"VemoIf::nodeNumToNodeName", VEMO_NODENAME_NODEID, "VEMO_NODENAME_NODEID",
                    "on node number " + std::to_string(nodeNum), true};
  const char* answer = nullptr;
  Steps s;
  s.then([] { return openLocked(); })
      .then(
          [&] { return query.check(vemo_cluster_get(state.handle, query.tag, nodeNum, &answer)); })
      .then([&] { return answer != nullptr ? ERR_NONE : query.empty(); })
      .also([&] { name = answer; });
  return s.result();
}

ErrCode VemoIf::openHandle() {
  std::lock_guard<std::mutex> guard(state.lock);
  return openLocked();
}

ErrCode VemoIf::closeHandle() {
  std::lock_guard<std::mutex> guard(state.lock);
  return closeLocked();
}

bool VemoIf::isOpen() {
  std::lock_guard<std::mutex> guard(state.lock);
  return state.isOpen;
}

VemoIf::SysLogFn VemoIf::setSysLog(SysLogFn fn) {
  return sysLogFn.exchange(fn != nullptr ? fn : &sysLog);
}

}  // namespace skgxn
