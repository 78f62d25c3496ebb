// The closer thread: a queue of descriptors under one mutex, closed in order.
#include "daemon/closer.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace skgxn {

// Shared by the owner and the thread, so that either may go first.
struct Closer::Queue {
  std::mutex mu;
  std::condition_variable ready;
  std::deque<UniqueFd> fds;  // guarded by mu
  size_t pending = 0;        // guarded by mu: fds.size() plus the one being closed
  bool stop = false;         // guarded by mu

  void drain() {
    std::unique_lock lock(mu);
    for (;;) {
      ready.wait(lock, [this] { return stop || !fds.empty(); });
      if (fds.empty()) return;
      UniqueFd fd = std::move(fds.front());
      fds.pop_front();
      lock.unlock();
      fd = UniqueFd();
      lock.lock();
      --pending;
    }
  }
};

Closer::Closer() : queue_(std::make_shared<Queue>()) {
  std::thread([queue = queue_] { queue->drain(); }).detach();
}

Closer::~Closer() {
  {
    std::lock_guard lock(queue_->mu);
    queue_->stop = true;
  }
  queue_->ready.notify_one();
}

void Closer::close(UniqueFd fd) {
  {
    std::lock_guard lock(queue_->mu);
    queue_->fds.push_back(std::move(fd));
    ++queue_->pending;
  }
  queue_->ready.notify_one();
}

size_t Closer::pending() const {
  std::lock_guard lock(queue_->mu);
  return queue_->pending;
}

}  // namespace skgxn
