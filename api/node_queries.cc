// The exported node queries: skgxnqcnum, skgxnqname, skgxnqanum and
// skgxnqvnds. Each is the frame around its checks in their fixed order and
// one question to VemoIf; none of them talks to the daemon.
#include <string>
#include <vector>

#include "api/context.h"
#include "api/frame.h"
#include "cluster/vemo_if.h"
#include "diag/str_util.h"
#include "skgxn.h"

namespace skgxn {

namespace {

// An output number for the exit line: its value, or the null pointer itself.
struct OutNumber {
  const uint32_t* p;
};
std::ostream& operator<<(std::ostream& out, OutNumber arg) {
  if (arg.p == nullptr) return out << PtrArg{nullptr};
  return out << *arg.p;
}

void localNodeNumber(CallFrame& frame, skgxn_context* ctx, uint32_t* nodenum) {
  if (!checkContext(ctx))
    return frame.fail(SKGXN_EINVAL, "skgxnqcnum:ERROR: context is NULL or invalid");
  if (nodenum == nullptr) return frame.fail(SKGXN_EINVAL, "skgxnqcnum:ERROR NULL nodenum");
  ErrCode rc = VemoIf::getNodeNumLocal(*nodenum);
  if (rc != ERR_NONE) frame.failMapped(rc);
}

// What skgxnqname learned, for its exit line: the name's length (0 until it
// is known) and whether the caller's buffer now holds it.
struct NameOutcome {
  uint32_t length = 0;
  bool written = false;
};

void nodeName(CallFrame& frame, skgxn_context* ctx, uint32_t nodeNum, char* name, uint32_t bufsz,
              uint32_t* namel, NameOutcome& out) {
  if (!checkContext(ctx))
    return frame.fail(SKGXN_EINVAL, "skgxnqname:ERROR: context is NULL or invalid");
  if (namel == nullptr) return frame.fail(SKGXN_EINVAL, "skgxnqname:ERROR NULL namel");
  std::string text;
  if (VemoIf::nodeNumToNodeName(nodeNum, text) != ERR_NONE) return frame.failSilently(SKGXN_EEXIST);
  // The length goes out before the buffer checks, so a caller whose buffer
  // is missing or short learns what it needs.
  out.length = static_cast<uint32_t>(text.size());
  *namel = out.length;
  if (name == nullptr) return frame.fail(SKGXN_ESIZE, "skgxnqname:ERROR NULL name");
  if (bufsz <= out.length) return frame.fail(SKGXN_ESIZE, "skgxnqname:ERROR bufsz <= namelen!");
  (void)strlcpy(name, text.c_str(), bufsz);
  out.written = true;
}

// A null name is refused before the framework is asked: it cannot be read,
// and no node has it.
void nodeNumber(CallFrame& frame, skgxn_context* ctx, const char* name, uint32_t* nodeNum) {
  if (!checkContext(ctx))
    return frame.fail(SKGXN_EINVAL, "skgxnqanum:ERROR: context is NULL or invalid");
  if (nodeNum == nullptr) return frame.fail(SKGXN_EINVAL, "skgxnqanum:ERROR NULL node_num");
  if (name == nullptr) return frame.fail(SKGXN_EINVAL, "skgxnqanum:ERROR NULL name");
  if (VemoIf::nodeNameToNodeNum(name, *nodeNum) != ERR_NONE) frame.failSilently(SKGXN_EEXIST);
}

// What skgxnqvnds learned, for its exit line: how many nodes the framework
// named (0 until known) and the numbers copied, as text.
struct NodeListOutcome {
  uint32_t count = 0;
  std::string copied;
};

void nodeList(CallFrame& frame, skgxn_context* ctx, uint32_t* nodeVect, uint32_t vectSize,
              uint32_t* numNodes, NodeListOutcome& out) {
  if (!checkContext(ctx))
    return frame.fail(SKGXN_EINVAL, "skgxnqvnds:ERROR: context is NULL or invalid");
  if (nodeVect == nullptr || numNodes == nullptr)
    return frame.fail(SKGXN_EINVAL, "skgxnqvnds:ERROR NULL parameters");
  *numNodes = 0;
  std::vector<uint32_t> nodes;
  ErrCode rc = VemoIf::getNodeList(nodes);
  if (rc != ERR_NONE) return frame.failMapped(rc);
  out.count = static_cast<uint32_t>(nodes.size());
  if (nodes.size() > vectSize) return frame.fail(SKGXN_ESIZE, "skgxnqvnds:ERROR vector too small");
  for (size_t i = 0; i < nodes.size(); ++i) {
    nodeVect[i] = nodes[i];
    if (i != 0) out.copied += ", ";
    out.copied += std::to_string(nodes[i]);
  }
  *numNodes = out.count;
}

}  // namespace

}  // namespace skgxn

using skgxn::CallFrame;
using skgxn::OutNumber;
using skgxn::PtrArg;
using skgxn::TextArg;

extern "C" {

SKGXN_EXPORT int skgxnqcnum(skgxn_result* err, skgxn_context* ctx, uint32_t* nodenum, void* ext,
                            uint32_t flags) {
  CallFrame frame("skgxnqcnum", err, ctx, SKGXN_CTX_TRACE_QUERY);
  skgxn::localNodeNumber(frame, ctx, nodenum);
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", nodenum(o)=" << OutNumber{nodenum}
      << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnqname(skgxn_result* err, skgxn_context* ctx, uint32_t node_num, char* name,
                            uint32_t bufsz, uint32_t* namel, void* ext, uint32_t flags) {
  CallFrame frame("skgxnqname", err, ctx, SKGXN_CTX_TRACE_QUERY);
  frame.setExitName("skgxnqcname");
  skgxn::NameOutcome out;
  skgxn::nodeName(frame, ctx, node_num, name, bufsz, namel, out);
  frame.exit([&](std::ostream& o) {
    // The buffer is the caller's: its contents are shown only when this call
    // wrote the name into it.
    o << "ctx(i)=" << PtrArg{ctx} << ", node_num(i)=" << node_num
      << ", name(o)=" << (out.written ? name : "") << ", bufsz(i)=" << bufsz
      << ", namel(o)=" << out.length << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnqanum(skgxn_result* err, skgxn_context* ctx, const char* name,
                            uint32_t* node_num, void* ext, uint32_t flags) {
  CallFrame frame("skgxnqanum", err, ctx, SKGXN_CTX_TRACE_QUERY);
  skgxn::nodeNumber(frame, ctx, name, node_num);
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", name(i)=" << TextArg{name}
      << ", node_num(o)=" << OutNumber{node_num} << ", ext(i)=" << PtrArg{ext}
      << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnqvnds(skgxn_result* err, skgxn_context* ctx, uint32_t* node_vect,
                            uint32_t vect_size, uint32_t* num_nodes, void* ext, uint32_t flags) {
  CallFrame frame("skgxnqvnds", err, ctx, SKGXN_CTX_TRACE_QUERY);
  skgxn::NodeListOutcome out;
  skgxn::nodeList(frame, ctx, node_vect, vect_size, num_nodes, out);
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", node_vect(o)=" << out.copied
      << ", vect_size(i)=" << vect_size << ", num_nodes(o)=" << out.count
      << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

}  // extern "C"
