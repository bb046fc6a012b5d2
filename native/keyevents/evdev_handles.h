// Owning handles for libevdev's device descriptions and uinput devices.
#pragma once

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <memory>

namespace kavri::keys::evdev {

struct EvdevFree {
  void operator()(libevdev* device) const { libevdev_free(device); }
};
struct UinputDestroy {
  void operator()(libevdev_uinput* device) const { libevdev_uinput_destroy(device); }
};

using DeviceHandle = std::unique_ptr<libevdev, EvdevFree>;
using UinputHandle = std::unique_ptr<libevdev_uinput, UinputDestroy>;

}  // namespace kavri::keys::evdev
