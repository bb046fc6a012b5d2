// The key sender's primitives: one synthetic key press, the accessibility check and the line
// writer for standard error.
#pragma once

#include <cstdint>
#include <string>

#include "clock.h"
#include "keyboard_events.h"

namespace kavri::keysend {

using keys::kVK_ANSI_N;
using keys::kVK_ANSI_V;
using keys::kVK_Return;
inline constexpr uint64_t kCommandFlag = keys::kFlagCommand;
inline constexpr uint64_t kNoModifiers = 0;

// Between the key-down and the key-up of one keystroke.
inline constexpr double kKeyPressDuration = 0.02;
// How often, and how long after the system's prompt, the permission is tested again.
inline constexpr double kAccessibilityPollInterval = 0.1;
inline constexpr double kAccessibilityPromptLimit = 1.5;

// Posts one press and release of key with exactly these modifier flags. False (and nothing
// posted) when an event cannot be created.
bool sendKey(keys::KeyboardEvents& events, Clock& clock, uint16_t key,
             uint64_t modifiers = kNoModifiers, double pressDuration = kKeyPressDuration);

// Whether this process may post keystrokes, at once or within the limit after asking the system
// to prompt the user.
bool ensureAccessibility(keys::KeyboardEvents& events, Clock& clock,
                         double pollInterval = kAccessibilityPollInterval,
                         double limit = kAccessibilityPromptLimit);

// Writes text and a line feed to standard error in one write.
void writeStderrLine(const std::string& text);

}  // namespace kavri::keysend
