// A small X application for the end-to-end tests: it maps a window that takes the focus and
// records what arrives, one line per event in <dir>/events: "focus" when it gains the focus,
// "ctrl+n", "paste <k>" (the clipboard's text, read on Control+V, is in <dir>/paste-<k>; "paste
// none" when there was none), "shift-paste <k>" (the same on Control+Shift+V, as terminal
// emulators paste), "return", or "key <keysym> <state>" for anything else, a shortcut with a
// modifier more or less included. Its pid is in <dir>/pid. --class=<name> sets both halves of
// the window's WM_CLASS (by default keysend-target, KeysendTarget).
//   keysend_target <dir> [--class=<name>] [ignored...]
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "pasteboard.h"

namespace {

std::string gDir;

void writeFile(const std::string& path, const std::string& bytes, int flags) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
  if (fd < 0) return;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

void record(const std::string& line) {
  writeFile(gDir + "/events", line + "\n", O_APPEND);
}

// Asks the window manager to activate the window, as a pager would: a window mapped while the
// manager is still starting up is otherwise left without the focus.
void requestActivation(Display* display, Window window) {
  XEvent request{};
  request.xclient.type = ClientMessage;
  request.xclient.window = window;
  request.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  request.xclient.format = 32;
  request.xclient.data.l[0] = 2;
  request.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, DefaultRootWindow(display), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &request);
  XFlush(display);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  gDir = argv[1];
  std::string instance = "keysend-target", windowClass = "KeysendTarget";
  constexpr std::string_view kClassOption = "--class=";
  for (int i = 2; i < argc; ++i) {
    if (std::string_view(argv[i]).starts_with(kClassOption)) {
      instance = windowClass = argv[i] + kClassOption.size();
    }
  }
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 1;
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 50, 50, 300, 120, 1,
                                      BlackPixel(display, 0), WhitePixel(display, 0));
  XClassHint hint{instance.data(), windowClass.data()};
  XSetClassHint(display, window, &hint);
  XStoreName(display, window, "keysend target");
  XWMHints wmHints{};
  wmHints.flags = InputHint;
  wmHints.input = True;
  XSetWMHints(display, window, &wmHints);
  Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display, window, &deleteWindow, 1);
  XSelectInput(display, window, KeyPressMask | FocusChangeMask | StructureNotifyMask);
  XMapRaised(display, window);
  XFlush(display);
  writeFile(gDir + "/pid", std::to_string(getpid()), O_TRUNC);

  auto pasteboard = kavri::keysend::makeGeneralPasteboard();
  int pastes = 0;
  bool focused = false;
  for (;;) {
    if (!focused && XPending(display) == 0) {
      pollfd fd{ConnectionNumber(display), POLLIN, 0};
      if (poll(&fd, 1, 500) == 0) requestActivation(display, window);
      continue;
    }
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == FocusIn) {
      focused = true;
      record("focus");
    } else if (event.type == KeyPress) {
      KeySym sym = XLookupKeysym(&event.xkey, 0);
      // Lock states (Caps Lock, Num Lock) are no part of a shortcut.
      const unsigned modifiers = event.xkey.state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask);
      if (IsModifierKey(sym)) continue;
      if (sym == XK_v && (modifiers == ControlMask || modifiers == (ControlMask | ShiftMask))) {
        const std::string kind = modifiers == ControlMask ? "paste " : "shift-paste ";
        auto text = pasteboard->stringForType();
        if (text) {
          writeFile(gDir + "/paste-" + std::to_string(pastes), *text, O_TRUNC);
          record(kind + std::to_string(pastes++));
        } else {
          record(kind + "none");
        }
      } else if (modifiers == ControlMask && sym == XK_n) {
        record("ctrl+n");
      } else if (modifiers == 0 && sym == XK_Return) {
        record("return");
      } else {
        const char* name = XKeysymToString(sym);
        record(std::string("key ") + (name ? name : "?") + " " + std::to_string(event.xkey.state));
      }
    } else if (event.type == ClientMessage &&
               static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow) {
      break;
    }
  }
  XCloseDisplay(display);
  return 0;
}
