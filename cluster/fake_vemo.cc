// The test double of libvemo.so.1: its three calls, answering from the table
// and with the results that each test sets through fake_vemo.h.
#include "cluster/fake_vemo.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vemo.h"

namespace {

// No lock: VemoIf serialises its calls, and one that does not is what the
// stale count (and the thread sanitizer) is there to catch.
struct Table {
  std::vector<uint32_t> ids;
  std::vector<std::string> names;  // parallel to ids
  uint32_t local = 0;
  std::map<std::string, int> results;  // by tag; "" for the open
  uintptr_t open = 0;                  // the one handle VemoIf holds at a time
  int opens = 0, gets = 0, stale = 0;
  vemo_nodeid_array_t array{};
} fake;
uintptr_t nextHandle = 0x1000;  // not reset, so an old handle never looks new

int answer(const char* tag, bool none, va_list args) {
  if (std::strcmp(tag, VEMO_NODEID_LOCAL) == 0) {
    *va_arg(args, uint32_t*) = fake.local;
  } else if (std::strcmp(tag, VEMO_ALL_NODEIDS) == 0) {
    fake.array = {static_cast<uint32_t>(fake.ids.size()), fake.ids.data()};
    *va_arg(args, vemo_nodeid_array_t**) = none ? nullptr : &fake.array;
  } else if (std::strcmp(tag, VEMO_NODEID_NODENAME) == 0) {
    const auto it = std::find(fake.names.begin(), fake.names.end(), va_arg(args, const char*));
    if (it == fake.names.end()) return VEMO_EINVAL;
    *va_arg(args, uint32_t*) = fake.ids[it - fake.names.begin()];
  } else {
    const auto it = std::find(fake.ids.begin(), fake.ids.end(), va_arg(args, uint32_t));
    if (it == fake.ids.end()) return VEMO_EINVAL;
    *va_arg(args, const char**) = none ? nullptr : fake.names[it - fake.ids.begin()].c_str();
  }
  return VEMO_OK;
}

}  // namespace

// Every call below is exported, with the C linkage of its declaration.
#pragma GCC visibility push(default)

void fake_vemo_reset(void) { fake = Table{}; }
void fake_vemo_add_node(uint32_t number, const char* name) {
  fake.ids.push_back(number);
  fake.names.emplace_back(name);
}
void fake_vemo_set_local(uint32_t number) { fake.local = number; }
void fake_vemo_set_get_result(const char* tag, int rc) { fake.results[tag ? tag : ""] = rc; }
int fake_vemo_open_calls(void) { return fake.opens; }
int fake_vemo_get_calls(void) { return fake.gets; }
int fake_vemo_stale_handle_uses(void) { return fake.stale; }

int vemo_cluster_open(vemo_handle_t* handle) {
  ++fake.opens;
  if (fake.results[""] != VEMO_OK) return fake.results[""];
  *handle = reinterpret_cast<vemo_handle_t>(fake.open = nextHandle++);
  return VEMO_OK;
}

int vemo_cluster_get(vemo_handle_t handle, const char* tag, ...) {
  // Gives a racing close the chance to run between a caller reading its
  // handle and the double looking at it, so an unserialised caller shows up
  // as a stale use.
  std::this_thread::yield();
  ++fake.gets;
  fake.stale += reinterpret_cast<uintptr_t>(handle) != fake.open;
  const int result = fake.results[tag];
  if (result > VEMO_OK && result != VEMO_OK_PARTIAL) return result;  // a failure answers nothing
  va_list args;
  va_start(args, tag);
  const int found = answer(tag, result == FAKE_VEMO_NO_ANSWER, args);
  va_end(args);
  return found != VEMO_OK ? found : std::max(result, VEMO_OK);  // no answer claims success
}

int vemo_cluster_close(vemo_handle_t handle) {
  fake.stale += reinterpret_cast<uintptr_t>(handle) != std::exchange(fake.open, 0);
  return VEMO_OK;
}
