// The exported context and library-level calls: skgxncin, skgxncdel,
// skgxntrace, skgxnever, skgxnqtsz and skgxnqat. Each is the frame around
// its checks in their fixed order.
#include <ios>
#include <string>

#include "api/context.h"
#include "api/frame.h"
#include "diag/str_util.h"
#include "skgxn.h"

namespace skgxn {

namespace {

constexpr int32_t kLibraryMajor = 2;
constexpr int32_t kLibraryMinor = 0;
constexpr const char* kVendorText = "Corvid Cluster";
// A vendor buffer must hold more than this many bytes.
constexpr uint32_t kMinVendorBuffer = 4;

struct TypeSize {
  const char* name;
  uint32_t size;
  bool known;
};

TypeSize typeSize(int32_t type) {
  switch (type) {
    case SKGXN_TYPE_CONTEXT:
      return {"Context", sizeof(skgxn_context), true};
    case SKGXN_TYPE_GROUP_HANDLE:
      return {"Group Handle", sizeof(skgxn_group), true};
    case SKGXN_TYPE_SLAVE_HANDLE:
      return {"Slave Handle", 0, true};
    default:
      return {"???", 0, false};
  }
}

struct Attribute {
  const char* name;
  int value;
  bool known;
};

Attribute attribute(int32_t attr) {
  switch (attr) {
    case SKGXN_ATTR_NODE_NAME_LEN:
      return {"Max len of node name", 257, true};
    case SKGXN_ATTR_MAX_MEMBERS:
      return {"Max group member(and bitmap) size", 128, true};
    case SKGXN_ATTR_MAX_CLUSTER:
      return {"Max cluster size", 64, true};
    default:
      return {"???", -1, false};
  }
}

// The version negotiation after entry; fills the exit line's values.
struct VersionOutcome {
  int32_t callerMajor = 0;
  int32_t callerMinor = 0;
  int32_t reportedMajor = 0;
  bool vendorWritten = false;
};

void negotiateVersion(CallFrame& frame, const skgxn_version* cvers, skgxn_version* overs,
                      char* vendstr, uint32_t vendsz, VersionOutcome& out) {
  const char* badParameters = "skgxnevers:ERROR bad parameters";
  if (cvers == nullptr) return frame.fail(SKGXN_EINVAL, badParameters);
  out.callerMajor = cvers->major;
  out.callerMinor = cvers->minor;
  if (out.callerMajor < kLibraryMajor) {
    return frame.fail(SKGXN_EINVAL, "skgxnevers:ERROR incompatible version (pre " +
                                        std::to_string(kLibraryMajor) + "." +
                                        std::to_string(kLibraryMinor) + ")");
  }
  if (overs == nullptr) return frame.fail(SKGXN_EINVAL, badParameters);
  overs->major = kLibraryMajor;
  overs->minor = kLibraryMinor;
  out.reportedMajor = kLibraryMajor;
  if (vendstr == nullptr || vendsz <= kMinVendorBuffer) {
    return frame.fail(SKGXN_EINVAL, badParameters);
  }
  (void)strlcpy(vendstr, kVendorText, vendsz);
  out.vendorWritten = true;
}

}  // namespace

}  // namespace skgxn

using skgxn::CallFrame;
using skgxn::PtrArg;

extern "C" {

SKGXN_EXPORT int skgxncin(skgxn_result* err, skgxn_context* ctx, skgxn_callbacks* callbacks,
                          void* cbctx, void* ext, uint32_t flags) {
  CallFrame frame("skgxncin", err);
  if (skgxn::createContext("skgxncin", ctx, callbacks, cbctx) != skgxn::ERR_NONE) {
    frame.fail(SKGXN_EUNK, "skgxncin:ERROR: creating context");
  }
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", callbacks(i)=" << PtrArg{callbacks}
      << ", cbctx(i)=" << PtrArg{cbctx} << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxncdel(skgxn_result* err, skgxn_context* ctx, void* ext, uint32_t flags) {
  CallFrame frame("skgxncdel", err);
  if (skgxn::checkContext(ctx)) {
    skgxn::releaseContext(ctx);
  } else {
    frame.fail(SKGXN_EINVAL, "skgxncdel:ERROR: context is NULL or invalid");
  }
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxntrace(skgxn_result* err, skgxn_context* ctx, void* ext,
                            uint32_t trace_flags) {
  CallFrame frame("skgxntrace", err, ctx, SKGXN_CTX_TRACE_TRACE);
  if (skgxn::checkContext(ctx)) {
    skgxn::setContextTraceFlags(ctx, trace_flags);
  } else {
    frame.fail(SKGXN_EINVAL, "skgxntrace:ERROR: context is NULL or invalid");
  }
  frame.exit([&](std::ostream& o) {
    o << "ctx(i)=" << PtrArg{ctx} << ", trace_flags(i)=0x" << std::hex << trace_flags << std::dec
      << ", ext(i)=" << PtrArg{ext};
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnever(skgxn_result* err, const skgxn_version* cvers, skgxn_version* overs,
                           char* vendstr, uint32_t vendsz, void* ext, uint32_t flags) {
  CallFrame frame("skgxnever", err);
  skgxn::VersionOutcome out;
  skgxn::negotiateVersion(frame, cvers, overs, vendstr, vendsz, out);
  frame.exit([&](std::ostream& o) {
    // The buffer is the caller's: its contents are shown only when this call
    // wrote the vendor text into it.
    o << "cvers(i)=" << out.callerMajor << "." << out.callerMinor
      << ", overs(o)=" << out.reportedMajor << "." << skgxn::kLibraryMinor
      << ", vendstr(o)=" << (out.vendorWritten ? vendstr : "") << ", vendsz(i)=" << vendsz
      << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
  });
  return frame.status();
}

SKGXN_EXPORT int skgxnqtsz(skgxn_result* err, int32_t type, void* ext, uint32_t flags) {
  CallFrame frame("skgxnqtsz", err);
  const skgxn::TypeSize found = skgxn::typeSize(type);
  if (!found.known)
    frame.fail(SKGXN_EINVAL, "skgxnqtsz:ERROR unknown type " + std::to_string(type));
  frame.exit(
      [&](std::ostream& o) {
        o << "type(i)=" << found.name << ", ext(i)=" << PtrArg{ext} << ", flags(i)=" << flags;
      },
      [&](std::ostream& o) { o << found.size << " - "; });
  return static_cast<int>(found.size);
}

SKGXN_EXPORT int skgxnqat(skgxn_result* err, skgxn_context* ctx, int32_t attr, void* ext,
                          uint32_t flags) {
  CallFrame frame("skgxnqat", err, ctx, SKGXN_CTX_TRACE_QUERY);
  skgxn::Attribute found{"???", -1, false};
  if (!skgxn::checkContext(ctx)) {
    frame.fail(SKGXN_EINVAL, "skgxnqat:ERROR: context is NULL or invalid");
  } else {
    found = skgxn::attribute(attr);
    if (!found.known) {
      frame.fail(SKGXN_EINVAL, "skgxnqat:ERROR unknown attribute " + std::to_string(attr));
    }
  }
  frame.exit(
      [&](std::ostream& o) {
        o << "ctx(i)=" << PtrArg{ctx} << ", attr(i)=" << found.name << ", ext(i)=" << PtrArg{ext}
          << ", flags(i)=" << flags;
      },
      [&](std::ostream& o) { o << found.value << " - "; });
  return found.value;
}

}  // extern "C"
