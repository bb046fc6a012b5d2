// Collects the events, exits and launched tasks of the object under test instead of writing,
// ending the process or leaving threads behind.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "event_sink.h"

namespace kavri::testing {

class EventRecorder {
 public:
  ~EventRecorder() { joinTasks(); }

  EventSink sink() {
    return [this](const Event& event) {
      {
        std::lock_guard<std::mutex> hold(lock_);
        events_.push_back(event);
      }
      changed_.notify_all();
    };
  }
  ExitFunction exit() {
    return [this](int status) {
      std::lock_guard<std::mutex> hold(lock_);
      exits_.push_back(status);
    };
  }
  TaskLauncher launcher() {
    return [this](std::function<void()> block) {
      std::lock_guard<std::mutex> hold(lock_);
      tasks_.emplace_back(std::move(block));
    };
  }

  std::vector<Event> events() const {
    std::lock_guard<std::mutex> hold(lock_);
    return events_;
  }
  std::vector<Event> eventsNamed(const std::string& name) const {
    std::vector<Event> found;
    for (const Event& event : events()) {
      if (event.value("event", "") == name) found.push_back(event);
    }
    return found;
  }
  std::vector<int> exits() const {
    std::lock_guard<std::mutex> hold(lock_);
    return exits_;
  }
  // Waits (bounded) until `count` events have been recorded.
  bool waitForEvents(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, timeout, [&] { return events_.size() >= count; });
  }
  void joinTasks() {
    for (;;) {
      std::vector<std::thread> tasks;
      {
        std::lock_guard<std::mutex> hold(lock_);
        tasks.swap(tasks_);
      }
      if (tasks.empty()) return;
      for (auto& task : tasks) task.join();
    }
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  std::vector<int> exits_;
  std::vector<std::thread> tasks_;
};

}  // namespace kavri::testing
