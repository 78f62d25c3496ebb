// Tests of TraceRing's storing rule: back-to-back lines, the wrap, which line
// counts as the oldest, and what writeTo gives back.
#include "diag/trace_ring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace skgxn {
namespace {

std::string contents(const TraceRing& ring) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  ring.writeTo(out);
  std::fclose(out);
  std::string result(text, size);
  std::free(text);
  return result;
}

// A line of length n (its NUL makes n + 1 bytes in the ring) made of c.
std::string line(size_t n, char c) { return std::string(n - 1, c) + "\n"; }

TEST(TraceRing, StoresWholeLinesAndWrapsOverTheOldest) {
  const std::string a = line(19, 'a'), b = line(19, 'b'), c = line(19, 'c'), d = line(19, 'd'),
                    d24 = line(24, 'd'), e24 = line(24, 'e'), y31 = line(31, 'y');
  const struct {
    uint32_t capacity;
    std::vector<std::string> lines;
    std::string contents;
    uint32_t next, oldest;
  } rows[] = {
      {64, {"one\n", "two\n", "three\n"}, "one\ntwo\nthree\n", 17, 0},
      {64, {line(32, 'x'), y31}, y31, 32, 0},            // half the capacity is refused
      {64, {a, b, c, d24}, c + d24, 25, 40},             // d24 goes to 0 and drops a and b
      {64, {a, b, c, d, e24}, d + e24, 45, 60},          // e24 ends inside c: the rest of c goes
      {16, {"aaaaaa\n", "bbbbbb\n"}, "bbbbbb\n", 0, 8},  // ends at the end: next wraps
      {16, {"aaaaaa\n", "bbbbbb\n", "cc\n"}, "bbbbbb\ncc\n", 4, 8},
  };
  for (const auto& row : rows) {
    TraceRing ring(row.capacity);
    ring.store(nullptr);  // never stored
    for (const std::string& text : row.lines) ring.store(text.c_str());
    EXPECT_EQ(
        contents(ring) + "|" + std::to_string(ring.next()) + "|" + std::to_string(ring.oldest()),
        row.contents + "|" + std::to_string(row.next) + "|" + std::to_string(row.oldest));
  }
}

TEST(TraceRing, ManyWrapsKeepWholeLinesOldestFirst) {
  TraceRing ring(256);
  std::string all;
  for (int i = 0; i < 1000; ++i) {
    all += "line " + std::to_string(i) + std::string(i % 37, '.') + "\n";
    ring.store(all.substr(all.rfind('\n', all.size() - 2) + 1).c_str());
  }
  const std::string kept = contents(ring);
  ASSERT_GT(kept.size(), 100u);
  EXPECT_EQ(all.substr(all.size() - kept.size()), kept);  // a whole-line tail of everything
  EXPECT_EQ(all[all.size() - kept.size() - 1], '\n');
}

}  // namespace
}  // namespace skgxn
