// A lock that is handed over in the order it was asked for. A thread that takes it again at once
// after letting go, as a decoder catching up with queued audio does, cannot keep the others out:
// a plain mutex lets it, for as long as it has work, when the cores are busy.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kavri::speech {

class TakingTurns {
 public:
  void lock() {
    std::unique_lock<std::mutex> hold(lock_);
    const uint64_t ticket = next_++;
    changed_.wait(hold, [&] { return serving_ == ticket; });
  }

  void unlock() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      ++serving_;
    }
    changed_.notify_all();
  }

  // The thread that holds the lock and those waiting for it.
  uint64_t queued() {
    std::lock_guard<std::mutex> hold(lock_);
    return next_ - serving_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  uint64_t next_ = 0;
  uint64_t serving_ = 0;
};

}  // namespace kavri::speech
