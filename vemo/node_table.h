// NodeTable: the cluster's nodes as the configuration library serves them,
// and the reader of the administrator's configuration file that fills it.
// Holds no handle state; cluster_handle.h owns the per-handle copies.
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

// Reads the configuration file at path into table. A file that does not
// exist yields defaultNodeTable(). Results: ERR_NONE; ERR_READ when the file
// exists but cannot be read; ERR_INVALID when it is malformed. On failure
// problem holds one line for the administrator ("path:line: what is wrong",
// or "path: what is wrong" when no single line is at fault) and table is
// left empty: a partial table is never served.
[[nodiscard]] ErrCode loadNodeTable(const char* path, NodeTable& table, std::string& problem);

// The parser behind loadNodeTable, for text already opened; origin names the
// source in problems.
[[nodiscard]] ErrCode parseNodeTable(std::istream& in, const std::string& origin, NodeTable& table,
                                     std::string& problem);

// The table of a machine without a configuration file: node 1, named after
// the host (its uname node name), and local. ERR_UNAVAILABLE with problem
// set when the host name cannot be learned.
[[nodiscard]] ErrCode defaultNodeTable(NodeTable& table, std::string& problem);

}  // namespace skgxn

#endif  // VEMO_NODE_TABLE_H_
