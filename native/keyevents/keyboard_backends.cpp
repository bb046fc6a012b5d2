#include "keyboard_backends.h"

#include <cstdlib>

#include "x11_connection.h"

namespace kavri::keys {

KeyboardBackend chooseKeyboardBackend(bool waylandSession,
                                      const std::function<bool()>& xDisplayReachable) {
  if (waylandSession) return KeyboardBackend::kKernel;
  return xDisplayReachable() ? KeyboardBackend::kX11 : KeyboardBackend::kKernel;
}

KeyboardBackend processKeyboardBackend() {
  static const KeyboardBackend backend = [] {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return chooseKeyboardBackend(wayland && *wayland,
                                 [] { return x11::Connection::open(x11::kMarkLost) != nullptr; });
  }();
  return backend;
}

std::unique_ptr<KeyboardEvents> makePlatformKeyboardEvents() {
  if (processKeyboardBackend() == KeyboardBackend::kKernel) return makeEvdevKeyboardEvents();
  return makeX11KeyboardEvents();
}

std::unique_ptr<FlagsMonitor> makePlatformFlagsMonitor(FlagsMonitor::FlagsHandler onFlagsChanged,
                                                       FlagsMonitor::TapEventHandler onTapEvent) {
  if (processKeyboardBackend() == KeyboardBackend::kKernel) {
    return makeEvdevFlagsMonitor(std::move(onFlagsChanged));
  }
  return makeX11FlagsMonitor(std::move(onFlagsChanged), std::move(onTapEvent));
}

}  // namespace kavri::keys
