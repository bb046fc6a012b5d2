// A connection to the X server that cannot take the process down with it. Xlib's default answer to
// a lost server is exit(), which would end the host application that loaded us; here a lost
// connection is only marked, and every later call on it returns at once.
#pragma once

#include <X11/Xlib.h>

#include <atomic>
#include <chrono>
#include <memory>

namespace kavri::keys {

// A busy X server refuses connections now and then (its listen queue is full: EAGAIN, or reset by
// peer), so opening is tried a few times before the server counts as unreachable.
inline constexpr int kOpenAttempts = 5;
inline constexpr std::chrono::milliseconds kOpenRetryPause{20};

// XOpenDisplay on $DISPLAY, tried up to attempts times, pause apart; null when it never succeeds.
Display* openDisplay(int attempts = kOpenAttempts,
                     std::chrono::milliseconds pause = kOpenRetryPause);

class X11Connection {
 public:
  // Null when no X server can be reached.
  static std::unique_ptr<X11Connection> open();
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  Display* display() const { return display_; }
  // True once Xlib has reported the server gone; the connection is then only good for closing.
  bool lost() const { return lost_.load(std::memory_order_acquire); }

 private:
  explicit X11Connection(Display* display);
  static void onIOErrorExit(Display* display, void* self);

  Display* display_;
  std::atomic<bool> lost_{false};
};

}  // namespace kavri::keys
