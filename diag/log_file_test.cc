// Tests of LogFile: the marker, the mode only on files it creates, counting an
// existing file, rotation with count 0, 1, N and the largest, files that
// cannot be opened, and refusing planted links.
#include "diag/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "diag/test_support.h"

namespace skgxn {
namespace {

using namespace test;

const std::string kMarker = "*** NEW LOGGING STARTED ***\n";

mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

long openFds() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// The contents of path, path1, path2, ... up to the first that is missing.
std::vector<std::string> generations(const std::string& path) {
  std::vector<std::string> found{readFile(path)};
  for (int i = 1; exists(path + std::to_string(i)); ++i) {
    found.push_back(readFile(path + std::to_string(i)));
  }
  return found;
}

class LogFileTest : public ::testing::Test {
 protected:
  ScratchDir dir_;
  std::string path_ = dir_.file("log");
};

TEST_F(LogFileTest, OnlyAFileItCreatesGetsTheModeWhateverTheUmask) {
  const std::string kept = dir_.file("kept"), dump = dir_.file("dump");
  for (const std::string& path : {kept, dump}) {
    writeFile(path, "old\n");
    chmod(path.c_str(), 0600);
  }
  mode_t old = umask(077);
  {
    LogFile log(path_, 0666, 0, 0);
    EXPECT_EQ(log.size(), kMarker.size());
    log.write("hello\n");
    LogFile existing(kept, 0666, 0, 0);
    FileOwner truncated(openLogStream(dump.c_str(), 0666, true));
  }
  umask(old);
  EXPECT_EQ((std::vector<std::string>{readFile(path_), readFile(kept), readFile(dump)}),
            (std::vector<std::string>{kMarker + "hello\n", "old\n" + kMarker, ""}));
  EXPECT_EQ((std::vector<mode_t>{modeOf(path_), modeOf(kept), modeOf(dump)}),
            (std::vector<mode_t>{0666, 0600, 0600}));
}

TEST_F(LogFileTest, WriteOverLimitRotatesIntoFreshFileWithoutNewMarker) {
  const std::string old(990 - kMarker.size(), 'x'), text = std::string(19, 't') + "\n";
  writeFile(path_, old);
  writeFile(path_ + "1", "generation one\n");
  LogFile log(path_, 0666, 1000, 2);
  ASSERT_EQ(log.size(), 990u);  // the old content is counted, and continued
  log.write(text.c_str());      // 990 + 20 passes 1000: rotate first
  log.write(text.c_str());      // 20 + 20 fits: appended
  log.flush();
  EXPECT_EQ(generations(path_),
            (std::vector<std::string>{text + text, old + kMarker, "generation one\n"}));
  EXPECT_EQ(log.size(), 40u);
  EXPECT_EQ(modeOf(path_), 0666u);
}

TEST_F(LogFileTest, RotationKeepsCountGenerationsButAtLeastOne) {
  // The largest count keeps every generation, without a pass over 2^32 names.
  for (uint32_t count : {0u, 1u, 3u, UINT32_MAX}) {
    SCOPED_TRACE(count);
    ScratchDir dir;
    std::string path = dir.file("log");
    const long fdsBefore = openFds();
    {
      LogFile log(path, 0666, 10, count);  // the marker alone passes the limit
      for (char c : std::string("abcde")) log.write((std::string(9, c) + "\n").c_str());
    }
    EXPECT_EQ(openFds(), fdsBefore);  // every rotated-out generation was closed
    std::vector<std::string> expected{
        "eeeeeeeee\n", "ddddddddd\n", "ccccccccc\n", "bbbbbbbbb\n", "aaaaaaaaa\n", kMarker, ""};
    expected.resize(std::min(std::max(count, 1u), 6u) + 1);
    EXPECT_EQ(generations(path), expected);
    EXPECT_FALSE(exists(path + "0"));
  }
}

TEST_F(LogFileTest, MissingDirectoryPlantedLinkOrFifoIsRefusedAndSwallowsWrites) {
  std::string target = dir_.file("victim"), fifo = dir_.file("fifo");
  writeFile(target, "precious\n");
  chmod(target.c_str(), 0600);
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {path_, fifo, dir_.file("absent/log")}) {
    SCOPED_TRACE(path);
    LogFile log(path, 0666, 10, 2);  // a FIFO must not block here
    EXPECT_FALSE(log.isOpen());
    log.write("intruder\n");
    log.flush();
    EXPECT_EQ(log.size(), 0u);
  }
  EXPECT_FALSE(exists(dir_.file("absent")));
  EXPECT_EQ(readFile(target), "precious\n");
  EXPECT_EQ(modeOf(target), 0600u);
}

}  // namespace
}  // namespace skgxn
