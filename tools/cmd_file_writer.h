// How velkctl rewrites the client library's runtime command file: which
// lines a trace or dump request replaces, and the atomic write that moves
// the file's modification time forward so every running library re-reads it.
#ifndef TOOLS_CMD_FILE_WRITER_H_
#define TOOLS_CMD_FILE_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace skgxn {

// The categories "trace on" accepts, in the file's own spelling.
bool isTraceCategory(const std::string& word);
// A path the file's tokenizer reads back whole: absolute, no separators.
bool isCmdFilePath(const std::string& path);

// New file content from the old one. Trace requests replace every TRACE,
// OUTPUT ON, OUTPUT OFF and DUMP line (a DUMP line left behind would dump
// again at each later change); a dump replaces DUMP lines only. Other lines,
// comments included, keep their places. An empty output or path means the
// library's default.
std::string traceOnContent(const std::string& old, const std::vector<std::string>& categories,
                           const std::string& output);
std::string traceOffContent(const std::string& old);
std::string dumpContent(const std::string& old, const std::string& path);

// Replaces the file at path by content through a temporary file and rename,
// with modification time max(now, previous time + 1) in whole seconds, since
// the library ignores a file whose time has not moved forward. Directories
// missing on the way (a fresh install has none) are created with mode 0755
// whatever the umask, so that every client process can read the file. 0 on
// success, else an errno value with the failing step named in failedStep.
int writeCmdFile(const std::string& path, const std::string& content, int64_t now,
                 std::string& failedStep);

// The file's current content, "" when it does not exist.
std::string readCmdFile(const std::string& path);

}  // namespace skgxn

#endif  // TOOLS_CMD_FILE_WRITER_H_
