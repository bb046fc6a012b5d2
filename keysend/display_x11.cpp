#include "display_x11.h"

#include <X11/Xatom.h>
#include <poll.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "keystrokes.h"

namespace kavri::keysend::x11 {
namespace {

// Xlib has one error handler per process; the traps record into this and are only used from
// one thread at a time.
struct TrappedErrors {
  unsigned long firstSerial = 0;
  bool failed = false;
};
TrappedErrors gTrapped;

int recordError(Display*, XErrorEvent* error) {
  if (error->serial >= gTrapped.firstSerial) gTrapped.failed = true;
  return 0;
}

// Without an X server the key sender can do nothing more. Xlib's own handler would print
// several lines and exit with a status the caller does not know; this one ends the command the
// way a missing display does.
int endWithLostServer(Display*) {
  writeStderrLine("X server connection lost");
  _exit(kLostServerStatus);
}

}  // namespace

DisplayPtr openDisplay() {
  static std::once_flag installed;
  std::call_once(installed, [] { XSetIOErrorHandler(endWithLostServer); });
  return DisplayPtr(XOpenDisplay(nullptr));
}

ErrorTrap::ErrorTrap(Display* display)
    : display_(display), previous_(nullptr), firstSerial_(NextRequest(display)) {
  XSync(display_, False);
  gTrapped = {firstSerial_, false};
  previous_ = XSetErrorHandler(recordError);
}

ErrorTrap::~ErrorTrap() {
  XSync(display_, False);
  XSetErrorHandler(previous_);
}

bool ErrorTrap::failed() {
  XSync(display_, False);
  return gTrapped.failed;
}

Deadline deadlineAfter(double seconds) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double>(seconds));
}

bool waitForEvent(Display* display, Deadline deadline,
                  const std::function<bool(const XEvent&)>& matches, XEvent& event) {
  std::vector<XEvent> others;
  bool found = false;
  for (;;) {
    while (XPending(display) > 0) {
      XNextEvent(display, &event);
      if (matches(event)) {
        found = true;
        break;
      }
      others.push_back(event);
    }
    if (found) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && (fd.revents & (POLLERR | POLLHUP | POLLNVAL))) break;
  }
  // Put back what others may be waiting for, in the order it came.
  for (auto it = others.rbegin(); it != others.rend(); ++it) XPutBackEvent(display, &*it);
  return found;
}

std::optional<Time> serverTime(Display* display, Window window, Deadline deadline) {
  Atom stamp = XInternAtom(display, "KAVRI_TIMESTAMP", False);
  XChangeProperty(display, window, stamp, XA_STRING, 8, PropModeAppend, nullptr, 0);
  XFlush(display);
  XEvent event;
  auto isStamp = [&](const XEvent& e) {
    return e.type == PropertyNotify && e.xproperty.window == window && e.xproperty.atom == stamp;
  };
  if (!waitForEvent(display, deadline, isStamp, event)) return std::nullopt;
  return event.xproperty.time;
}

Window createMessageWindow(Display* display) {
  XSetWindowAttributes attributes{};
  attributes.event_mask = PropertyChangeMask;
  return XCreateWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, 0, InputOnly,
                       CopyFromParent, CWEventMask, &attributes);
}

}  // namespace kavri::keysend::x11
