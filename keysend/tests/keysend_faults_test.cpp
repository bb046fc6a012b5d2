// kavri-keysend when what it depends on fails under it: the X server goes away, or the owner of
// the previous clipboard string answers badly. Each test has an X server of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>

#include "misbehaving_x_clients.h"
#include "pasteboard.h"
#include "testing/process.h"
#include "testing/wait.h"
#include "testing/x_server.h"

// Xlib's macros (None) clash with GoogleTest's names, so it comes last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace kavri::keysend {
namespace {

using namespace kavri::testing;
using namespace std::chrono_literals;

// Processes of the key sender started for display.
std::vector<pid_t> keySendersOn(const std::string& display) {
  return processesOf(KAVRI_KEYSEND_PATH, "DISPLAY=" + display);
}

class KeySendFaults : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(session.ready()) << "no private X session"; }

  void TearDown() override {
    // Whatever a failed test left behind goes, by its pid.
    for (pid_t pid : keySendersOn(session.display())) kill(pid, SIGKILL);
  }

  RunResult paste(const std::string& input) {
    return runProcess({KAVRI_KEYSEND_PATH, "paste"}, {.input = input, .timeout = 30s});
  }

  PrivateXServer session{true};  // with a window manager
};

TEST_F(KeySendFaults, TheClipboardOwnerLeavesWhenTheServerGoesAwayInTheMiddleOfATransfer) {
  std::string large;
  for (int i = 0; large.size() < 2 * 1024 * 1024; ++i) large += "row " + std::to_string(i) + "\n";
  // Without a previous string the pasted text stays, served by a background owner.
  RunResult result = paste(large);
  ASSERT_FALSE(result.timedOut);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  ASSERT_EQ(keySendersOn(session.display()).size(), 1u);

  {
    // Ask for the text and never take the INCR property: the owner keeps the transfer open.
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    const Atom property = XInternAtom(display, "KAVRI_TEST", False);
    XConvertSelection(display, XInternAtom(display, "CLIPBOARD", False),
                      XInternAtom(display, "UTF8_STRING", False), property, window, CurrentTime);
    XFlush(display);
    XEvent event{};
    const bool replied = waitUntil(
        [&] { return XCheckTypedWindowEvent(display, window, SelectionNotify, &event) == True; });
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (replied) {
      XGetWindowProperty(display, window, property, 0, 1, False, AnyPropertyType, &type, &format,
                         &count, &after, &data);
    }
    if (data) XFree(data);
    const bool incremental = type == XInternAtom(display, "INCR", False);
    // Our connection must be gone before the server is, or Xlib ends this process.
    XCloseDisplay(display);
    ASSERT_TRUE(replied);
    ASSERT_TRUE(incremental);
  }
  session.stop();
  EXPECT_TRUE(waitUntil([&] { return keySendersOn(session.display()).empty(); }))
      << "the clipboard owner outlived its X server";
}

// A clipboard owner in a process of its own that tells us (one byte on a pipe) when a request
// reaches it, and never answers: the key sender is then certain to be waiting on the server.
class SilentOwnerProcess {
 public:
  SilentOwnerProcess() {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      Display* display = XOpenDisplay(nullptr);
      if (!display) _exit(1);
      Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
      Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
      XSetSelectionOwner(display, clipboard, window, CurrentTime);
      const char owned = XGetSelectionOwner(display, clipboard) == window ? 'o' : 'x';
      (void)!::write(fds[1], &owned, 1);
      for (;;) {
        XEvent event;
        XNextEvent(display, &event);  // ends the process once the server is gone
        if (event.type == SelectionRequest) (void)!::write(fds[1], "r", 1);
      }
    }
    ::close(fds[1]);
    pipe_ = fds[0];
  }
  ~SilentOwnerProcess() {
    if (pipe_ >= 0) ::close(pipe_);
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // Waits for the next byte from the owner, or returns 0 after the time-out.
  char next(double timeoutSeconds = 15) {
    pollfd fd{pipe_, POLLIN, 0};
    char byte = 0;
    if (poll(&fd, 1, static_cast<int>(timeoutSeconds * 1000)) > 0 && ::read(pipe_, &byte, 1) == 1)
      return byte;
    return 0;
  }

 private:
  pid_t pid_ = -1;
  int pipe_ = -1;
};

TEST_F(KeySendFaults, PasteEndsWithAStatusWhenTheServerGoesAwayWhileItRuns) {
  SilentOwnerProcess owner;
  ASSERT_EQ(owner.next(), 'o');
  auto running = std::async(std::launch::async, [&] { return paste("never pasted"); });
  // The key sender is now waiting for the previous string.
  ASSERT_EQ(owner.next(), 'r');
  session.stop();
  RunResult result = running.get();
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 5);
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(waitUntil([&] { return keySendersOn(session.display()).empty(); }))
      << "a clipboard owner outlived its X server";
}

TEST_F(KeySendFaults, AnOwnerThatNeverCompletesThePreviousStringCountsAsNone) {
  using Mode = StallingClipboardOwner::Mode;
  for (Mode mode : {Mode::neverConverts, Mode::stopsMidTransfer, Mode::trickles}) {
    SCOPED_TRACE(static_cast<int>(mode));
    {
      StallingClipboardOwner owner(mode);
      ASSERT_TRUE(owner.owns());
      RunResult result = paste("new text");
      EXPECT_FALSE(result.timedOut);
      EXPECT_EQ(result.exitStatus, 0) << result.err;
      EXPECT_EQ(result.err, "");
      EXPECT_GE(owner.requests(), 1);
      if (mode != Mode::neverConverts) {
        EXPECT_GE(owner.chunks(), 1);
      }
    }
    // Nothing to put back: the pasted text stays.
    EXPECT_EQ(makeGeneralPasteboard()->stringForType(), "new text");
  }
}

}  // namespace
}  // namespace kavri::keysend
