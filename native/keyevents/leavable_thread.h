// A thread that its owner waits for only as long as it chooses. A thread that does not end in
// time (blocked on an X server that froze, or that accepts connections and never answers) is left
// to finish on its own, so its body must own or share everything it touches: nothing of the
// owner's may be freed under it. The code it runs is kept loaded from then on, because the module
// that holds it may otherwise be unloaded under it (the addon, loaded by a worker that ends).
#pragma once

#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace kavri {

namespace leavable_thread_detail {

// Hidden, so that its address lies in the very module that calls it, never in another module's
// copy.
[[gnu::visibility("hidden")]] inline void keepThisModuleLoaded() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&keepThisModuleLoaded), &info) == 0 || !info.dli_fname) {
      return;
    }
    // Finds the module already loaded and marks it never to be unmapped. The handle is never
    // closed on purpose. The main program is not found by name, and needs no such care.
    dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  });
}

}  // namespace leavable_thread_detail

class LeavableThread {
 public:
  LeavableThread() = default;
  // Throws std::system_error when no thread can be started.
  explicit LeavableThread(std::function<void()> body) : state_(std::make_shared<State>()) {
    thread_ = std::thread([state = state_, body = std::move(body)]() mutable {
      body();
      // Whatever the body captured goes before the owner may hear that the thread is done.
      body = nullptr;
      std::lock_guard<std::mutex> lock(state->mutex);
      state->finished = true;
      state->changed.notify_all();
    });
  }
  LeavableThread(LeavableThread&& other) noexcept = default;
  LeavableThread& operator=(LeavableThread&& other) noexcept {
    if (this != &other) {
      joinWithin(std::chrono::milliseconds::zero());
      state_ = std::move(other.state_);
      thread_ = std::move(other.thread_);
    }
    return *this;
  }
  LeavableThread(const LeavableThread&) = delete;
  LeavableThread& operator=(const LeavableThread&) = delete;
  // Joins a thread that has ended; leaves one that still runs.
  ~LeavableThread() { joinWithin(std::chrono::milliseconds::zero()); }

  // Whether a thread is held, finished or not.
  bool running() const { return thread_.joinable(); }
  std::thread::id id() const { return thread_.get_id(); }

  bool finished() const {
    if (!state_) return true;
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->finished;
  }

  // Joins the thread when its body returns within limit and answers true; otherwise leaves it
  // running on its own and answers false. Either way this object holds no thread afterwards.
  bool joinWithin(std::chrono::milliseconds limit) {
    if (!thread_.joinable()) return true;
    bool ended = false;
    {
      std::unique_lock<std::mutex> lock(state_->mutex);
      ended = state_->changed.wait_for(lock, limit, [&] { return state_->finished; });
    }
    if (ended) {
      thread_.join();
    } else {
      leavable_thread_detail::keepThisModuleLoaded();
      thread_.detach();
    }
    state_.reset();
    return ended;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
  };

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace kavri
