// CorosyncSource: the node table as the local Corosync sees it, read through
// Corosync's own configuration-map client library. That library is loaded at
// run time, and only by a process whose configuration names the Corosync
// engine, so a single-machine install never needs Corosync at all. Every call
// into Corosync's libraries is in corosync_source.cc.
#ifndef VEMO_COROSYNC_SOURCE_H_
#define VEMO_COROSYNC_SOURCE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "vemo/node_table.h"

namespace skgxn {

class CorosyncSource {
 public:
  // Connects to the local Corosync and fills table with its nodelist (node
  // ids in nodelist order; each node's name, else its first ring address)
  // and its own node id as the local node. Returns VEMO_OK with *source
  // holding the connection, or a failure result of cluster_handle.h with
  // problem set to one line for the administrator.
  static int open(std::unique_ptr<CorosyncSource>& source, NodeTable& table, std::string& problem);

  ~CorosyncSource();
  CorosyncSource(const CorosyncSource&) = delete;
  CorosyncSource& operator=(const CorosyncSource&) = delete;

  // False once the Corosync this connection was opened to has gone (it
  // stopped or restarted since): what was read from it may be stale.
  bool connected() const;

 private:
  explicit CorosyncSource(uint64_t handle) : handle_(handle) {}
  uint64_t handle_;
};

}  // namespace skgxn

#endif  // VEMO_COROSYNC_SOURCE_H_
