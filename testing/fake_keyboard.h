// Fakes of the keyboard services, for the tests of the addon and of the key sender: they record
// what the code under test asked for, in order, and can be told to refuse. Given a call log, the
// keyboard fake also writes a line for each call into it, which the key sender's tests share
// with their other fakes to check the order of calls across services. Also a recorder of what a
// real flags monitor reports, for the tests of every monitor backend.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "flags_monitor.h"
#include "keyboard_events.h"
#include "testing/wait.h"

namespace kavri::testing {

// Calls to fakes, one line each, in the order they came.
using CallLog = std::vector<std::string>;

struct PostedKey {
  uint16_t keyCode = 0;
  bool keyDown = false;
  uint64_t flags = 0;
  friend bool operator==(const PostedKey&, const PostedKey&) = default;
};

class FakeKeyboardEvents final : public keys::KeyboardEvents {
 public:
  FakeKeyboardEvents() = default;
  explicit FakeKeyboardEvents(CallLog& log) : log_(&log) {}

  // What the fake answers and refuses.
  bool failSource = false;
  bool failEvents = false;
  std::set<std::pair<uint16_t, bool>> failingKeys;  // key code, key down
  // Queries answer "untrusted" this many times, then "trusted"; negative: never trusted. A
  // prompting query answers as things stand without counting.
  int trustedAfterQueries = 0;
  // Observations.
  std::vector<PostedKey> posted;
  int sourcesCreated = 0;
  int trustQueries = 0;  // of either kind
  int promptingTrustQueries = 0;
  // Called after each post, so a test can see what happened between posts.
  std::function<void(const PostedKey&)> onPost;

  std::unique_ptr<keys::KeyEventSource> createSource() override {
    note("createSource");
    if (failSource) return nullptr;
    ++sourcesCreated;
    return std::make_unique<keys::KeyEventSource>();
  }

  std::unique_ptr<keys::KeyEvent> createKeyboardEvent(keys::KeyEventSource*, uint16_t keyCode,
                                                      bool keyDown) override {
    auto event = std::make_unique<Event>(this, keyCode, keyDown);
    if (failEvents || failingKeys.count({keyCode, keyDown})) {
      note("create " + event->name() + " failed");
      return nullptr;
    }
    note("create " + event->name());
    return event;
  }

  void post(keys::KeyEvent& event) override {
    auto& fake = dynamic_cast<Event&>(event);
    note("post " + fake.name() + " flags " + std::to_string(fake.flags()));
    posted.push_back(PostedKey{fake.keyCode, fake.keyDown, fake.flags()});
    if (onPost) onPost(posted.back());
  }

  bool isProcessTrusted() override {
    ++trustQueries;
    ++plainTrustQueries_;
    const bool trusted = trustedNow();
    note(trusted ? "trusted" : "untrusted");
    return trusted;
  }

  bool isProcessTrustedWithOptions(bool prompt) override {
    ++trustQueries;
    if (prompt) ++promptingTrustQueries;
    note(prompt ? "prompt" : "trust query");
    return trustedNow();
  }

 private:
  // A new event carries no flags, as a real one does until the caller sets them.
  struct Event final : keys::KeyEvent {
    Event(FakeKeyboardEvents* owner, uint16_t code, bool down)
        : owner(owner), keyCode(code), keyDown(down) {}
    void setFlags(uint64_t value) override {
      owner->note("setFlags " + name() + " " + std::to_string(value));
      flagsValue = value;
    }
    uint64_t flags() const override { return flagsValue; }
    std::string name() const { return std::to_string(keyCode) + (keyDown ? " down" : " up"); }

    FakeKeyboardEvents* owner;
    uint16_t keyCode;
    bool keyDown;
    uint64_t flagsValue = 0;
  };

  bool trustedNow() const {
    return trustedAfterQueries >= 0 && plainTrustQueries_ > trustedAfterQueries;
  }
  void note(const std::string& line) {
    if (log_) log_->push_back(line);
  }

  CallLog* log_ = nullptr;
  int plainTrustQueries_ = 0;
};

// A flags monitor whose events the test sends itself, from whatever thread it likes.
class FakeFlagsMonitor final : public keys::FlagsMonitor {
 public:
  FakeFlagsMonitor(FlagsHandler onFlagsChanged, TapEventHandler onTapEvent)
      : onFlagsChanged_(std::move(onFlagsChanged)), onTapEvent_(std::move(onTapEvent)) {}

  // Makes enable(true) fail, as a system that refuses the monitor.
  std::atomic<bool> refuse{false};

  bool enable(bool on) override {
    std::lock_guard<std::mutex> lock(mutex_);
    enableCalls_.push_back(on);
    enabled_ = on && !refuse;
    return enabled_;
  }

  bool enabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
  }

  std::vector<bool> enableCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enableCalls_;
  }

  // Delivers whether enabled or not, as a global monitor keeps observing while its tap is off:
  // dropping events then is the caller's job.
  void sendFlagsChanged(uint16_t keyCode, uint64_t flags) {
    onFlagsChanged_(keys::FlagsChangedEvent{keyCode, flags});
  }

  void sendTapEvent(uint32_t eventType) {
    if (onTapEvent_) onTapEvent_(eventType);
  }

 private:
  FlagsHandler onFlagsChanged_;
  TapEventHandler onTapEvent_;
  mutable std::mutex mutex_;
  bool enabled_ = false;
  std::vector<bool> enableCalls_;
};

// One flags-changed event as a monitor reported it.
struct SeenFlags {
  uint16_t keyCode = 0;
  uint64_t flags = 0;
  friend bool operator==(const SeenFlags&, const SeenFlags&) = default;
};

inline void PrintTo(const SeenFlags& seen, std::ostream* out) {
  *out << "{" << seen.keyCode << ", 0x" << std::hex << seen.flags << std::dec << "}";
}

// What a monitor reports for taps of modifier keys, one after the other: each key with its flag
// while down, then with none.
inline std::vector<SeenFlags> taps(std::initializer_list<SeenFlags> keysDown) {
  std::vector<SeenFlags> seen;
  for (const SeenFlags& down : keysDown) {
    seen.push_back(down);
    seen.push_back({down.keyCode, 0});
  }
  return seen;
}

// Records what a monitor's thread hands to its flags handler.
class FlagsRecorder {
 public:
  keys::FlagsMonitor::FlagsHandler handler() {
    return [this](const keys::FlagsChangedEvent& event) {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back({event.keyCode, event.flags});
      changed_.notify_all();
    };
  }
  // Waits until count events came (or the timeout passed), and takes every one that came.
  std::vector<SeenFlags> take(size_t count = 0, std::chrono::milliseconds timeout = kWaitTimeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return seen_.size() >= count; });
    return std::exchange(seen_, {});
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SeenFlags> seen_;
};

}  // namespace kavri::testing
