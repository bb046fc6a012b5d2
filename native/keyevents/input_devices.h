// The kernel's input devices as the kernel keyboard backend reads them: the event nodes of one
// folder, each opened for reading only and never grabbed (the user's typing reaches every other
// reader as before), and a watch on that folder for devices that come and go. The keyboard logic
// sees devices only through this, so that its tests plug keyboards in and out without a kernel.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kavri::keys::evdev {

// One key report of a device: the kernel's key code, and 0 released, 1 pressed, 2 repeated.
struct KeyReport {
  uint16_t code = 0;
  int32_t value = 0;
};

class InputDevice {
 public:
  virtual ~InputDevice() = default;
  // Readable while reports wait, and once the device is gone.
  virtual int fd() const = 0;
  virtual bool hasKey(uint16_t code) const = 0;
  // As the device last told: at first, the keys held when it was opened.
  virtual bool keyDown(uint16_t code) const = 0;
  virtual bool capsLockLit() const = 0;
  // Where the device says it is attached; a virtual device names that itself.
  virtual std::string phys() const = 0;
  // Appends every key report waiting, in order, without blocking. False once the device is gone.
  virtual bool read(std::vector<KeyReport>& reports) = 0;
};

enum class NodeChange {
  kAdded,
  // Its permissions or owner changed: the device manager grants access a moment after the node
  // appears, so a node that could not be opened at first may open now.
  kChanged,
  kRemoved,
};

struct NodeEvent {
  std::string path;
  NodeChange change = NodeChange::kAdded;
};

class InputDevices {
 public:
  virtual ~InputDevices() = default;
  // Starts watching the folder; the descriptor is readable when there are node events to read,
  // or -1 when the folder cannot be watched.
  virtual int watch() = 0;
  // The node events since the last call, without blocking. When the watch lost events, every
  // node present is reported as added.
  virtual std::vector<NodeEvent> readWatch() = 0;
  // The event nodes present now.
  virtual std::vector<std::string> list() = 0;
  // Null when the node cannot be opened or is no input device.
  virtual std::unique_ptr<InputDevice> open(const std::string& path) = 0;
};

using InputDevicesFactory = std::function<std::unique_ptr<InputDevices>()>;

// /dev/input through libevdev and inotify.
std::unique_ptr<InputDevices> makeEvdevInputDevices();

}  // namespace kavri::keys::evdev
