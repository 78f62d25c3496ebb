// The node table read from Corosync's configuration map. The client library
// is opened with dlopen on first use and kept for the life of the process
// (closing it while another handle may still use it would gain nothing);
// its header gives only the types of the calls looked up in it.
#include "vemo/corosync_source.h"

#include <corosync/cmap.h>
#include <dlfcn.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "vemo.h"

namespace skgxn {

namespace {

constexpr const char* kCmapLibrary = "libcmap.so.4";

struct Cmap {
  decltype(&cmap_initialize) initialize = nullptr;
  decltype(&cmap_finalize) finalize = nullptr;
  decltype(&cmap_get_uint32) getUint32 = nullptr;
  decltype(&cmap_get_string) getString = nullptr;
  decltype(&cmap_fd_get) fdGet = nullptr;
  std::string loadProblem;  // empty once every call was found
};

template <typename Fn>
bool lookUp(void* lib, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(dlsym(lib, name));
  return fn != nullptr;
}

// The loaded library, or its load problem; loaded once per process.
const Cmap& cmap() {
  static Cmap* loaded = [] {
    auto* c = new Cmap;
    void* lib = dlopen(kCmapLibrary, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
      const char* why = dlerror();
      c->loadProblem = std::string("Corosync's client library cannot be loaded (") +
                       (why != nullptr ? why : kCmapLibrary) +
                       "); install Corosync's libcmap4 package";
      return c;
    }
    if (!lookUp(lib, "cmap_initialize", c->initialize) ||
        !lookUp(lib, "cmap_finalize", c->finalize) ||
        !lookUp(lib, "cmap_get_uint32", c->getUint32) ||
        !lookUp(lib, "cmap_get_string", c->getString) || !lookUp(lib, "cmap_fd_get", c->fdGet))
      c->loadProblem = std::string(kCmapLibrary) + " lacks the calls this library needs";
    return c;
  }();
  return *loaded;
}

std::string userName(uid_t uid) {
  struct passwd pw, *found = nullptr;
  char buf[1024];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) return pw.pw_name;
  return std::to_string(uid);
}

std::string groupName(gid_t gid) {
  struct group gr, *found = nullptr;
  char buf[4096];
  if (getgrgid_r(gid, &gr, buf, sizeof buf, &found) == 0 && found != nullptr) return gr.gr_name;
  return std::to_string(gid);
}

// What an administrator must do for a user that Corosync turns away.
std::string refusal() {
  const std::string user = userName(geteuid());
  const std::string group = groupName(getegid());
  return "Corosync refuses user " + user + " (uid " + std::to_string(geteuid()) + ", group " +
         group +
         "): permit the database's group by putting the three lines 'uidgid {', 'gid: " + group +
         "' and '}' in a file of /etc/corosync/uidgid.d/ (or in /etc/corosync/corosync.conf), "
         "then restart Corosync";
}

std::string key(size_t index, const char* field) {
  return "nodelist.node." + std::to_string(index) + "." + field;
}

// A string value, or empty when the key is absent.
std::string getString(cmap_handle_t h, const std::string& name) {
  char* value = nullptr;
  if (cmap().getString(h, name.c_str(), &value) != CS_OK || value == nullptr) return "";
  std::string copy(value);
  std::free(value);
  return copy;
}

// Reads the nodelist in order; VEMO_OK or kVemo...Nodelist with problem set.
int readNodes(cmap_handle_t h, NodeTable& table, std::string& problem) {
  const auto unusable = [&](const std::string& what) {
    problem = "Corosync's nodelist cannot be served: " + what;
    return VEMO_ECOROSYNC_NODELIST;
  };
  for (size_t i = 0;; ++i) {
    uint32_t id = 0;
    std::string name = getString(h, key(i, "name"));
    if (name.empty()) name = getString(h, key(i, "ring0_addr"));
    cs_error_t got = cmap().getUint32(h, key(i, "nodeid").c_str(), &id);
    if (got != CS_OK && name.empty()) break;  // past the last node
    if (got != CS_OK) return unusable(key(i, "nodeid") + " is not set");
    if (name.empty()) return unusable(key(i, "") + " has neither name nor ring0_addr");
    if (name.size() > kMaxNodeNameLen)
      return unusable("the name of node " + std::to_string(id) + " is longer than " +
                      std::to_string(kMaxNodeNameLen) + " characters");
    if (table.add(id, std::move(name)) != ERR_NONE)
      return unusable("node " + std::to_string(id) + " or its name appears twice");
  }
  if (table.numbers().empty()) return unusable("it holds no node");
  return VEMO_OK;
}

// Corosync's own node id: the quorum service's runtime key, else the entry
// Corosync marked as this node's in the nodelist.
int readLocal(cmap_handle_t h, NodeTable& table, std::string& problem) {
  uint32_t id = 0, pos = 0;
  bool found = cmap().getUint32(h, "runtime.votequorum.this_node_id", &id) == CS_OK;
  if (!found && cmap().getUint32(h, "nodelist.local_node_pos", &pos) == CS_OK)
    found = cmap().getUint32(h, key(pos, "nodeid").c_str(), &id) == CS_OK;
  if (!found || table.findName(id) == nullptr) {
    problem = "Corosync's nodelist cannot be served: this node is not in it";
    return VEMO_ECOROSYNC_NODELIST;
  }
  table.setLocal(id);
  return VEMO_OK;
}

}  // namespace

int CorosyncSource::open(std::unique_ptr<CorosyncSource>& source, NodeTable& table,
                         std::string& problem) {
  const Cmap& c = cmap();
  if (!c.loadProblem.empty()) {
    problem = c.loadProblem;
    return VEMO_ENOCOROSYNC;
  }
  cmap_handle_t h = 0;
  cs_error_t rc = c.initialize(&h);
  if (rc == CS_ERR_ACCESS || rc == CS_ERR_SECURITY) {
    problem = refusal();
    return VEMO_ECOROSYNC_REFUSED;
  }
  if (rc != CS_OK) {
    problem = "Corosync is not running on this node (connecting answered error " +
              std::to_string(rc) + "); start it before the database";
    return VEMO_ENOCOROSYNC;
  }
  std::unique_ptr<CorosyncSource> opened(new CorosyncSource(h));
  int result = readNodes(h, table, problem);
  if (result == VEMO_OK) result = readLocal(h, table, problem);
  if (result != VEMO_OK) {
    table = NodeTable();
    return result;
  }
  source = std::move(opened);
  return VEMO_OK;
}

CorosyncSource::~CorosyncSource() { cmap().finalize(handle_); }

// The connection's socket reports a hang-up, or reads as ended, once the
// Corosync at its other end has exited; a connection that Corosync never
// writes to is otherwise silent, so this costs no round trip.
bool CorosyncSource::connected() const {
  int fd = -1;
  if (cmap().fdGet(handle_, &fd) != CS_OK || fd < 0) return false;
  struct pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 0) < 0) return false;
  if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return false;
  if ((p.revents & POLLIN) == 0) return true;
  char byte;
  return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

}  // namespace skgxn
