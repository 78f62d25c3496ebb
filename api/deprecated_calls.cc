// The deprecated exported calls skgxnpbdata, skgxnsrg and skgxnsdr: they
// warn, record EUNAVAIL and return 0, reading their arguments only to print
// them.
#include "api/frame.h"
#include "skgxn.h"

using skgxn::CallFrame;
using skgxn::PtrArg;
using skgxn::TextArg;

extern "C" {

SKGXN_EXPORT int skgxnpbdata(skgxn_result* err, skgxn_context* ctx, const char* pgroup,
                             uint32_t memno, void* public_data, uint32_t bufsz, uint32_t* len,
                             void* ext, uint32_t flags) {
  CallFrame frame(CallFrame::Deprecated{}, "skgxnpbdata", err);
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", pgroup(i)=" << TextArg{pgroup} << ", memno(i)=" << memno
      << ", public_data(i)=" << PtrArg{public_data} << ", bufsz(i)=" << bufsz
      << ", len(i)=" << PtrArg{len} << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

// The exit line names slvm_hdl first, ahead of the parameter order.
SKGXN_EXPORT int skgxnsrg(skgxn_result* err, skgxn_context* ctx, const char* pgroup,
                          uint32_t memnum, void* slvm_hdl, void* ext, uint32_t flags) {
  CallFrame frame(CallFrame::Deprecated{}, "skgxnsrg", err);
  frame.exit([&](std::ostream& o) {
    o << "slvm_hdl(i)=" << PtrArg{slvm_hdl} << ", ctx(i)=" << PtrArg{ctx}
      << ", pgroup(i)=" << TextArg{pgroup} << ", memnum(i)=" << memnum << ", ext(i)=" << PtrArg{ext}
      << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnsdr(skgxn_result* err, void* slvm_hdl, void* ext, uint32_t flags) {
  CallFrame frame(CallFrame::Deprecated{}, "skgxnsdr", err);
  frame.exit([&](std::ostream& o) {
    o << "slvm_hdl(i)=" << PtrArg{slvm_hdl} << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

}  // extern "C"
