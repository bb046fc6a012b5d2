#include "main_queue.h"

#include <thread>

namespace kavri {

void MainQueue::async(std::function<void()> block) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    blocks_.push_back(std::move(block));
  }
  ready_.notify_one();
}

void MainQueue::runForever() {
  for (;;) {
    std::function<void()> block;
    {
      std::unique_lock<std::mutex> hold(lock_);
      ready_.wait(hold, [this] { return !blocks_.empty(); });
      block = std::move(blocks_.front());
      blocks_.pop_front();
    }
    block();
  }
}

void MainQueue::drain() {
  for (;;) {
    std::function<void()> block;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (blocks_.empty()) return;
      block = std::move(blocks_.front());
      blocks_.pop_front();
    }
    block();
  }
}

void launchTask(std::function<void()> block) {
  std::thread(std::move(block)).detach();
}

}  // namespace kavri
