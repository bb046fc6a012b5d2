// Test helper that drives the X server the way a person would, with our own XTest calls (the
// common command-line tools reorder and repeat modifier events, which would make the tests lie).
//   key_helper keys +Control_L -Control_L ...   press (+) and release (-) keys by keysym name, in
//                                                order, each one fully processed before the next
//   key_helper window [class]                    map a focused window (its WM_CLASS class and
//                                                instance set to class), print "ready", then one
//                                                line "press|release <keysym> <state>" per key
//                                                event, until standard input closes
//   key_helper timed                             per input line "+Name"/"-Name", print the
//                                                CLOCK_MONOTONIC nanoseconds taken just before the
//                                                key event went to the server and once the server
//                                                had handled it
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>

#include "x11_connection.h"

namespace {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

bool sendKey(Display* display, const std::string& action) {
  if (action.size() < 2 || (action[0] != '+' && action[0] != '-')) return false;
  KeySym sym = XStringToKeysym(action.c_str() + 1);
  KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(display, sym);
  if (code == 0) {
    std::cerr << "no key for " << action << "\n";
    return false;
  }
  XTestFakeKeyEvent(display, code, action[0] == '+' ? True : False, CurrentTime);
  XSync(display, False);
  return true;
}

int runKeys(Display* display, int argc, char** argv) {
  for (int i = 2; i < argc; ++i) {
    if (!sendKey(display, argv[i])) return 2;
  }
  return 0;
}

long long monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

int runTimed(Display* display) {
  std::string line;
  while (std::getline(std::cin, line)) {
    const long long before = monotonicNanoseconds();
    if (!sendKey(display, line)) return 2;
    std::cout << before << " " << monotonicNanoseconds() << std::endl;
  }
  return 0;
}

int runWindow(Display* display, const char* windowClass) {
  const int screen = DefaultScreen(display);
  Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, 200, 100, 0,
                                      BlackPixel(display, screen), WhitePixel(display, screen));
  if (windowClass) {
    XClassHint hint{const_cast<char*>(windowClass), const_cast<char*>(windowClass)};
    XSetClassHint(display, window, &hint);
  }
  XSelectInput(display, window, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
  XMapWindow(display, window);
  for (XEvent event;;) {
    XNextEvent(display, &event);
    if (event.type == MapNotify) break;
  }
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  std::cout << "ready" << std::endl;

  std::array<pollfd, 2> fds{{{ConnectionNumber(display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}}};
  for (;;) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type != KeyPress && event.type != KeyRelease) continue;
      const char* name = XKeysymToString(XLookupKeysym(&event.xkey, 0));
      std::printf("%s %s %u\n", event.type == KeyPress ? "press" : "release", name ? name : "?",
                  event.xkey.state);
      std::fflush(stdout);
    }
    if (poll(fds.data(), fds.size(), -1) < 0) return 1;
    if (fds[1].revents != 0) {
      char buffer[64];
      if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) return 0;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: key_helper keys|window|timed ...\n";
    return 2;
  }
  DisplayPtr display(kavri::x11::openDisplay());
  if (!display) {
    std::cerr << "cannot open the display\n";
    return 3;
  }
  const std::string mode = argv[1];
  if (mode == "keys") return runKeys(display.get(), argc, argv);
  if (mode == "window") return runWindow(display.get(), argc > 2 ? argv[2] : nullptr);
  if (mode == "timed") return runTimed(display.get());
  std::cerr << "unknown mode " << mode << "\n";
  return 2;
}
