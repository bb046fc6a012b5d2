// The keyboard backends of Linux, and the one this process uses: X11 (XInput 2 and XTest), or the
// kernel's own devices (evdev to watch keys, uinput to post them).
#pragma once

#include <functional>
#include <memory>

#include "flags_monitor.h"
#include "input_devices.h"
#include "keyboard_events.h"

namespace kavri::keys {

enum class KeyboardBackend { kX11, kKernel };

// On a Wayland session an X11 client sees keys only while one of its own windows has the focus,
// and XTest input reaches only X11 windows; the kernel's devices serve every session, the console
// included. So the kernel backend is used there and wherever no X display can be reached; X11
// otherwise. xDisplayReachable is only asked when the session does not decide.
KeyboardBackend chooseKeyboardBackend(bool waylandSession,
                                      const std::function<bool()>& xDisplayReachable);

// Chosen at the first call, from WAYLAND_DISPLAY and an attempt to open the X display, and kept
// for the life of the process.
KeyboardBackend processKeyboardBackend();

std::unique_ptr<KeyboardEvents> makeX11KeyboardEvents();
std::unique_ptr<FlagsMonitor> makeX11FlagsMonitor(FlagsMonitor::FlagsHandler onFlagsChanged,
                                                  FlagsMonitor::TapEventHandler onTapEvent);

// The virtual keyboard is made at once, so that readers of input devices (the compositor) have
// opened it before its first key: they only see keys of a device they hold open.
std::unique_ptr<KeyboardEvents> makeEvdevKeyboardEvents(
    evdev::InputDevicesFactory makeDevices = evdev::makeEvdevInputDevices);
// makeDevices is called at every start: a stopped monitor holds no device open.
std::unique_ptr<FlagsMonitor> makeEvdevFlagsMonitor(
    FlagsMonitor::FlagsHandler onFlagsChanged,
    evdev::InputDevicesFactory makeDevices = evdev::makeEvdevInputDevices);

}  // namespace kavri::keys
