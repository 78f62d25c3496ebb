// Line editing and the atomic, time-advancing write of the runtime command
// file, for velkctl's trace and dump commands.
#include "tools/cmd_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <sstream>
#include <string_view>

#include "diag/cmd_file.h"
#include "diag/err_code.h"

namespace skgxn {

namespace {

using LineTest = std::function<bool(std::string_view first, std::string_view second)>;

std::string keepLines(const std::string& old, const LineTest& drop) {
  std::istringstream in(old);
  std::string line;
  std::string kept;
  while (std::getline(in, line)) {
    CmdTokenizer words(line);
    std::string_view first, second;
    if (words.next(first)) words.next(second);
    if (!first.empty() && drop(first, second)) continue;
    kept += line;
    kept += '\n';
  }
  return kept;
}

bool traceLine(std::string_view first, std::string_view second) {
  return first == "TRACE" || first == "DUMP" ||
         (first == "OUTPUT" && (second == "ON" || second == "OFF"));
}

int failAt(const char* step, std::string& failedStep) {
  failedStep = step;
  return errno;
}

// Creates each missing directory of the absolute path dir with mode 0755,
// set by chmod since mkdir's mode is narrowed by the umask.
int makeDirectories(const std::string& dir, std::string& failedStep) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    const std::string part = dir.substr(0, slash);
    if (mkdir(part.c_str(), 0755) == 0) {
      if (chmod(part.c_str(), 0755) != 0) return failAt("chmod", failedStep);
    } else if (errno != EEXIST) {
      return failAt("mkdir", failedStep);
    }
    if (slash == std::string::npos) return 0;
  }
}

}  // namespace

bool isTraceCategory(const std::string& word) {
  return word == "EVT" || word == "CALL" || word == "MSG" || word == "CCR" || word == "VER";
}

bool isCmdFilePath(const std::string& path) {
  return !path.empty() && path[0] == '/' && path.find_first_of(" \t\r\n\v\f") == std::string::npos;
}

std::string traceOnContent(const std::string& old, const std::vector<std::string>& categories,
                           const std::string& output) {
  std::string text = keepLines(old, traceLine) + "TRACE ON";
  for (const auto& c : categories) text += " " + c;
  text += "\n";
  if (!output.empty()) text += "OUTPUT ON " + output + "\n";
  return text;
}

std::string traceOffContent(const std::string& old) {
  return keepLines(old, traceLine) + "TRACE OFF\n";
}

std::string dumpContent(const std::string& old, const std::string& path) {
  auto dumpLine = [](std::string_view first, std::string_view) { return first == "DUMP"; };
  return keepLines(old, dumpLine) + (path.empty() ? "DUMP\n" : "DUMP " + path + "\n");
}

std::string readCmdFile(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return in ? text.str() : std::string();
}

int writeCmdFile(const std::string& path, const std::string& content, int64_t now,
                 std::string& failedStep) {
  struct stat old {};
  int64_t mtime = now;
  if (stat(path.c_str(), &old) == 0 && old.st_mtim.tv_sec + 1 > mtime) {
    mtime = old.st_mtim.tv_sec + 1;
  }
  const size_t slash = path.rfind('/');
  if (slash != 0 && slash != std::string::npos) {
    if (const int err = makeDirectories(path.substr(0, slash), failedStep)) return err;
  }
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return failAt("mkstemp", failedStep);
  const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  int err = 0;
  auto step = [&](const char* name, bool ok) {
    if (!ok) err = failAt(name, failedStep);
    return ok ? ERR_NONE : ERR_WRITE;
  };
  Steps s;
  s.then([&] {
     return step("write",
                 write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
   })
      .then([&] { return step("fchmod", fchmod(fd, 0644) == 0); })
      .then([&] { return step("futimens", futimens(fd, times) == 0); })
      .then([&] { return step("fsync", fsync(fd) == 0); });
  close(fd);
  s.then([&] { return step("rename", rename(temp.c_str(), path.c_str()) == 0); });
  if (!s.ok()) unlink(temp.c_str());
  return err;
}

}  // namespace skgxn
