// Every keyboard the kernel offers, read as one: which devices count as keyboards, devices that
// are plugged in and out, the modifier keys held across all of them, and the flags-changed events
// that follow. Single-threaded: the flags monitor's thread drives it.
#pragma once

#include <poll.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "flags_monitor.h"
#include "input_devices.h"

namespace kavri::keys::evdev {

// The phys tag of this process's own virtual keyboard. The monitor ignores the device that carries
// it, so that the paste keystroke's Control never looks like the user's; other processes' virtual
// keyboards are read like any other.
std::string ownVirtualKeyboardPhys();

// A device worth reading: it has a modifier key or Fn, and it is not our own virtual keyboard.
// Mice and power buttons report keys too, but none of these.
bool isWatchedKeyboard(const InputDevice& device);

// Whether at least one keyboard can be opened and read.
bool anyKeyboardReadable(InputDevices& devices);

class KernelKeyboards {
 public:
  // The modifier keys and Fn.
  static constexpr size_t kKeyCount = 10;

  KernelKeyboards(InputDevices& devices, FlagsMonitor::FlagsHandler onFlagsChanged);

  // Watches the folder, then opens every keyboard present, taking the keys held as they are
  // (nothing is reported for them). Caps Lock starts locked when a keyboard's light says so.
  void start();
  // Whether any keyboard is open.
  bool reading() const { return !keyboards_.empty(); }

  // The watch's descriptor (-1 without one).
  int watchFd() const { return watchFd_; }
  // Adds every open keyboard's descriptor, to be polled for input, to `fds`: the listener's own
  // list, reused from one key to the next.
  void addKeyboardFds(std::vector<pollfd>& fds) const;

  // Handles the node events waiting on the watch.
  void onWatchReadable();
  // Reads the keyboard with this descriptor; one that is gone is closed and its keys released.
  void onKeyboardReadable(int fd);
  // Reads every keyboard: all the kernel has taken in so far is reported when this returns.
  void readAll();

 private:
  struct Keyboard {
    std::unique_ptr<InputDevice> device;
    std::bitset<kKeyCount> down;
  };
  using Keyboards = std::map<std::string, Keyboard>;

  void open(const std::string& path);
  void read(Keyboards::iterator keyboard);
  void close(Keyboards::iterator keyboard);
  void change(Keyboard& keyboard, size_t key, bool down);
  uint64_t flags() const;

  InputDevices& devices_;
  FlagsMonitor::FlagsHandler onFlagsChanged_;
  int watchFd_ = -1;
  Keyboards keyboards_;
  // How many keyboards hold each key.
  std::array<int, kKeyCount> held_{};
  // Caps Lock as the keyboard layouts treat it: a press locks, and the release of the press that
  // found it locked unlocks.
  bool capsLocked_ = false;
  bool releaseUnlocks_ = false;
  std::vector<KeyReport> reports_;
};

}  // namespace kavri::keys::evdev
