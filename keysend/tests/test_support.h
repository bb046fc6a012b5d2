// Running programs and a private X session for the end-to-end tests.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kavri::keysend::testing {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when killed
  bool timedOut = false;
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::string input;
  // Leaves the input pipe open (without writing) until the program ends.
  bool holdInputOpen = false;
  std::map<std::string, std::optional<std::string>> environment;  // none: unset
  double timeoutSeconds = 30;
};

// Runs argv (no shell) and collects its output. A program still running at the time-out is
// killed; its output streams must be closed by everyone for the run to end.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Starts argv in the background with the given environment changes; returns its pid.
pid_t startProcess(const std::vector<std::string>& argv,
                   const std::map<std::string, std::optional<std::string>>& environment = {});
void stopProcess(pid_t pid);

// Polls condition every 20 ms until it holds or the time-out passes.
bool waitUntil(const std::function<bool()>& condition, double timeoutSeconds = 15);

std::string readFile(const std::string& path);
// Live processes (zombies left out) running executable. Clipboard owners are daemons, not our
// children, so they are found this way; with environmentEntry (such as "DISPLAY=:5") only those
// started with that entry count.
std::vector<pid_t> processesOf(const std::string& executable,
                               const std::string& environmentEntry = "");
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
std::vector<std::string> readLines(const std::string& path);

// A fresh folder under /tmp, removed with everything in it when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// An Xvfb of our own, with openbox as its window manager; DISPLAY points at it while it lives.
// Other tests keep their X server to themselves, so keystrokes and focus cannot cross.
class XSession {
 public:
  XSession();
  ~XSession();
  bool ready() const { return ready_; }
  const std::string& display() const { return display_; }
  // Ends the X server (and the window manager with it), as a crash or a logout would. Every
  // connection of the calling process must be closed first: Xlib ends a process whose
  // connection breaks under it.
  void stopServer();

 private:
  std::optional<std::string> previousDisplay_;
  std::string display_;
  TempDir home_;
  pid_t server_ = -1;
  pid_t windowManager_ = -1;
  bool ready_ = false;
};

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

}  // namespace kavri::keysend::testing
