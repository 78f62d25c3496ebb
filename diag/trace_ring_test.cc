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
                    d24 = line(24, 'd'), e24 = line(24, 'e'), x32 = line(32, 'x'),
                    y31 = line(31, 'y');
  const struct {
    const char* what;
    uint32_t capacity;
    std::vector<std::string> lines;
    std::string contents;
    uint32_t next, oldest;
  } rows[] = {
      {"never wrapped", 64, {"one\n", "two\n", "three\n"}, "one\ntwo\nthree\n", 17, 0},
      {"half capacity refused", 64, {x32, y31}, y31, 32, 0},
      // d does not fit in the 4 bytes left: it goes to 0 and drops a and b.
      {"wrap drops lines reached", 64, {a, b, c, d24}, c + d24, 25, 40},
      // e runs from 20 into the middle of c: the rest of c goes too.
      {"oldest cut in the middle", 64, {a, b, c, d, e24}, d + e24, 45, 60},
      // b ends exactly at the end: next wraps to 0, where a is dropped.
      {"ends exactly at the end", 16, {"aaaaaa\n", "bbbbbb\n"}, "bbbbbb\n", 0, 8},
      {"after ending at the end", 16, {"aaaaaa\n", "bbbbbb\n", "cc\n"}, "bbbbbb\ncc\n", 4, 8},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TraceRing ring(row.capacity);
    ring.store(nullptr);  // never stored
    for (const std::string& text : row.lines) ring.store(text.c_str());
    EXPECT_EQ(contents(ring), row.contents);
    EXPECT_EQ(ring.next(), row.next);
    EXPECT_EQ(ring.oldest(), row.oldest);
  }
}

TEST(TraceRing, ManyWrapsKeepWholeLinesOldestFirst) {
  TraceRing ring(256);
  for (int i = 0; i < 1000; ++i) {
    ring.store(("line " + std::to_string(i) + std::string(i % 37, '.') + "\n").c_str());
  }
  std::string all = contents(ring);
  ASSERT_EQ(all.back(), '\n');
  // Every line is whole and the numbers rise by one up to the newest.
  int expected = -1;
  for (size_t pos = 0, end; pos < all.size(); pos = end + 1) {
    end = all.find('\n', pos);
    std::string one = all.substr(pos, end - pos);
    ASSERT_EQ(one.rfind("line ", 0), 0u) << one;
    int number = std::stoi(one.substr(5));
    EXPECT_TRUE(expected < 0 || number == expected) << one;
    expected = number + 1;
  }
  EXPECT_EQ(expected, 1000);
}

}  // namespace
}  // namespace skgxn
