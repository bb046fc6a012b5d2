// Fakes of the keyboard services for tests: they record what the code under test asked for, in
// order, and can be told to refuse.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "flags_monitor.h"
#include "keyboard_events.h"

namespace kavri::keys::testing {

struct PostedKey {
  uint16_t keyCode = 0;
  bool keyDown = false;
  uint64_t flags = 0;
  friend bool operator==(const PostedKey&, const PostedKey&) = default;
};

class FakeKeyboardEvents final : public KeyboardEvents {
 public:
  // What the fake answers and refuses.
  bool failSource = false;
  bool failEvents = false;
  bool trusted = false;
  // Observations.
  std::vector<PostedKey> posted;
  int sourcesCreated = 0;
  int trustQueries = 0;
  int promptingTrustQueries = 0;
  // Called after each post, so a test can see what happened between posts.
  std::function<void(const PostedKey&)> onPost;

  std::unique_ptr<KeyEventSource> createSource() override {
    if (failSource) return nullptr;
    ++sourcesCreated;
    return std::make_unique<KeyEventSource>();
  }

  std::unique_ptr<KeyEvent> createKeyboardEvent(KeyEventSource*, uint16_t keyCode,
                                                bool keyDown) override {
    if (failEvents) return nullptr;
    return std::make_unique<Event>(keyCode, keyDown);
  }

  void post(KeyEvent& event) override {
    auto& fake = static_cast<Event&>(event);
    posted.push_back(PostedKey{fake.keyCode, fake.keyDown, fake.flags()});
    if (onPost) onPost(posted.back());
  }

  bool isProcessTrusted() override {
    ++trustQueries;
    return trusted;
  }

  bool isProcessTrustedWithOptions(bool prompt) override {
    ++trustQueries;
    if (prompt) ++promptingTrustQueries;
    return trusted;
  }

 private:
  struct Event final : KeyEvent {
    Event(uint16_t code, bool down) : keyCode(code), keyDown(down) {}
    void setFlags(uint64_t value) override { flagsValue = value; }
    uint64_t flags() const override { return flagsValue; }
    uint16_t keyCode;
    bool keyDown;
    // A fresh event carries a flag the caller must replace, so a missing setFlags shows.
    uint64_t flagsValue = kFlagShift;
  };
};

// A flags monitor whose events the test sends itself, from whatever thread it likes.
class FakeFlagsMonitor final : public FlagsMonitor {
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
    onFlagsChanged_(FlagsChangedEvent{keyCode, flags});
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

}  // namespace kavri::keys::testing
