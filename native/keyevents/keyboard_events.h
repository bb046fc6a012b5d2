// Keyboard event and trust services shared by the addon and the key sender: synthetic key events
// posted into the system's input stream, and whether this process may post them.
#pragma once

#include <cstdint>
#include <memory>

#include "virtual_keys.h"

namespace kavri::keys {

class KeyEventSource {
 public:
  virtual ~KeyEventSource() = default;
};

// One key-down or key-up, created but not yet posted.
class KeyEvent {
 public:
  virtual ~KeyEvent() = default;
  // Replaces the event's modifier flags.
  virtual void setFlags(uint64_t flags) = 0;
  virtual uint64_t flags() const = 0;
};

class KeyboardEvents {
 public:
  virtual ~KeyboardEvents() = default;
  // A source for synthetic events (the combined session state), or null.
  virtual std::unique_ptr<KeyEventSource> createSource() = 0;
  // A key event for a virtual key code, or null when it cannot be made (no display, a key the
  // keyboard lacks). source may be null.
  virtual std::unique_ptr<KeyEvent> createKeyboardEvent(KeyEventSource* source, uint16_t keyCode,
                                                        bool keyDown) = 0;
  // Puts the event into the system's input stream as if typed. Reports nothing.
  virtual void post(KeyEvent& event) = 0;
  // Whether synthetic input from this process can work. Never prompts.
  virtual bool isProcessTrusted() = 0;
  // The same answer; with prompt set the system may ask the user, without waiting for them.
  virtual bool isProcessTrustedWithOptions(bool prompt) = 0;
};

// The services of the platform this was built for.
std::unique_ptr<KeyboardEvents> makePlatformKeyboardEvents();

// Whether those services are best made well ahead of their first key: they post through an input
// device of their own, which the system's readers must have opened by then. Answered at once,
// without asking a display server.
bool platformKeyboardEventsWantMakingAhead();

}  // namespace kavri::keys
