// The thread of a key listener: it runs until it is told to stop, through a descriptor that its
// wait includes, or until its work ends on its own (its source of keys went away).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "unique_fd.h"

namespace kavri::keys {

class ListenerThread {
 public:
  ListenerThread() = default;
  ~ListenerThread() { stop(); }
  ListenerThread(const ListenerThread&) = delete;
  ListenerThread& operator=(const ListenerThread&) = delete;

  // Runs run(wakeFd) on a new thread, after stopping the previous one. wakeFd becomes readable
  // when run must return. False when no thread could be made.
  bool start(std::function<void(int wakeFd)> run);
  // Wakes the thread and waits for it to end.
  void stop();
  // Whether the thread started last is still running.
  bool running() const { return thread_.joinable() && !ended_->load(); }
  bool onListenerThread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  std::thread thread_;
  UniqueFd wake_;
  std::shared_ptr<std::atomic<bool>> ended_ = std::make_shared<std::atomic<bool>>(true);
};

}  // namespace kavri::keys
