// Test helpers for the msg tests: a SOCK_SEQPACKET pair standing in for the
// daemon's end, a reader of the trace lines written since a mark, and
// descriptor counting for leak checks.
#ifndef MSG_TEST_SUPPORT_H_
#define MSG_TEST_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace skgxn::test {

// Both ends of socketpair(AF_UNIX, SOCK_SEQPACKET), closed with the pair.
// near is the end under test (the client), far the daemon's.
struct SeqPacketPair {
  SeqPacketPair();
  ~SeqPacketPair();
  SeqPacketPair(const SeqPacketPair&) = delete;
  SeqPacketPair& operator=(const SeqPacketPair&) = delete;

  void setNearNonBlocking();
  void closeFar();
  // Sends bytes from far as one record.
  void sendFar(const void* data, size_t len);
  // Sends payload from far as one record carrying the descriptors fds.
  void sendFarWithFds(const std::vector<int>& fds, const void* payload, size_t len);

  int nearFd = -1;
  int farFd = -1;
};

// Marks the trace record; lines() returns what was traced after the mark.
class TraceCapture {
 public:
  TraceCapture();
  std::string lines() const;

 private:
  std::string mark_;
};

// Number of descriptors open in this process.
size_t openFdCount();

// True when fd is an open descriptor of this process.
bool fdIsOpen(int fd);

}  // namespace skgxn::test

#endif  // MSG_TEST_SUPPORT_H_
