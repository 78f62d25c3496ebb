// Tests of TraceRing's storing rule: back-to-back lines, the wrap, which line
// counts as the oldest, and what writeTo gives back.
#include "diag/trace_ring.h"

#include <gtest/gtest.h>

#include <string>

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

TEST(TraceRing, RecordThatNeverWrappedListsExactlyItsLines) {
  TraceRing ring(64);
  ring.store("one\n");
  ring.store("two\n");
  ring.store("three\n");
  EXPECT_EQ(contents(ring), "one\ntwo\nthree\n");
  EXPECT_EQ(ring.oldest(), 0u);
  EXPECT_EQ(ring.next(), 5u + 5u + 7u);
}

TEST(TraceRing, NullAndHalfCapacityLinesAreNotStored) {
  TraceRing ring(64);
  ring.store(nullptr);
  ring.store(line(32, 'x').c_str());
  EXPECT_EQ(ring.next(), 0u);
  ring.store(line(31, 'y').c_str());
  EXPECT_EQ(contents(ring), line(31, 'y'));
}

TEST(TraceRing, LineThatDoesNotFitGoesToStartAndDropsLinesItReached) {
  TraceRing ring(64);
  std::string a = line(19, 'a'), b = line(19, 'b'), c = line(19, 'c'), d = line(24, 'd');
  ring.store(a.c_str());  // bytes 0..19
  ring.store(b.c_str());  // 20..39
  ring.store(c.c_str());  // 40..59, leaving 4 bytes
  ring.store(d.c_str());  // 0..24: over a and the start of b
  EXPECT_EQ(ring.next(), 25u);
  EXPECT_EQ(ring.oldest(), 40u);
  EXPECT_EQ(contents(ring), c + d);
}

TEST(TraceRing, NewLineRunningIntoOldestSkipsRestOfThatLine) {
  TraceRing ring(64);
  std::string c = line(19, 'c'), d = line(19, 'd'), e = line(24, 'e');
  ring.store(line(19, 'a').c_str());
  ring.store(line(19, 'b').c_str());
  ring.store(c.c_str());
  ring.store(d.c_str());  // wraps; oldest is c at 40
  ASSERT_EQ(contents(ring), c + d);
  ring.store(e.c_str());  // 20..44: into the middle of c
  EXPECT_EQ(ring.oldest(), 60u);
  EXPECT_EQ(contents(ring), d + e);
}

TEST(TraceRing, LineEndingExactlyAtEndDropsTheLineAtStart) {
  TraceRing ring(16);
  ring.store("aaaaaa\n");  // 0..7
  ring.store("bbbbbb\n");  // 8..15, next wraps to 0
  EXPECT_EQ(ring.next(), 0u);
  EXPECT_EQ(ring.oldest(), 8u);
  EXPECT_EQ(contents(ring), "bbbbbb\n");
  ring.store("cc\n");
  EXPECT_EQ(contents(ring), "bbbbbb\ncc\n");
}

TEST(TraceRing, ManyWrapsKeepWholeLinesOldestFirst) {
  TraceRing ring(256);
  for (int i = 0; i < 1000; ++i) {
    std::string text = "line " + std::to_string(i) + std::string(i % 37, '.') + "\n";
    ring.store(text.c_str());
  }
  std::string all = contents(ring);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back(), '\n');
  // Every line is whole and the numbers rise by one up to the newest.
  int expected = -1;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find('\n', pos);
    std::string one = all.substr(pos, end - pos);
    ASSERT_EQ(one.rfind("line ", 0), 0u) << one;
    int number = std::stoi(one.substr(5));
    if (expected >= 0) {
      EXPECT_EQ(number, expected);
    }
    expected = number + 1;
    pos = end + 1;
  }
  EXPECT_EQ(expected, 1000);
}

}  // namespace
}  // namespace skgxn
