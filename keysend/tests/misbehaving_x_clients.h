// X clients that stand in the key sender's way, on the server that DISPLAY names: clipboard
// owners that answer badly or not at all, an active window that no longer exists, and another
// application's window in front.
#pragma once

#include <atomic>
#include <thread>

namespace kavri::testing {

// Takes the clipboard on a connection that never reads its events, so requests go unanswered.
class SilentClipboardOwner {
 public:
  SilentClipboardOwner();
  ~SilentClipboardOwner();
  bool owns() const { return owns_; }

 private:
  void* display_ = nullptr;
  bool owns_ = false;
};

// Takes the clipboard and serves it badly from a thread with a connection of its own: TARGETS
// is answered, the text never arrives whole.
class StallingClipboardOwner {
 public:
  enum class Mode {
    neverConverts,     // no answer at all to UTF8_STRING or STRING
    stopsMidTransfer,  // INCR, a few chunks, then silence
    trickles,          // INCR, a small chunk every half second, never the end
  };
  explicit StallingClipboardOwner(Mode mode);
  ~StallingClipboardOwner();  // closes the connection
  StallingClipboardOwner(const StallingClipboardOwner&) = delete;
  StallingClipboardOwner& operator=(const StallingClipboardOwner&) = delete;
  bool owns() const { return owns_; }
  // Conversion requests seen for UTF8_STRING or STRING, and chunks sent.
  int requests() const { return requests_.load(); }
  int chunks() const { return chunks_.load(); }

 private:
  void serve();

  Mode mode_;
  void* display_ = nullptr;
  unsigned long window_ = 0;
  bool owns_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::atomic<int> chunks_{0};
  std::thread thread_;
};

// Leaves _NET_ACTIVE_WINDOW naming a window that no longer exists, as a window manager that
// exited would.
bool pointActiveWindowAtAGoneWindow();

// A window of another application (class OtherApp) that the window manager makes the active one,
// as a taskbar click would; it stays mapped while the object lives.
class OtherApplicationWindow {
 public:
  OtherApplicationWindow();
  ~OtherApplicationWindow();
  OtherApplicationWindow(const OtherApplicationWindow&) = delete;
  OtherApplicationWindow& operator=(const OtherApplicationWindow&) = delete;
  // Whether the window manager has named it in _NET_ACTIVE_WINDOW.
  bool inFront() const { return inFront_; }

 private:
  void* display_ = nullptr;
  bool inFront_ = false;
};

}  // namespace kavri::testing
