// Xlib plumbing shared by the clipboard and workspace backends: owned connections, trapping the
// errors that other clients' windows cause, waiting for events with a deadline, server time.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace kavri::keysend::x11 {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// The exit status of a process whose X server went away: that of a missing display.
inline constexpr int kLostServerStatus = 5;

// Opens the default display, or null. The first call makes the loss of any X connection end the
// process with one line on standard error and kLostServerStatus; a process that must react
// otherwise (the clipboard owner) installs its own handler afterwards.
DisplayPtr openDisplay();

// While alive, X errors are recorded instead of ending the process (Xlib's default). Windows of
// other clients may vanish at any time, and a window manager that has exited leaves root
// properties behind that name dead windows.
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display);
  ~ErrorTrap();
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Whether any request sent so far failed; waits for the server to have handled them.
  bool failed();

 private:
  Display* display_;
  int (*previous_)(Display*, XErrorEvent*);
  unsigned long firstSerial_;
};

using Deadline = std::chrono::steady_clock::time_point;

Deadline deadlineAfter(double seconds);

// Takes the next event that matches from the queue or the connection, leaving the others
// queued in order. False once the deadline passes or the connection breaks.
bool waitForEvent(Display* display, Deadline deadline,
                  const std::function<bool(const XEvent&)>& matches, XEvent& event);

// The server's current time, read from the PropertyNotify that a zero-length append to a
// property of window produces. The window must select PropertyChangeMask.
std::optional<Time> serverTime(Display* display, Window window, Deadline deadline);

// A plain input-only window of our own that hears property changes.
Window createMessageWindow(Display* display);

}  // namespace kavri::keysend::x11
