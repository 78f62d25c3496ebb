// Tests of LogFile: the mode only on files it creates, continuing an existing
// file, rotation bounded by the generations on disk, and refused paths.
#include "diag/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "diag/test_support.h"

namespace skgxn {
namespace {

using namespace test;
using Texts = std::vector<std::string>;

const std::string kMarker = "*** NEW LOGGING STARTED ***\n";

mode_t modeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// The contents of path, path1, path2, ... up to the first that is missing.
Texts generations(const std::string& path) {
  Texts found{readFile(path)};
  for (int i = 1; std::filesystem::exists(path + std::to_string(i)); ++i)
    found.push_back(readFile(path + std::to_string(i)));
  return found;
}

// A file that was there keeps its mode and its content counts towards the
// limit; only files made here, first or by rotation, get the mode.
TEST(LogFile, OnlyAFileItCreatesGetsTheModeAndAnExistingOneIsContinued) {
  ScratchDir dir;
  const std::string made = dir.file("made"), kept = dir.file("kept"), dump = dir.file("dump");
  const std::string old(990 - kMarker.size(), 'x'), text = std::string(19, 't') + "\n";
  for (const std::string& path : {kept, dump}) {
    writeFile(path, old);
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  }
  writeFile(kept + "1", "one\n");
  const mode_t umaskBefore = umask(077);
  {
    LogFile log(made, 0666, 0, 0);
    LogFile existing(kept, 0666, 1000, 2);
    EXPECT_EQ(existing.size(), 990u);
    existing.write(text.c_str());  // 990 + 20 passes 1000: rotate first, no new marker
    existing.write(text.c_str());  // 20 + 20 fits
    EXPECT_EQ(existing.size(), 40u);
    FileOwner truncated(openLogStream(dump.c_str(), 0666, true));
  }
  umask(umaskBefore);
  EXPECT_EQ(generations(kept), (Texts{text + text, old + kMarker, "one\n"}));
  EXPECT_EQ(readFile(made) + readFile(dump), kMarker);
  EXPECT_EQ((std::vector<mode_t>{modeOf(made), modeOf(kept), modeOf(kept + "1"), modeOf(dump)}),
            (std::vector<mode_t>{0666, 0666, 0600, 0600}));
}

TEST(LogFile, RotationKeepsCountGenerationsButAtLeastOneAndClosesEach) {
  // The largest count keeps every generation, without a pass over 2^32 names.
  for (uint32_t count : {0u, 1u, 3u, UINT32_MAX}) {
    SCOPED_TRACE(count);
    ScratchDir dir;
    const std::string path = dir.file("log");
    const size_t fdsBefore = openFdCount();
    {
      LogFile log(path, 0666, 10, count);  // the marker alone passes the limit
      for (char c : std::string("abcde")) log.write((std::string(9, c) + "\n").c_str());
    }
    EXPECT_EQ(openFdCount(), fdsBefore);
    Texts expected{
        "eeeeeeeee\n", "ddddddddd\n", "ccccccccc\n", "bbbbbbbbb\n", "aaaaaaaaa\n", kMarker, ""};
    expected.resize(std::min(std::max(count, 1u), 6u) + 1);
    EXPECT_EQ(generations(path), expected);
  }
}

TEST(LogFile, MissingDirectoryPlantedLinkOrFifoIsRefusedAndSwallowsWrites) {
  ScratchDir dir;
  const std::string target = dir.file("victim"), link = dir.file("link"), fifo = dir.file("fifo");
  writeFile(target, "precious\n");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()) | mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {link, fifo, dir.file("absent/log")}) {
    LogFile log(path, 0666, 10, 2);  // a FIFO must not block here
    log.write("intruder\n");
    EXPECT_FALSE(log.isOpen()) << path;
  }
  EXPECT_EQ(readFile(target), "precious\n");
}

}  // namespace
}  // namespace skgxn
