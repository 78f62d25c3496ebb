// Context objects, the registry of the live ones, and the per-context trace
// flags and callback.
#include "api/context.h"

#include <pthread.h>

#include <mutex>
#include <unordered_set>

#include "diag/trace.h"
#include "group/group_handle.h"

namespace skgxn {

namespace {

// Every context object this library created and has not released. A caller's
// record is only read through after its object is found here, so a forged,
// stale or copied record cannot make the library touch foreign memory.
// Written by createContext and releaseContext under registryLock(); never
// destroyed, so a call racing process exit finds a usable set.
struct ContextRegistry {
  std::mutex lock;
  std::unordered_set<const void*> live;
};

ContextRegistry& registry() {
  static auto* instance = [] {
    auto* created = new ContextRegistry;
    // Held across fork(), so a child never finds it taken by a thread it
    // does not have.
    pthread_atfork([] { registry().lock.lock(); }, [] { registry().lock.unlock(); },
                   [] { registry().lock.unlock(); });
    return created;
  }();
  return *instance;
}

// The live object the record names, or null. Callers hold registry().lock.
SkgxnContext* liveObject(const skgxn_context* ctx) {
  if (ctx == nullptr || ctx->object == nullptr) return nullptr;
  if (registry().live.count(ctx->object) == 0) return nullptr;
  return static_cast<SkgxnContext*>(ctx->object);
}

bool isClean(const skgxn_context& ctx) { return ctx.object == nullptr && ctx.check == 0; }

}  // namespace

uint16_t contextCheck(const SkgxnContext& object) { return pointerFieldCheck(&object.header); }

ErrCode createContext(const char* function, skgxn_context* ctx, skgxn_callbacks* callbacks,
                      void* cbctx) {
  if (ctx == nullptr) return ERR_INVALID;
  if (!isClean(*ctx)) {
    traceLine(std::string(function) + ":WARN context not clean - possibly in use\n", TRACE_ERR);
  }
  auto* object = new SkgxnContext;
  object->callbacks = callbacks;
  object->cbctx = cbctx;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    registry().live.insert(object);
  }
  ctx->object = object;
  ctx->check = contextCheck(*object);
  return ERR_NONE;
}

void releaseContext(skgxn_context* ctx) {
  if (ctx == nullptr) return;
  SkgxnContext* object = nullptr;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    object = liveObject(ctx);
    if (object != nullptr) registry().live.erase(object);
  }
  // Out of the registry, the object is reachable by this thread alone.
  if (object != nullptr) {
    releaseGroupList(object->handles);
    delete object;
  }
  clearContextRecord(ctx);
}

bool isValidContext(const skgxn_context* ctx) {
  std::lock_guard<std::mutex> guard(registry().lock);
  const SkgxnContext* object = liveObject(ctx);
  return object != nullptr && ctx->check == contextCheck(*object);
}

bool checkContext(skgxn_context* ctx) {
  if (isValidContext(ctx)) return true;
  clearContextRecord(ctx);
  return false;
}

void clearContextRecord(skgxn_context* ctx) {
  if (ctx == nullptr) return;
  ctx->object = nullptr;
  ctx->check = 0;
}

bool contextTraceWanted(const skgxn_context* ctx, uint32_t bit) {
  std::lock_guard<std::mutex> guard(registry().lock);
  const SkgxnContext* object = liveObject(ctx);
  return object != nullptr && (object->traceFlags.load(std::memory_order_relaxed) & bit) != 0;
}

void setContextTraceFlags(const skgxn_context* ctx, uint32_t flags) {
  std::lock_guard<std::mutex> guard(registry().lock);
  SkgxnContext* object = liveObject(ctx);
  if (object != nullptr) object->traceFlags.store(flags, std::memory_order_relaxed);
}

void callTraceCallback(const skgxn_context* ctx, uint32_t bit, const char* function,
                       const std::string& line) {
  void (*trace)(void*, const char*, ...) = nullptr;
  void* cbctx = nullptr;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    const SkgxnContext* object = liveObject(ctx);
    if (object == nullptr || (object->traceFlags.load(std::memory_order_relaxed) & bit) == 0 ||
        object->callbacks == nullptr) {
      return;
    }
    trace = object->callbacks->trace;
    cbctx = object->cbctx;
  }
  // Called without the registry lock: the caller's function may call back
  // into the library.
  if (trace != nullptr && cbctx != nullptr) trace(cbctx, "%s: %s", function, line.c_str());
}

GroupList* contextGroupList(const skgxn_context* ctx) {
  std::lock_guard<std::mutex> guard(registry().lock);
  SkgxnContext* object = liveObject(ctx);
  return object == nullptr ? nullptr : &object->handles;
}

}  // namespace skgxn
