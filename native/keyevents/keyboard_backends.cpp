#include "keyboard_backends.h"

#include <cstdlib>

#include "x11_connection.h"

namespace kavri::keys {

KeyboardBackend chooseKeyboardBackend(bool waylandSession,
                                      const std::function<bool()>& xDisplayReachable) {
  if (waylandSession) return KeyboardBackend::kKernel;
  return xDisplayReachable() ? KeyboardBackend::kX11 : KeyboardBackend::kKernel;
}

namespace {

bool announced(const char* variable) {
  const char* value = std::getenv(variable);
  return value && *value;
}

}  // namespace

KeyboardBackend processKeyboardBackend() {
  static const KeyboardBackend backend = chooseKeyboardBackend(announced("WAYLAND_DISPLAY"), [] {
    return announced("DISPLAY") && x11::Connection::open(x11::kMarkLost) != nullptr;
  });
  return backend;
}

// Only when the choice needs no X server: an X display that is announced but cannot be reached is
// rare, and asking it would cost every X11 process a connection up front.
bool platformKeyboardEventsWantMakingAhead() {
  return announced("WAYLAND_DISPLAY") || !announced("DISPLAY");
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
