// Connects to velkd's admin socket, sends one request record and reads the
// answer record, turning each way this can fail into a plain sentence.
#include "tools/admin_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "msg/unique_fd.h"

namespace skgxn {

namespace {
constexpr size_t kAnswerBytes = 1 << 20;
constexpr int kAnswerWaitMs = 10000;
}  // namespace

bool askDaemon(const std::string& socketPath, const nlohmann::json& request,
               nlohmann::json& answer, std::string& error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof addr.sun_path) {
    error = "admin socket path too long";
    return false;
  }
  memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
  std::string text;
  try {
    text = request.dump();
  } catch (const nlohmann::json::type_error&) {
    error = "the request is not UTF-8: write a group name's other bytes as \\xHH, the way "
            "velkctl shows them";
    return false;
  }
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == EACCES || errno == EPERM) {
      error = "permission denied on " + socketPath + " (velkctl must run as root)";
    } else if (errno == ENOENT || errno == ECONNREFUSED) {
      error = "velkd is not running (no daemon at " + socketPath + ")";
    } else {
      error = "cannot reach velkd at " + socketPath + ": " + strerror(errno);
    }
    return false;
  }
  if (send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL) < 0) {
    error = std::string("cannot send to velkd: ") + strerror(errno);
    return false;
  }
  pollfd p{fd.get(), POLLIN, 0};
  if (poll(&p, 1, kAnswerWaitMs) != 1) {
    error = "velkd did not answer";
    return false;
  }
  std::vector<char> buf(kAnswerBytes);
  const ssize_t n = recv(fd.get(), buf.data(), buf.size(), 0);
  if (n <= 0) {
    error = "velkd closed the connection without answering (admin access is for root only)";
    return false;
  }
  answer = nlohmann::json::parse(buf.data(), buf.data() + n, nullptr, false);
  if (answer.is_discarded() || !answer.is_object()) {
    error = "velkd sent an answer velkctl cannot read";
    return false;
  }
  return true;
}

}  // namespace skgxn
