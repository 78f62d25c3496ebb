// Checks the built libskgxn2.so.1 from outside: its dynamic symbol table
// defines exactly the 18 exported calls and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

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

}  // namespace
