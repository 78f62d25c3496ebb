// VemoIf: the library's only way to the cluster framework's configuration
// library. Keeps one framework handle for the whole process, copies every
// answer, and turns framework failures into internal codes, trace lines and
// system-log messages. The node queries in api/ are its only users.
#ifndef CLUSTER_VEMO_IF_H_
#define CLUSTER_VEMO_IF_H_

#include <cstdint>
#include <string>
#include <vector>

#include "diag/err_code.h"

namespace skgxn {

class VemoIf {
 public:
  // Every query opens the handle first when it is not open; an open that
  // fails is returned as ERR_COMM with outputs untouched, and the next query
  // tries again. A framework answer other than success (0 or 7) is traced;
  // an unknown name or number (11) given to a conversion returns
  // ERR_INVALID and keeps the handle; every other failure also goes to the
  // system log, closes the handle and returns ERR_VEMO. Open, query and
  // close are serialised against each other, so no query ever uses a handle
  // that another thread is closing.

  // Replaces nodes with all configured node numbers in the framework's
  // order. Emptied once the handle is open, so it is empty after a failed
  // query and keeps its content after a failed open.
  [[nodiscard]] static ErrCode getNodeList(std::vector<uint32_t>& nodes);
  // Stores the local node's number in nodeNum.
  [[nodiscard]] static ErrCode getNodeNumLocal(uint32_t& nodeNum);
  // Stores the number of the node called name in nodeNum.
  [[nodiscard]] static ErrCode nodeNameToNodeNum(const std::string& name, uint32_t& nodeNum);
  // Replaces name with the name of node nodeNum. A framework that claims
  // success but delivers no name is treated as failing (ERR_VEMO, handle
  // closed); name is then left as it was.
  [[nodiscard]] static ErrCode nodeNumToNodeName(uint32_t nodeNum, std::string& name);

  // Opens the handle unless it is open: ERR_NONE, or ERR_COMM after a failed
  // open (traced and logged).
  [[nodiscard]] static ErrCode openHandle();
  // Closes the handle if it is open. The handle counts as closed afterwards
  // whatever the framework answers; ERR_COMM when it reported a failure.
  [[nodiscard]] static ErrCode closeHandle();
  // True while a handle from a successful open is held.
  static bool isOpen();

  // Where system-log messages go: sysLog of diag/report.h unless a test
  // replaces it. Null restores sysLog. Returns the previous function.
  using SysLogFn = void (*)(int priority, int selector, const char* format, ...);
  static SysLogFn setSysLog(SysLogFn fn);
};

}  // namespace skgxn

#endif  // CLUSTER_VEMO_IF_H_
