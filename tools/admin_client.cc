// Connects to velkd's admin socket, sends one request record and reads the
// answer's records, turning each way this can fail into a plain sentence.
#include "tools/admin_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "msg/shared_values.h"
#include "msg/unique_fd.h"

namespace skgxn {

namespace {

constexpr int kAnswerWaitMs = 10000;

bool connectTo(const std::string& socketPath, UniqueFd& fd, std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) {
    error = "admin socket path too long";
    return false;
  }
  memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  fd = UniqueFd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
  if (errno == EACCES || errno == EPERM) {
    error = "permission denied on " + socketPath + " (velkctl must run as root)";
  } else if (errno == ENOENT || errno == ECONNREFUSED) {
    error = "velkd is not running (no daemon at " + socketPath + ")";
  } else {
    error = "cannot reach velkd at " + socketPath + ": " + strerror(errno);
  }
  return false;
}

// Appends records to text until the first one shorter than a full record.
bool readAnswer(int fd, std::string& text, std::string& error) {
  char buf[kAdminRecordBytes];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kAnswerWaitMs) != 1) {
      error = "velkd did not answer";
      return false;
    }
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_TRUNC);
    if (n <= 0) {
      // velkd drops an admin connection only from a caller that is not root,
      // or when it cannot send the answer, which it then logs.
      error = geteuid() != 0 ? "velkd refused the connection (admin access is for root only)"
                             : "velkd closed the connection before its answer was complete "
                               "(see velkd's log)";
      return false;
    }
    if (static_cast<size_t>(n) > sizeof buf) {
      error = "velkd sent a record velkctl cannot read";
      return false;
    }
    text.append(buf, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < sizeof buf) return true;
  }
}

}  // namespace

bool askDaemon(const std::string& socketPath, const nlohmann::json& request, nlohmann::json& answer,
               std::string& error) {
  std::string text;
  try {
    text = request.dump();
  } catch (const nlohmann::json::type_error&) {
    error =
        "the request is not UTF-8: write a group name's other bytes as \\xHH, the way "
        "velkctl shows them";
    return false;
  }
  UniqueFd fd;
  if (!connectTo(socketPath, fd, error)) return false;
  if (send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL) < 0) {
    error = std::string("cannot send to velkd: ") + strerror(errno);
    return false;
  }
  text.clear();
  if (!readAnswer(fd.get(), text, error)) return false;
  answer = nlohmann::json::parse(text, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) {
    error = "velkd sent an answer velkctl cannot read";
    return false;
  }
  return true;
}

}  // namespace skgxn
