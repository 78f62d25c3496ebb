// Checks the built libskgxn2.so.1 from outside: its dynamic symbol table
// defines exactly the 18 exported calls and nothing else, and loading and
// unloading it leaves no descriptor behind. Runs in the private mount
// namespace: it writes the command file.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "skgxn.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

std::set<std::string> definedDynamicSymbols(const std::string& library) {
  std::set<std::string> names;
  std::string command = "nm -D --defined-only '" + library + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  EXPECT_EQ(::pclose(pipe), 0) << command;
  return names;
}

TEST(SharedLibrary, ExportsExactlyTheEighteenCalls) {
  const std::set<std::string> expected = {
      "skgxncin",   "skgxncdel",   "skgxntrace", "skgxnever",   "skgxnqtsz", "skgxnqat",
      "skgxnqcnum", "skgxnqname",  "skgxnqanum", "skgxnqvnds",  "skgxnreg",  "skgxndrg",
      "skgxnpstat", "skgxnprdata", "skgxnqgrp",  "skgxnpbdata", "skgxnsrg",  "skgxnsdr"};
  EXPECT_EQ(definedDynamicSymbols(SKGXN_SHARED_LIBRARY), expected);
}

size_t openDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  size_t n = 0;
  while (::readdir(dir) != nullptr) ++n;
  ::closedir(dir);
  return n;
}

// Loads the library, makes one call (which opens the trace log the command
// file asks for) and unloads it.
void loadCallUnload() {
#if defined(__SANITIZE_ADDRESS__)
  // The locks and settings the library allocates once and never frees, so
  // that they outlive exit, stay behind at every unload.
  __lsan::ScopedDisabler neverFreedHolders;
#endif
  void* library = ::dlopen(SKGXN_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto* qtsz = reinterpret_cast<decltype(&skgxnqtsz)>(::dlsym(library, "skgxnqtsz"));
  ASSERT_NE(qtsz, nullptr);
  skgxn_result result;
  EXPECT_EQ(qtsz(&result, SKGXN_TYPE_CONTEXT, nullptr, 0), 16);
  EXPECT_EQ(::dlclose(library), 0);
}

TEST(SharedLibrary, UnloadClosesTheTraceLog) {
  const std::string log = "/var/tmp/unload_trace.log";
  std::ofstream("/var/cluster/velk/skgxn_client_cmd") << "OUTPUT ON " << log << "\n";
  loadCallUnload();
  const size_t before = openDescriptors();
  for (int i = 0; i < 4; ++i) loadCallUnload();
  EXPECT_EQ(openDescriptors(), before);
  // Each load opened the log: its marker line is there once per cycle.
  std::ifstream in(log);
  std::string text(std::istreambuf_iterator<char>(in), {});
  size_t markers = 0;
  for (size_t at = 0; (at = text.find("NEW LOGGING STARTED", at)) != std::string::npos; ++at) {
    ++markers;
  }
  EXPECT_EQ(markers, 5u);
}

}  // namespace
