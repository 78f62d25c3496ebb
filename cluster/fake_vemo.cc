// The test double of libvemo.so.1: the three calls answering from a table
// and results that each test sets through fake_vemo.h. Built under the real
// soname in a directory of its own so that tests can load it in its place.
#include "cluster/fake_vemo.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vemo.h"

#define FAKE_EXPORT __attribute__((visibility("default")))

namespace {

constexpr int kUnknownTag = 12;

struct FakeState {
  std::mutex lock;
  std::vector<uint32_t> ids;
  std::vector<std::string> names;  // parallel to ids
  vemo_nodeid_array_t array{};
  uint32_t local = 0;
  int openResult = 0;
  int closeResult = 0;
  std::map<std::string, int> getResults;
  bool nullAnswers = false;
  std::set<uintptr_t> open;
  uintptr_t nextHandle = 0x1000;
  int opens = 0;
  int closes = 0;
  int gets = 0;
  int stale = 0;
};

FakeState& fake() {
  static auto* state = new FakeState;
  return *state;
}

int answer(FakeState& f, const char* tag, va_list args) {
  if (std::strcmp(tag, VEMO_ALL_NODEIDS) == 0) {
    f.array.count = static_cast<uint32_t>(f.ids.size());
    f.array.ids = f.ids.data();
    *va_arg(args, vemo_nodeid_array_t**) = f.nullAnswers ? nullptr : &f.array;
    return VEMO_OK;
  }
  if (std::strcmp(tag, VEMO_NODEID_LOCAL) == 0) {
    *va_arg(args, uint32_t*) = f.local;
    return VEMO_OK;
  }
  if (std::strcmp(tag, VEMO_NODEID_NODENAME) == 0) {
    const char* name = va_arg(args, const char*);
    uint32_t* out = va_arg(args, uint32_t*);
    for (size_t i = 0; i < f.ids.size(); ++i)
      if (f.names[i] == name) {
        *out = f.ids[i];
        return VEMO_OK;
      }
    return VEMO_EINVAL;
  }
  if (std::strcmp(tag, VEMO_NODENAME_NODEID) != 0) return kUnknownTag;
  uint32_t number = va_arg(args, uint32_t);
  const char** out = va_arg(args, const char**);
  for (size_t i = 0; i < f.ids.size(); ++i)
    if (f.ids[i] == number) {
      *out = f.nullAnswers ? nullptr : f.names[i].c_str();
      return VEMO_OK;
    }
  return VEMO_EINVAL;
}

}  // namespace

extern "C" {

FAKE_EXPORT void fake_vemo_reset(void) {
  FakeState& f = fake();
  std::lock_guard<std::mutex> guard(f.lock);
  f.ids.clear();
  f.names.clear();
  f.local = 0;
  f.openResult = f.closeResult = 0;
  f.getResults.clear();
  f.nullAnswers = false;
  f.open.clear();
  f.opens = f.closes = f.gets = f.stale = 0;
}

FAKE_EXPORT void fake_vemo_add_node(uint32_t number, const char* name) {
  FakeState& f = fake();
  std::lock_guard<std::mutex> guard(f.lock);
  f.ids.push_back(number);
  f.names.emplace_back(name);
}

FAKE_EXPORT void fake_vemo_set_local(uint32_t number) {
  FakeState& f = fake();
  std::lock_guard<std::mutex> guard(f.lock);
  f.local = number;
}

FAKE_EXPORT void fake_vemo_set_open_result(int result) {
  FakeState& f = fake();
  std::lock_guard<std::mutex> guard(f.lock);
  f.openResult = result;
}

FAKE_EXPORT void fake_vemo_set_close_result(int result) {
  FakeState& f = fake();
  std::lock_guard<std::mutex> guard(f.lock);
  f.closeResult = result;
}

FAKE_EXPORT void fake_vemo_set_get_result(const char* tag, int result) {
  FakeState& f = fake();
  std::lock_guard<std::mutex> guard(f.lock);
  f.getResults[tag] = result;
}

FAKE_EXPORT void fake_vemo_set_null_answers(int on) {
  FakeState& f = fake();
  std::lock_guard<std::mutex> guard(f.lock);
  f.nullAnswers = on != 0;
}

FAKE_EXPORT int fake_vemo_open_calls(void) {
  std::lock_guard<std::mutex> guard(fake().lock);
  return fake().opens;
}

FAKE_EXPORT int fake_vemo_close_calls(void) {
  std::lock_guard<std::mutex> guard(fake().lock);
  return fake().closes;
}

FAKE_EXPORT int fake_vemo_get_calls(void) {
  std::lock_guard<std::mutex> guard(fake().lock);
  return fake().gets;
}

FAKE_EXPORT int fake_vemo_stale_handle_uses(void) {
  std::lock_guard<std::mutex> guard(fake().lock);
  return fake().stale;
}

FAKE_EXPORT int vemo_cluster_open(vemo_handle_t* handle) {
  FakeState& f = fake();
  std::lock_guard<std::mutex> guard(f.lock);
  ++f.opens;
  if (f.openResult != VEMO_OK) return f.openResult;
  uintptr_t h = f.nextHandle++;
  f.open.insert(h);
  *handle = reinterpret_cast<vemo_handle_t>(h);
  return VEMO_OK;
}

FAKE_EXPORT int vemo_cluster_get(vemo_handle_t handle, const char* tag, ...) {
  // Gives a racing close the chance to run between a caller reading its
  // handle and the double looking at it, so an unserialised caller shows up
  // as a stale use.
  std::this_thread::yield();
  FakeState& f = fake();
  std::lock_guard<std::mutex> guard(f.lock);
  ++f.gets;
  if (f.open.count(reinterpret_cast<uintptr_t>(handle)) == 0) ++f.stale;
  auto it = f.getResults.find(tag);
  int result = it == f.getResults.end() ? VEMO_OK : it->second;
  if (result != VEMO_OK && result != VEMO_OK_PARTIAL) return result;
  va_list args;
  va_start(args, tag);
  int found = answer(f, tag, args);
  va_end(args);
  return found == VEMO_OK ? result : found;
}

FAKE_EXPORT int vemo_cluster_close(vemo_handle_t handle) {
  FakeState& f = fake();
  std::lock_guard<std::mutex> guard(f.lock);
  ++f.closes;
  if (f.open.erase(reinterpret_cast<uintptr_t>(handle)) == 0) ++f.stale;
  return f.closeResult;
}

}  // extern "C"
