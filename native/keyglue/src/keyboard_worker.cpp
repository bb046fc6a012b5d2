#include "keyboard_worker.h"

#include <system_error>
#include <utility>

namespace kavri::keyglue {

KeyboardWorker::KeyboardWorker(Factory makeEvents, std::chrono::milliseconds limit)
    : state_(std::make_shared<State>()), limit_(limit) {
  state_->makeEvents = std::move(makeEvents);
}

KeyboardWorker::~KeyboardWorker() {
  bool busy = false;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->quit = true;
    busy = state_->busy;
    state_->changed.notify_all();
  }
  thread_.joinWithin(busy ? std::chrono::milliseconds::zero() : limit_);
}

bool KeyboardWorker::startLocked(bool makeAtOnce) {
  if (thread_.running()) return true;
  try {
    thread_ = LeavableThread([state = state_, makeAtOnce] { serve(*state, makeAtOnce); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool KeyboardWorker::makeAhead() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return startLocked(true);
}

std::optional<bool> KeyboardWorker::run(Call call) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->busy) return std::nullopt;
  if (!startLocked(false)) return std::nullopt;
  state_->call = std::move(call);
  state_->busy = true;
  state_->changed.notify_all();
  if (!state_->changed.wait_for(lock, limit_, [&] { return !state_->busy; })) return std::nullopt;
  return state_->result;
}

void KeyboardWorker::serve(State& state, bool makeAtOnce) {
  std::unique_ptr<keys::KeyboardEvents> events;
  if (makeAtOnce) {
    try {
      events = state.makeEvents();
    } catch (...) {
      // The first call tries again.
    }
  }
  std::unique_lock<std::mutex> lock(state.mutex);
  for (;;) {
    state.changed.wait(lock, [&] { return state.quit || state.call; });
    if (!state.call) break;
    Call call = std::move(state.call);
    state.call = nullptr;
    lock.unlock();
    bool result = false;
    try {
      if (!events) events = state.makeEvents();
      result = events && call(*events);
    } catch (...) {
      // Nothing may leave this thread; the caller takes a failed call for one that did not end.
    }
    lock.lock();
    state.result = result;
    state.busy = false;
    state.changed.notify_all();
  }
  lock.unlock();
  // Closing may wait on the system too; the owner waits for it only so long.
  events.reset();
}

}  // namespace kavri::keyglue
