// Prints the node table two ways, for the cluster tests to compare with
// Corosync's own tools on each node of the bed:
//   vemo RC NODES   the configuration library's answer ("1=node1 2=node2 local 2"),
//                   or RC and the one line it reports for the administrator
//   skgxn NODES     the client library's skgxnqvnds, skgxnqname, skgxnqcnum and
//                   skgxnqanum (each name back to its number), or the failure
// With "hold", it then waits for a line on its input and asks the
// configuration library's handle again: "again RC".
#include <cstdio>
#include <cstring>
#include <string>

#include "skgxn.h"
#include "vemo/cluster_handle.h"
#include "vemo/node_table.h"

namespace {

std::string problem;
void keepProblem(const char* text) { problem = text; }

int get(vemo_handle_t h, const char* tag, ...) {
  va_list args;
  va_start(args, tag);
  int rc = skgxn::clusterGet(h, tag, args);
  va_end(args);
  return rc;
}

std::string vemoNodes(vemo_handle_t h) {
  vemo_nodeid_array_t* all = nullptr;
  uint32_t local = 0, back = 0;
  std::string out;
  if (get(h, VEMO_ALL_NODEIDS, &all) != VEMO_OK || get(h, VEMO_NODEID_LOCAL, &local) != VEMO_OK)
    return "query failed";
  for (uint32_t i = 0; i < all->count; ++i) {
    const char* name = nullptr;
    if (get(h, VEMO_NODENAME_NODEID, all->ids[i], &name) != VEMO_OK ||
        get(h, VEMO_NODEID_NODENAME, name, &back) != VEMO_OK || back != all->ids[i])
      return "conversion failed for " + std::to_string(all->ids[i]);
    out += std::to_string(all->ids[i]) + "=" + name + " ";
  }
  if (get(h, VEMO_NODEID_NODENAME, "no-such-node", &back) != VEMO_EINVAL) return "unknown answered";
  return out + "local " + std::to_string(local);
}

std::string skgxnNodes() {
  skgxn_result err{};
  skgxn_context ctx{};
  if (!skgxncin(&err, &ctx, nullptr, nullptr, nullptr, 0)) return "skgxncin failed";
  uint32_t ids[64], count = 0, local = 0, back = 0, len = 0;
  std::string out;
  // The calls answer nonzero on success.
  if (!skgxnqvnds(&err, &ctx, ids, 64, &count, nullptr, 0)) return "skgxnqvnds failed";
  if (!skgxnqcnum(&err, &ctx, &local, nullptr, 0)) return "skgxnqcnum failed";
  for (uint32_t i = 0; i < count && i < 64; ++i) {
    char name[300];
    if (!skgxnqname(&err, &ctx, ids[i], name, sizeof name, &len, nullptr, 0) ||
        !skgxnqanum(&err, &ctx, name, &back, nullptr, 0) || back != ids[i])
      return "conversion failed for " + std::to_string(ids[i]);
    out += std::to_string(ids[i]) + "=" + name + " ";
  }
  (void)skgxncdel(&err, &ctx, nullptr, 0);
  return out + "local " + std::to_string(local);
}

}  // namespace

int main(int argc, char** argv) {
  vemo_handle_t h = nullptr;
  int rc = skgxn::clusterOpen(skgxn::kClusterConfigPath, &h, keepProblem);
  std::printf("vemo %d %s\n", rc, rc == VEMO_OK ? vemoNodes(h).c_str() : problem.c_str());
  std::printf("skgxn %s\n", skgxnNodes().c_str());
  std::fflush(stdout);
  if (rc == VEMO_OK && argc > 1 && std::strcmp(argv[1], "hold") == 0) {
    char line[8];
    if (std::fgets(line, sizeof line, stdin) == nullptr) return 1;
    uint32_t local = 0;
    std::printf("again %d\n", get(h, VEMO_NODEID_LOCAL, &local));
  }
  if (h != nullptr) (void)skgxn::clusterClose(h);
  return 0;
}
