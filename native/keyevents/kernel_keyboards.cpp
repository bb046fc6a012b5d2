#include "kernel_keyboards.h"

#include <linux/input-event-codes.h>
#include <unistd.h>

#include <optional>
#include <utility>

#include "virtual_keys.h"

namespace kavri::keys::evdev {
namespace {

struct WatchedKey {
  uint16_t kernelCode;
  uint16_t keyCode;
  // The flag the key sets while held; Caps Lock's follows its lock instead.
  uint64_t flag;
};

constexpr std::array<WatchedKey, KernelKeyboards::kKeyCount> kWatchedKeys{{
    {KEY_FN, kVK_Function, kFlagFunction},
    {KEY_LEFTSHIFT, kVK_Shift, kFlagShift},
    {KEY_RIGHTSHIFT, kVK_RightShift, kFlagShift},
    {KEY_LEFTCTRL, kVK_Control, kFlagControl},
    {KEY_RIGHTCTRL, kVK_RightControl, kFlagControl},
    {KEY_LEFTALT, kVK_Option, kFlagOption},
    {KEY_RIGHTALT, kVK_RightOption, kFlagOption},
    {KEY_LEFTMETA, kVK_Command, kFlagCommand},
    {KEY_RIGHTMETA, kVK_RightCommand, kFlagCommand},
    {KEY_CAPSLOCK, kVK_CapsLock, 0},
}};

constexpr size_t kCapsLockKey = kWatchedKeys.size() - 1;

std::optional<size_t> watchedKeyIndex(uint16_t kernelCode) {
  for (size_t i = 0; i < kWatchedKeys.size(); ++i) {
    if (kWatchedKeys[i].kernelCode == kernelCode) return i;
  }
  return std::nullopt;
}

}  // namespace

std::string ownVirtualKeyboardPhys() {
  return "kavri-virtual-keyboard/" + std::to_string(getpid());
}

bool isWatchedKeyboard(const InputDevice& device) {
  if (device.phys() == ownVirtualKeyboardPhys()) return false;
  for (const WatchedKey& key : kWatchedKeys) {
    if (device.hasKey(key.kernelCode)) return true;
  }
  return false;
}

bool anyKeyboardReadable(InputDevices& devices) {
  for (const std::string& path : devices.list()) {
    auto device = devices.open(path);
    if (device && isWatchedKeyboard(*device)) return true;
  }
  return false;
}

KernelKeyboards::KernelKeyboards(InputDevices& devices, FlagsMonitor::FlagsHandler onFlagsChanged)
    : devices_(devices), onFlagsChanged_(std::move(onFlagsChanged)) {}

void KernelKeyboards::start() {
  // Watching first: a keyboard plugged in while the folder is listed is then seen either way.
  watchFd_ = devices_.watch();
  for (const std::string& path : devices_.list()) open(path);
  for (const auto& [path, keyboard] : keyboards_) {
    capsLocked_ = capsLocked_ || keyboard.device->capsLockLit();
  }
}

void KernelKeyboards::addKeyboardFds(std::vector<pollfd>& fds) const {
  for (const auto& [path, keyboard] : keyboards_) fds.push_back({keyboard.device->fd(), POLLIN, 0});
}

void KernelKeyboards::onWatchReadable() {
  for (const NodeEvent& event : devices_.readWatch()) {
    auto known = keyboards_.find(event.path);
    switch (event.change) {
      case NodeChange::kAdded:
        // The node of a keyboard we hold may name a new device once the old one went; reading
        // the old one tells, and closes it if so.
        if (known != keyboards_.end()) read(known);
        if (!keyboards_.contains(event.path)) open(event.path);
        break;
      case NodeChange::kChanged:
        if (known == keyboards_.end()) open(event.path);
        break;
      case NodeChange::kRemoved:
        if (known != keyboards_.end()) close(known);
        break;
    }
  }
}

void KernelKeyboards::onKeyboardReadable(int fd) {
  for (auto it = keyboards_.begin(); it != keyboards_.end(); ++it) {
    if (it->second.device->fd() == fd) {
      read(it);
      return;
    }
  }
}

void KernelKeyboards::readAll() {
  for (auto it = keyboards_.begin(); it != keyboards_.end();) read(it++);
}

void KernelKeyboards::open(const std::string& path) {
  auto device = devices_.open(path);
  if (!device || !isWatchedKeyboard(*device)) return;
  Keyboard& keyboard = keyboards_[path];
  keyboard.device = std::move(device);
  for (size_t key = 0; key < kWatchedKeys.size(); ++key) {
    if (keyboard.device->keyDown(kWatchedKeys[key].kernelCode)) {
      keyboard.down[key] = true;
      ++held_[key];
    }
  }
}

void KernelKeyboards::read(Keyboards::iterator keyboard) {
  reports_.clear();
  const bool present = keyboard->second.device->read(reports_);
  for (const KeyReport& report : reports_) {
    // Repeats change nothing.
    if (report.value != 0 && report.value != 1) continue;
    if (auto key = watchedKeyIndex(report.code)) change(keyboard->second, *key, report.value == 1);
  }
  if (!present) close(keyboard);
}

void KernelKeyboards::close(Keyboards::iterator keyboard) {
  // What the keyboard held is let go: a trigger held while its keyboard was unplugged ends.
  for (size_t key = 0; key < kWatchedKeys.size(); ++key) {
    if (keyboard->second.down[key]) change(keyboard->second, key, false);
  }
  keyboards_.erase(keyboard);
}

void KernelKeyboards::change(Keyboard& keyboard, size_t key, bool down) {
  if (keyboard.down[key] == down) return;
  keyboard.down[key] = down;
  held_[key] += down ? 1 : -1;
  // The same key held on another keyboard: to every application it stays held.
  if (held_[key] != (down ? 1 : 0)) return;
  if (key == kCapsLockKey) {
    if (down) {
      releaseUnlocks_ = capsLocked_;
      capsLocked_ = true;
    } else if (releaseUnlocks_) {
      capsLocked_ = false;
      releaseUnlocks_ = false;
    }
  }
  onFlagsChanged_(FlagsChangedEvent{kWatchedKeys[key].keyCode, flags()});
}

uint64_t KernelKeyboards::flags() const {
  uint64_t flags = capsLocked_ ? kFlagCapsLock : 0;
  for (size_t key = 0; key < kWatchedKeys.size(); ++key) {
    if (held_[key] > 0) flags |= kWatchedKeys[key].flag;
  }
  return flags;
}

}  // namespace kavri::keys::evdev
