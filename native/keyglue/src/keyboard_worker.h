// The keyboard services on a thread of their own, for callers that must never wait long: the
// host's JavaScript thread calls the addon's paste and trust exports, and an X server that froze,
// or that accepts connections and never answers, would otherwise hold it for as long as that
// lasts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "keyboard_events.h"
#include "leavable_thread.h"

namespace kavri::keyglue {

// How long a caller waits for one call, its pauses included; longer than opening a connection may
// take (x11::kOpenLimit), so that a server that does not answer gets a definite answer.
inline constexpr std::chrono::milliseconds kKeyboardCallLimit{750};

class KeyboardWorker {
 public:
  using Factory = std::function<std::unique_ptr<keys::KeyboardEvents>()>;
  using Call = std::function<bool(keys::KeyboardEvents&)>;

  // makeEvents runs on the worker's thread, before its first call.
  explicit KeyboardWorker(Factory makeEvents, std::chrono::milliseconds limit = kKeyboardCallLimit);
  // Never waits for a call that overran; waits at most the limit for the thread to close its
  // services.
  ~KeyboardWorker();
  KeyboardWorker(const KeyboardWorker&) = delete;
  KeyboardWorker& operator=(const KeyboardWorker&) = delete;

  // Starts the thread, which makes the services at once instead of at the first call, and returns
  // without waiting for them: for services that must exist well ahead of their first key. False
  // when no thread could be made (the first call then tries again).
  bool makeAhead();

  // Runs call with the services on the worker's thread and answers its result; none when the call
  // has not ended within the limit (it goes on alone), or when an earlier call that overran is
  // still running (then this one does not run at all: it would only queue behind a system that
  // does not answer).
  std::optional<bool> run(Call call);

 private:
  // Shared with the thread, which may outlive this object while a call waits on the system.
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    Factory makeEvents;
    Call call;
    bool busy = false;
    bool result = false;
    bool quit = false;
  };

  // Starts the thread unless it runs; the caller holds the state's lock.
  bool startLocked(bool makeAtOnce);
  static void serve(State& state, bool makeAtOnce);

  std::shared_ptr<State> state_;
  std::chrono::milliseconds limit_;
  LeavableThread thread_;
};

}  // namespace kavri::keyglue
