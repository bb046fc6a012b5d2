// The paste shortcut and the trust query, apart from Node-API: what is asked of the keyboard
// services, in which order, with which pause.
#pragma once

#include <chrono>
#include <functional>

#include "keyboard_events.h"

namespace kavri::keyglue {

// Long enough for the focused application to see V held with the modifier before it goes up.
inline constexpr std::chrono::microseconds kPasteKeyPause{15000};
// Command, which the keyboard services realise as Control on Linux.
inline constexpr uint64_t kPasteFlags = keys::kFlagCommand;

using SleepFunction = std::function<void(std::chrono::microseconds)>;
void sleepFor(std::chrono::microseconds duration);

// Posts V down, waits pause, posts V up, each carrying exactly kPasteFlags. An event that cannot be
// made is skipped; whether the keystroke lands is the trust query's business, so this reports
// nothing and returns true.
bool sendPasteKeystroke(keys::KeyboardEvents& events, const SleepFunction& sleep = sleepFor,
                        std::chrono::microseconds pause = kPasteKeyPause);

// Asks with the prompt option only when prompt is set.
bool queryTrust(keys::KeyboardEvents& events, bool prompt);

}  // namespace kavri::keyglue
