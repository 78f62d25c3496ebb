// ClusterConfig: what the administrator's /etc/velk/cluster.conf says (the
// membership engine and, for the single-machine engine, the node table), and
// its reader. libvemo.so.1 and velkd both read the file through this header,
// so the two can never disagree on what it means. Holds no handle state;
// cluster_handle.h owns the per-handle copies.
#ifndef VEMO_NODE_TABLE_H_
#define VEMO_NODE_TABLE_H_

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "diag/err_code.h"

namespace skgxn {

// Longest node name accepted, without its terminator.
inline constexpr size_t kMaxNodeNameLen = 256;

class NodeTable {
 public:
  // Node numbers in the order of the configuration file.
  const std::vector<uint32_t>& numbers() const { return numbers_; }
  // True and number set when name is configured; names match exactly.
  bool findNumber(std::string_view name, uint32_t& number) const;
  // The configured name of number, or null when number is unknown. The text
  // lives as long as the table.
  const char* findName(uint32_t number) const;
  // Number of the node marked local. Meaningful only for a table that
  // loadNodeTable or parseNodeTable accepted.
  uint32_t localNumber() const { return local_; }

  // Adds a node; ERR_EXIST when its number or name is already present.
  [[nodiscard]] ErrCode add(uint32_t number, std::string name);
  void setLocal(uint32_t number) { local_ = number; }

 private:
  std::vector<uint32_t> numbers_;
  std::vector<std::string> names_;  // parallel to numbers_
  std::unordered_map<uint32_t, size_t> byNumber_;
  std::unordered_map<std::string, size_t> byName_;
  uint32_t local_ = 0;
};

// Who decides which nodes make up the cluster.
enum class ClusterEngine {
  kLocal,     // this file's node lines (or the host alone without a file)
  kCorosync,  // Corosync's nodelist; the file holds no node lines
};

struct ClusterConfig {
  ClusterEngine engine = ClusterEngine::kLocal;
  // The nodes, for kLocal only; empty for kCorosync.
  NodeTable nodes;
};

// The path both the library and the daemon read.
inline constexpr const char* kClusterConfigPath = "/etc/velk/cluster.conf";

// Reads the configuration file at path into config. A file that does not
// exist yields the local engine with defaultNodeTable(). Results: ERR_NONE;
// ERR_READ when the file exists but cannot be read; ERR_INVALID when it is
// malformed; ERR_UNAVAILABLE as defaultNodeTable. On failure problem holds
// one line for the administrator ("path:line: what is wrong", or "path: what
// is wrong" when no single line is at fault) and config is left empty: a
// partial table is never served.
[[nodiscard]] ErrCode loadClusterConfig(const char* path, ClusterConfig& config,
                                        std::string& problem);

// The parser behind loadClusterConfig, for text already opened; origin names
// the source in problems.
[[nodiscard]] ErrCode parseClusterConfig(std::istream& in, const std::string& origin,
                                         ClusterConfig& config, std::string& problem);

// The table of a machine without a configuration file: node 1, named after
// the host (its uname node name), and local. ERR_UNAVAILABLE with problem
// set when the host name cannot be learned.
[[nodiscard]] ErrCode defaultNodeTable(NodeTable& table, std::string& problem);

}  // namespace skgxn

#endif  // VEMO_NODE_TABLE_H_
