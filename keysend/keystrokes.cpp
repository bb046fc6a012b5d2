#include "keystrokes.h"

#include <unistd.h>

#include <cerrno>

namespace kavri::keysend {

bool sendKey(keys::KeyboardEvents& events, Clock& clock, uint16_t key, uint64_t modifiers,
             double pressDuration) {
  // A missing source is not fatal: the events are then made without one.
  auto source = events.createSource();
  auto down = events.createKeyboardEvent(source.get(), key, true);
  if (!down) return false;
  auto up = events.createKeyboardEvent(source.get(), key, false);
  if (!up) return false;
  // Empty modifiers leave the events' own flags alone rather than clearing them.
  if (modifiers != kNoModifiers) {
    down->setFlags(modifiers);
    up->setFlags(modifiers);
  }
  events.post(*down);
  clock.sleep(pressDuration);
  events.post(*up);
  return true;
}

bool ensureAccessibility(keys::KeyboardEvents& events, Clock& clock, double pollInterval,
                         double limit) {
  if (events.isProcessTrusted()) return true;
  // The answer of the prompting query is stale by construction: the user has not acted yet.
  events.isProcessTrustedWithOptions(true);
  const double deadline = clock.now() + limit;
  while (clock.now() < deadline) {
    if (events.isProcessTrusted()) return true;
    clock.sleep(pollInterval);
  }
  return false;
}

void writeStderrLine(const std::string& text) {
  std::string line = text + "\n";
  const char* data = line.data();
  size_t left = line.size();
  // One write normally carries the whole line; a pipe may still take it in parts.
  while (left > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
}

}  // namespace kavri::keysend
