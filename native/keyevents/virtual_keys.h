// The keyboard's vocabulary as the host and every interface speak it, whatever the platform:
// macOS virtual key codes and device-independent modifier flag bits. Each backend translates them
// to its own keys and modifier state.
#pragma once

#include <cstdint>
#include <vector>

namespace kavri::keys {

// Keys that the key sender and the addon type.
inline constexpr uint16_t kVK_ANSI_V = 9;
inline constexpr uint16_t kVK_ANSI_N = 45;
inline constexpr uint16_t kVK_Return = 36;

// The modifier keys, which report flags changes.
inline constexpr uint16_t kVK_RightCommand = 54;
inline constexpr uint16_t kVK_Command = 55;
inline constexpr uint16_t kVK_Shift = 56;
inline constexpr uint16_t kVK_CapsLock = 57;
inline constexpr uint16_t kVK_Option = 58;
inline constexpr uint16_t kVK_Control = 59;
inline constexpr uint16_t kVK_RightShift = 60;
inline constexpr uint16_t kVK_RightOption = 61;
inline constexpr uint16_t kVK_RightControl = 62;
inline constexpr uint16_t kVK_Function = 63;

// Modifier flag bits.
inline constexpr uint64_t kFlagCapsLock = 0x10000;
inline constexpr uint64_t kFlagShift = 0x20000;
inline constexpr uint64_t kFlagControl = 0x40000;
inline constexpr uint64_t kFlagOption = 0x80000;
inline constexpr uint64_t kFlagCommand = 0x100000;
inline constexpr uint64_t kFlagFunction = 0x800000;

// The modifier keys that a synthetic key's flags ask for, in press order, in a backend's own names
// for Control, Shift and Alt. Command and Control both mean Control on Linux.
template <typename Key>
std::vector<Key> modifiersFor(uint64_t flags, Key control, Key shift, Key alt) {
  std::vector<Key> keys;
  if (flags & (kFlagCommand | kFlagControl)) keys.push_back(control);
  if (flags & kFlagShift) keys.push_back(shift);
  if (flags & kFlagOption) keys.push_back(alt);
  return keys;
}

}  // namespace kavri::keys
