// Checks the built libskgxn2.so.1 from outside: its dynamic symbol table
// defines exactly the 18 exported calls, and unloading it leaves no
// descriptor behind. In the private mount namespace: it writes the command file.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <set>

#include "diag/test_support.h"
#include "skgxn.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

TEST(SharedLibrary, ExportsExactlyTheEighteenCalls) {
  FILE* pipe = ::popen("nm -D --defined-only '" SKGXN_SHARED_LIBRARY "'", "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char name[256];
  while (std::fscanf(pipe, "%*s %*s %255s", name) == 1) names.insert(name);
  EXPECT_EQ(::pclose(pipe), 0);
  EXPECT_EQ(names,
            (std::set<std::string>{
                "skgxncin", "skgxncdel", "skgxntrace", "skgxnever", "skgxnqtsz", "skgxnqat",
                "skgxnqcnum", "skgxnqname", "skgxnqanum", "skgxnqvnds", "skgxnreg", "skgxndrg",
                "skgxnpstat", "skgxnprdata", "skgxnqgrp", "skgxnpbdata", "skgxnsrg", "skgxnsdr"}));
}

// Loads the library, makes one call (which opens the trace log the command
// file asks for) and unloads it.
void loadCallUnload() {
#if defined(__SANITIZE_ADDRESS__)
  // What the library allocates once so that it outlives exit stays behind.
  __lsan::ScopedDisabler neverFreedHolders;
#endif
  void* library = ::dlopen(SKGXN_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << ::dlerror();
  auto* qtsz = reinterpret_cast<decltype(&skgxnqtsz)>(::dlsym(library, "skgxnqtsz"));
  ASSERT_NE(qtsz, nullptr);
  EXPECT_EQ(qtsz(nullptr, SKGXN_TYPE_CONTEXT, nullptr, 0), 16);
  EXPECT_EQ(::dlclose(library), 0);
}

// Each load opens the log anew: its marker line is there once per cycle.
TEST(SharedLibrary, UnloadClosesTheTraceLog) {
  const std::string log = "/var/tmp/unload_trace.log";
  skgxn::test::writeFile("/var/cluster/velk/skgxn_client_cmd", "OUTPUT ON " + log + "\n");
  loadCallUnload();
  const size_t before = skgxn::test::openFdCount();
  for (int i = 0; i < 4; ++i) loadCallUnload();
  EXPECT_EQ(skgxn::test::openFdCount(), before);
  size_t markers = 0;
  for (const std::string& line : skgxn::test::splitLines(skgxn::test::readFile(log)))
    markers += line.find("NEW LOGGING STARTED") != std::string::npos;
  EXPECT_EQ(markers, 5u);
}

}  // namespace
