#include "paste_keystroke.h"

#include <thread>

namespace kavri::keyglue {

void sleepFor(std::chrono::microseconds duration) {
  std::this_thread::sleep_for(duration);
}

bool sendPasteKeystroke(keys::KeyboardEvents& events, const SleepFunction& sleep,
                        std::chrono::microseconds pause) {
  auto source = events.createSource();
  auto keyDown = events.createKeyboardEvent(source.get(), keys::kVK_ANSI_V, true);
  auto keyUp = events.createKeyboardEvent(source.get(), keys::kVK_ANSI_V, false);
  if (keyDown) keyDown->setFlags(kPasteFlags);
  if (keyUp) keyUp->setFlags(kPasteFlags);
  if (keyDown) events.post(*keyDown);
  sleep(pause);
  if (keyUp) events.post(*keyUp);
  return true;
}

bool queryTrust(keys::KeyboardEvents& events, bool prompt) {
  return prompt ? events.isProcessTrustedWithOptions(true) : events.isProcessTrusted();
}

}  // namespace kavri::keyglue
