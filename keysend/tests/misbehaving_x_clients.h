// X clients that misbehave towards the key sender, on the server that DISPLAY names: clipboard
// owners that answer badly or not at all, and an active window that no longer exists.
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

}  // namespace kavri::testing
