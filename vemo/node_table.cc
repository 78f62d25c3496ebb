// The node table and the reader of the configuration file. Every problem is
// described in one line that names the file and, where one is at fault, the
// line, so the administrator can go straight to it.
#include "vemo/node_table.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

namespace skgxn {

bool NodeTable::findNumber(std::string_view name, uint32_t& number) const {
  auto it = byName_.find(std::string(name));
  if (it == byName_.end()) return false;
  number = numbers_[it->second];
  return true;
}

const char* NodeTable::findName(uint32_t number) const {
  auto it = byNumber_.find(number);
  return it == byNumber_.end() ? nullptr : names_[it->second].c_str();
}

ErrCode NodeTable::add(uint32_t number, std::string name) {
  if (byNumber_.count(number) != 0 || byName_.count(name) != 0) return ERR_EXIST;
  size_t index = numbers_.size();
  byNumber_.emplace(number, index);
  byName_.emplace(name, index);
  numbers_.push_back(number);
  names_.push_back(std::move(name));
  return ERR_NONE;
}

namespace {

constexpr const char* kBlanks = " \t\r\v\f";
constexpr size_t kQuoteLimit = 40;

// A word as it may appear in a log line: cut short, unprintable bytes shown
// as '?', so a damaged file cannot put control characters into the log.
std::string quoted(std::string_view word) {
  std::string out = "'";
  for (size_t i = 0; i < word.size() && i < kQuoteLimit; ++i) {
    unsigned char c = static_cast<unsigned char>(word[i]);
    out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
  }
  if (word.size() > kQuoteLimit) out += "...";
  out += "'";
  return out;
}

// Words of one line; a '#' anywhere starts a comment that runs to its end.
std::vector<std::string_view> splitWords(std::string_view line) {
  line = line.substr(0, line.find('#'));
  std::vector<std::string_view> words;
  size_t pos = line.find_first_not_of(kBlanks);
  while (pos != std::string_view::npos) {
    size_t end = line.find_first_of(kBlanks, pos);
    words.push_back(line.substr(pos, end == std::string_view::npos ? end : end - pos));
    pos = end == std::string_view::npos ? end : line.find_first_not_of(kBlanks, end);
  }
  return words;
}

bool parseNumber(std::string_view word, uint32_t& number) {
  if (word.empty()) return false;
  uint64_t value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) return false;
  }
  number = static_cast<uint32_t>(value);
  return true;
}

// Reads one file's lines into a table, remembering where each number, name
// and the local mark first appeared so a duplicate can point at both lines.
class Parser {
 public:
  Parser(const std::string& origin, NodeTable& table, std::string& problem)
      : origin_(origin), table_(table), problem_(problem) {}

  ClusterEngine engine() const { return engine_; }

  [[nodiscard]] ErrCode line(std::string_view text) {
    ++lineNo_;
    words_ = splitWords(text);
    if (words_.empty()) return ERR_NONE;
    if (words_[0] == "engine") return readEngine();
    Steps s;
    s.then([&] { return checkShape(); })
        .then([&] { return readNumber(); })
        .then([&] { return checkName(); })
        .then([&] { return readLocalMark(); })
        .then([&] { return addNode(); });
    return s.result();
  }

  [[nodiscard]] ErrCode finish() {
    if (engine_ == ClusterEngine::kCorosync) return ERR_NONE;
    if (table_.numbers().empty()) return fail(ERR_INVALID, "no node is configured");
    if (localLine_ == 0) return fail(ERR_INVALID, "no node is marked local");
    table_.setLocal(local_);
    return ERR_NONE;
  }

  [[nodiscard]] ErrCode fail(ErrCode code, const std::string& what) {
    problem_ = origin_ + ": " + what;
    return code;
  }

 private:
  ErrCode failHere(const std::string& what) {
    problem_ = origin_ + ":" + std::to_string(lineNo_) + ": " + what;
    return ERR_INVALID;
  }

  // "engine local" or "engine corosync", once. Corosync's nodelist leaves no
  // room for node lines, in whichever order the two appear.
  ErrCode readEngine() {
    if (words_.size() != 2) return failHere("expected 'engine local' or 'engine corosync'");
    if (engineLine_ != 0)
      return failHere("a second engine statement (the first is on line " +
                      std::to_string(engineLine_) + ")");
    if (words_[1] == "corosync") {
      engine_ = ClusterEngine::kCorosync;
    } else if (words_[1] != "local") {
      return failHere("unknown engine " + quoted(words_[1]) + " (expected 'local' or 'corosync')");
    }
    engineLine_ = lineNo_;
    if (engine_ == ClusterEngine::kCorosync && firstNodeLine_ != 0)
      return failHere("'engine corosync' takes its nodes from Corosync, but line " +
                      std::to_string(firstNodeLine_) + " is a node line");
    return ERR_NONE;
  }

