// Exported calls whose subsystems this build does not yet contain. Each runs
// the frame and fails with EUNAVAIL, so a caller never mistakes one for a
// working call. They move to their own files as their subsystems arrive.
#include <string>

#include "api/frame.h"
#include "skgxn.h"

namespace skgxn {
namespace {

void failUnavailable(CallFrame& frame) {
  frame.fail(SKGXN_EUNAVAIL, std::string(frame.function()) + ":ERROR not available in this build");
}

}  // namespace
}  // namespace skgxn

using skgxn::CallFrame;
using skgxn::PtrArg;
using skgxn::TextArg;

extern "C" {

SKGXN_EXPORT int skgxnqcnum(skgxn_result* err, skgxn_context* ctx, uint32_t* nodenum, void* ext,
                            uint32_t flags) {
  CallFrame frame("skgxnqcnum", err, ctx, SKGXN_CTX_TRACE_QUERY);
  skgxn::failUnavailable(frame);
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", nodenum(o)=" << PtrArg{nodenum}
      << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnqname(skgxn_result* err, skgxn_context* ctx, uint32_t node_num, char* name,
                            uint32_t bufsz, uint32_t* namel, void* ext, uint32_t flags) {
  CallFrame frame("skgxnqname", err, ctx, SKGXN_CTX_TRACE_QUERY);
  frame.setExitName("skgxnqcname");
  skgxn::failUnavailable(frame);
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", node_num(i)=" << node_num << ", name(o)=" << PtrArg{name}
      << ", bufsz(i)=" << bufsz << ", namel(o)=" << PtrArg{namel} << ", ext(i)=" << PtrArg{ext}
      << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnqanum(skgxn_result* err, skgxn_context* ctx, const char* name,
                            uint32_t* node_num, void* ext, uint32_t flags) {
  CallFrame frame("skgxnqanum", err, ctx, SKGXN_CTX_TRACE_QUERY);
  skgxn::failUnavailable(frame);
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", name(i)=" << TextArg{name}
      << ", node_num(o)=" << PtrArg{node_num} << ", ext(i)=" << PtrArg{ext}
      << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnqvnds(skgxn_result* err, skgxn_context* ctx, uint32_t* node_vect,
                            uint32_t vect_size, uint32_t* num_nodes, void* ext, uint32_t flags) {
  CallFrame frame("skgxnqvnds", err, ctx, SKGXN_CTX_TRACE_QUERY);
  skgxn::failUnavailable(frame);
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", node_vect(o)=" << PtrArg{node_vect}
      << ", vect_size(i)=" << vect_size << ", num_nodes(o)=" << PtrArg{num_nodes}
      << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

}  // extern "C"
