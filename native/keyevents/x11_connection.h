// Connections to the X server, for the addon and the key sender alike. Xlib's answer to a lost
// server is to end the process, which in the addon would end the host application that loaded
// us; here each connection says what a loss means for it: marked lost (every later call on it
// returns at once), or the end of the process with a status of its choosing. Also the plumbing
// that every client of other clients' windows needs: trapping the errors those windows cause,
// waiting for an event with a deadline, and the server's time.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace kavri::x11 {

// A busy X server refuses connections now and then (its listen queue is full: EAGAIN, or reset by
// peer), so opening is tried a few times before the server counts as unreachable.
inline constexpr int kOpenAttempts = 5;
inline constexpr std::chrono::milliseconds kOpenRetryPause{20};

// XOpenDisplay waits for the server's answer without a limit: a server that froze, or that
// accepts connections and never answers, would hold the caller for as long as that lasts. Opening
// waits for an answer this long, retries included.
inline constexpr std::chrono::milliseconds kOpenLimit{500};

// XOpenDisplay on $DISPLAY, tried up to attempts times, pause apart, for at most limit; null when
// it never succeeds in time. A server that has not answered in time is not asked again until it
// has answered (the question is left waiting on a thread of its own). A server that breaks the
// connection while Xlib sets it up is a failed attempt, not the end of the process. The display
// is bare: nothing below applies to it.
Display* openDisplay(int attempts = kOpenAttempts,
                     std::chrono::milliseconds pause = kOpenRetryPause,
                     std::chrono::milliseconds limit = kOpenLimit);

// What the loss of the server means for a connection.
struct LostServerPolicy {
  // False: the connection is only marked lost. True: the process ends at once with status,
  // after line (when there is one) has gone to standard error, without the exit handlers that
  // other threads or a forked copy of the caller's memory must not run.
  bool endProcess = false;
  int status = 0;
  const char* line = nullptr;
};

inline constexpr LostServerPolicy kMarkLost{};

constexpr LostServerPolicy endProcessWith(int status, const char* line = nullptr) {
  return {true, status, line};
}

class ErrorTrap;

class Connection {
 public:
  // Null when no X server can be reached.
  static std::unique_ptr<Connection> open(LostServerPolicy onLostServer,
                                          int attempts = kOpenAttempts,
                                          std::chrono::milliseconds pause = kOpenRetryPause,
                                          std::chrono::milliseconds limit = kOpenLimit);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* display() const { return display_; }
  // True once Xlib has reported the server gone; the connection is then only good for closing.
  bool lost() const { return lost_.load(std::memory_order_acquire); }

  // Failed requests of this connection, outside an ErrorTrap, go to handler instead of the
  // process's X error handler (Xlib's own ends the process). It runs on the thread whose call
  // read the error, inside that call, and must not call Xlib.
  void setErrorHandler(std::function<void(const XErrorEvent&)> handler);

 private:
  friend class ErrorTrap;
  friend struct Registry;
  Connection(Display* display, LostServerPolicy onLostServer);

  Display* display_;
  LostServerPolicy onLostServer_;
  std::atomic<bool> lost_{false};
  // Read by the process-wide handlers under the registry's lock.
  std::function<void(const XErrorEvent&)> errorHandler_;
  bool trapped_ = false;
  bool trapFailed_ = false;
  unsigned long trapFirstSerial_ = 0;
};

// While alive, failed requests of the connection are recorded instead of reported. Windows of
// other clients may vanish at any time, and a window manager that has exited leaves root
// properties behind that name dead windows. One trap per connection at a time.
class ErrorTrap {
 public:
  explicit ErrorTrap(Connection& connection);
  ~ErrorTrap();
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // Whether any request sent since the trap was set failed; waits for the server to have handled
  // them.
  bool failed();

 private:
  Connection& connection_;
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

}  // namespace kavri::x11
