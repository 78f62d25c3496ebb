// Tests of LogFile: the marker, counting an existing file, rotation with
// count 0, 1 and N, files that cannot be opened, and refusing planted links.
#include "diag/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "diag/test_support.h"

namespace skgxn {
namespace {

constexpr const char* kMarker = "*** NEW LOGGING STARTED ***\n";
constexpr uint32_t kMarkerLength = 28;

mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(LogFile, NewFileStartsWithMarkerAndGetsModeDespiteUmask) {
  ScratchDir dir;
  std::string path = dir.file("log");
  mode_t old = umask(077);
  {
    LogFile log(path, 0666, 0, 0);
    EXPECT_TRUE(log.isOpen());
    EXPECT_EQ(log.size(), kMarkerLength);
    log.write("hello\n");
  }
  umask(old);
  EXPECT_EQ(readFile(path), std::string(kMarker) + "hello\n");
  EXPECT_EQ(modeOf(path), 0666u);
}

TEST(LogFile, ExistingFileIsContinuedAndItsLengthCounted) {
  ScratchDir dir;
  std::string path = dir.file("log");
  writeFile(path, "old content\n");
  LogFile log(path, 0666, 0, 0);
  EXPECT_EQ(log.size(), 12u + kMarkerLength);
  log.flush();
  EXPECT_EQ(readFile(path), std::string("old content\n") + kMarker);
}

TEST(LogFile, WriteOverLimitRotatesIntoFreshFileWithoutNewMarker) {
  ScratchDir dir;
  std::string path = dir.file("log");
  writeFile(path, std::string(990 - kMarkerLength, 'x'));
  writeFile(path + "1", "generation one\n");
  LogFile log(path, 0666, 1000, 2);
  ASSERT_EQ(log.size(), 990u);
  std::string text(19, 't');
  text += '\n';
  log.write(text.c_str());
  log.flush();
  EXPECT_EQ(readFile(path), text);
  EXPECT_EQ(readFile(path + "1"), std::string(990 - kMarkerLength, 'x') + kMarker);
  EXPECT_EQ(readFile(path + "2"), "generation one\n");
  EXPECT_EQ(log.size(), 20u);
  EXPECT_EQ(modeOf(path), 0666u);
}

TEST(LogFile, CountZeroAndOneKeepOneOldGeneration) {
  for (uint32_t count : {0u, 1u}) {
    ScratchDir dir;
    std::string path = dir.file("log");
    LogFile log(path, 0666, 40, count);
    log.write("first text that is long enough\n");
    log.write("second text that is long enough\n");
    log.write("third\n");
    log.flush();
    EXPECT_EQ(readFile(path), "second text that is long enough\nthird\n") << count;
    EXPECT_EQ(readFile(path + "1"), "first text that is long enough\n") << count;
    EXPECT_FALSE(exists(path + "2")) << count;
    EXPECT_FALSE(exists(path + "0")) << count;
  }
}

TEST(LogFile, CountNKeepsNGenerationsAndDropsTheOldest) {
  ScratchDir dir;
  std::string path = dir.file("log");
  LogFile log(path, 0666, 10, 3);  // the marker alone passes the limit
  for (char c : std::string("abcde")) {
    std::string text = std::string(9, c) + "\n";
    log.write(text.c_str());
  }
  log.flush();
  EXPECT_EQ(readFile(path), "eeeeeeeee\n");
  EXPECT_EQ(readFile(path + "1"), "ddddddddd\n");
  EXPECT_EQ(readFile(path + "2"), "ccccccccc\n");
  EXPECT_EQ(readFile(path + "3"), "bbbbbbbbb\n");
  EXPECT_FALSE(exists(path + "4"));
  EXPECT_FALSE(exists(path + "0"));
}

TEST(LogFile, MissingDirectorySwallowsWrites) {
  ScratchDir dir;
  std::string path = dir.file("absent/log");
  LogFile log(path, 0666, 10, 2);
  EXPECT_FALSE(log.isOpen());
  log.write("nothing\n");
  log.flush();
  EXPECT_EQ(log.size(), 0u);
  EXPECT_FALSE(exists(path));
}

TEST(LogFile, PlantedSymbolicLinkIsNeitherFollowedNorChmodded) {
  ScratchDir dir;
  std::string target = dir.file("victim");
  std::string path = dir.file("log");
  writeFile(target, "precious\n");
  chmod(target.c_str(), 0600);
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  LogFile log(path, 0666, 0, 0);
  EXPECT_FALSE(log.isOpen());
  log.write("intruder\n");
  EXPECT_EQ(readFile(target), "precious\n");
  EXPECT_EQ(modeOf(target), 0600u);
}

TEST(LogFile, PlantedFifoIsRefusedWithoutBlocking) {
  ScratchDir dir;
  std::string path = dir.file("log");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  LogFile log(path, 0666, 0, 0);
  EXPECT_FALSE(log.isOpen());
}

}  // namespace
}  // namespace skgxn
