// The library's context object behind a caller's context record, and the
// operations every call that takes a context uses: create, validate, clear,
// release, per-context trace flags and the trace callback.
// The registry of created objects lives here too, so a record naming
// anything else is refused without being read through.
#ifndef API_CONTEXT_H_
#define API_CONTEXT_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "diag/err_code.h"
#include "group/group_state.h"
#include "skgxn.h"

namespace skgxn {

inline constexpr uintptr_t kContextHeader = 32;

struct SkgxnContext {
  // Must stay first and pointer-sized: the record's check is the byte sum of
  // this field, so every valid context has check 32.
  uintptr_t header = kContextHeader;
  GroupList handles;
  // Read by the exit step of any thread without a lock; a stale read only
  // decides whether one callback is made.
  std::atomic<uint32_t> traceFlags{0};
  skgxn_callbacks* callbacks = nullptr;
  void* cbctx = nullptr;
};

// Creates a context and stores it in *ctx (object and check). A record that
// is not clean (object or check non-zero) gets the line
// "<function>:WARN context not clean - possibly in use" under TRACE_ERR and is
// overwritten; the object it named is left as it is.
// ERR_INVALID for a null ctx (nothing is written).
[[nodiscard]] ErrCode createContext(const char* function, skgxn_context* ctx,
                                    skgxn_callbacks* callbacks, void* cbctx);

// Releases the object the record names, if this library created it and it is
// still live: every GroupState still listed is released (descriptors closed,
// statistics file closed, nothing sent to the daemon), then the object is
// freed. The record is cleared in every case; null is ignored.
void releaseContext(skgxn_context* ctx);

// True when ctx is non-null, names a live context object of this library and
// its check matches. Never reads through an object it did not create.
bool isValidContext(const skgxn_context* ctx);

// isValidContext; on false a non-null record is cleared (object and check
// zero, the reserved bytes untouched), as every checking call requires.
bool checkContext(skgxn_context* ctx);

// Sets object and check of a non-null record to zero.
void clearContextRecord(skgxn_context* ctx);

// True when the record names a live context whose trace flags hold bit.
bool contextTraceWanted(const skgxn_context* ctx, uint32_t bit);

// Replaces the trace flags of the live context the record names.
void setContextTraceFlags(const skgxn_context* ctx, uint32_t flags);

// Calls the context's trace function with (cbctx, "%s: %s", function, line)
// when the context is live, its flags hold bit, and the callbacks record, its
// trace function and cbctx are all non-null.
void callTraceCallback(const skgxn_context* ctx, uint32_t bit, const char* function,
                       const std::string& line);

// The group list of the live context the record names, or null. The list
// stays valid until the context is released.
GroupList* contextGroupList(const skgxn_context* ctx);

// The check value of a context object: the byte sum of its first field.
uint16_t contextCheck(const SkgxnContext& object);

}  // namespace skgxn

#endif  // API_CONTEXT_H_