  ErrCode checkShape() {
    if (words_[0] != "node") return failHere("unknown keyword " + quoted(words_[0]));
    if (engine_ == ClusterEngine::kCorosync)
      return failHere("a node line, but 'engine corosync' (line " + std::to_string(engineLine_) +
                      ") takes its nodes from Corosync");
    if (firstNodeLine_ == 0) firstNodeLine_ = lineNo_;
    if (words_.size() < 3 || words_.size() > 4)
      return failHere("expected 'node <number> <name> [local]'");
    return ERR_NONE;
  }

  ErrCode readNumber() {
    if (parseNumber(words_[1], number_)) return ERR_NONE;
    return failHere("node number " + quoted(words_[1]) +
                    " is not a decimal number from 0 to 4294967295");
  }

  ErrCode checkName() {
    std::string_view name = words_[2];
    if (name.size() > kMaxNodeNameLen)
      return failHere("node name is longer than " + std::to_string(kMaxNodeNameLen) +
                      " characters");
    for (char c : name) {
      unsigned char u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7f) return failHere("node name contains a control character");
    }
    return ERR_NONE;
  }

  ErrCode readLocalMark() {
    if (words_.size() == 3) return ERR_NONE;
    if (words_[3] != "local")
      return failHere("unexpected " + quoted(words_[3]) + " after the node name");
    if (localLine_ != 0)
      return failHere("a second node is marked local (the first is on line " +
                      std::to_string(localLine_) + ")");
    localLine_ = lineNo_;
    local_ = number_;
    return ERR_NONE;
  }

  ErrCode addNode() {
    std::string name(words_[2]);
    if (auto it = numberLines_.find(number_); it != numberLines_.end())
      return failHere("node number " + std::to_string(number_) + " is already on line " +
                      std::to_string(it->second));
    if (auto it = nameLines_.find(name); it != nameLines_.end())
      return failHere("node name " + quoted(name) + " is already on line " +
                      std::to_string(it->second));
    numberLines_.emplace(number_, lineNo_);
    nameLines_.emplace(name, lineNo_);
    return table_.add(number_, std::move(name));
  }

  const std::string& origin_;
  NodeTable& table_;
  std::string& problem_;
  size_t lineNo_ = 0;
  size_t engineLine_ = 0;
  size_t firstNodeLine_ = 0;
  ClusterEngine engine_ = ClusterEngine::kLocal;
  std::vector<std::string_view> words_;
  uint32_t number_ = 0;
  size_t localLine_ = 0;
  uint32_t local_ = 0;
  std::unordered_map<uint32_t, size_t> numberLines_;
  std::unordered_map<std::string, size_t> nameLines_;
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileOwner = std::unique_ptr<std::FILE, FileCloser>;

// The whole file as text; ERR_READ with problem set when it cannot be read
// (a directory opens but fails on the first read).
ErrCode readWhole(std::FILE* file, const std::string& origin, std::string& text,
                  std::string& problem) {
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
  if (std::ferror(file) == 0) return ERR_NONE;
  problem = origin + ": cannot be read: " + std::strerror(errno);
  return ERR_READ;
}

}  // namespace

ErrCode parseClusterConfig(std::istream& in, const std::string& origin, ClusterConfig& config,
                           std::string& problem) {
  ClusterConfig parsed;
  Parser parser(origin, parsed.nodes, problem);
  std::string text;
  ErrCode rc = ERR_NONE;
  while (rc == ERR_NONE && std::getline(in, text)) rc = parser.line(text);
  if (rc == ERR_NONE && in.bad()) rc = parser.fail(ERR_READ, "cannot be read");
  if (rc == ERR_NONE) rc = parser.finish();
  parsed.engine = parser.engine();
  config = rc == ERR_NONE ? std::move(parsed) : ClusterConfig();
  return rc;
}

ErrCode loadClusterConfig(const char* path, ClusterConfig& config, std::string& problem) {
  std::string origin(path);
  config = ClusterConfig();
  FileOwner file(std::fopen(path, "re"));
  if (!file && errno == ENOENT) return defaultNodeTable(config.nodes, problem);
  if (!file) {
    problem = origin + ": cannot be opened: " + std::strerror(errno);
    return ERR_READ;
  }
  std::string text;
  Steps s;
  s.then([&] { return readWhole(file.get(), origin, text, problem); }).then([&] {
    std::istringstream in(text);
    return parseClusterConfig(in, origin, config, problem);
  });
  if (!s.ok()) config = ClusterConfig();
  return s.result();
}

ErrCode defaultNodeTable(NodeTable& table, std::string& problem) {
  struct utsname host;
  table = NodeTable();
  if (uname(&host) != 0) {
    problem = std::string("the host's node name cannot be learned: ") + std::strerror(errno);
    return ERR_UNAVAILABLE;
  }
  if (host.nodename[0] == '\0') {
    problem = "the host has an empty node name";
    return ERR_UNAVAILABLE;
  }
  ErrCode rc = table.add(1, host.nodename);
  table.setLocal(1);
  return rc;
}

}  // namespace skgxn
