#include "testing/x_server.h"

#include <X11/Xlib.h>
#include <signal.h>

#include <cstdlib>

#include "testing/wait.h"

namespace kavri::testing {

PrivateXServer::PrivateXServer(bool withWindowManager) {
  if (const char* current = std::getenv("DISPLAY")) previousDisplay_ = current;
  // -displayfd picks a free display and writes its number once the server accepts clients.
  server_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
                               "-nolisten", "tcp"},
      ChildOptions{.pipeStdout = true});
  auto number = server_->readLine(kXServerStartTimeout);
  if (!number || number->empty()) return;
  display_ = ":" + *number;
  ::setenv("DISPLAY", display_.c_str(), 1);
  if (!withWindowManager) {
    ready_ = true;
    return;
  }
  // A configuration folder of our own keeps the user's settings out; the font cache stays the
  // user's, since building a new one delays the first window by seconds.
  windowManager_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"openbox", "--sm-disable"},
      ChildOptions{.environment = {{"XDG_CONFIG_HOME", home_.path()}}});
  ready_ = waitForWindowManager();
}

bool PrivateXServer::waitForWindowManager() {
  Display* display = XOpenDisplay(display_.c_str());
  if (!display) return false;
  // The window manager is up once it announces itself on the root window.
  Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  bool announced = waitUntil(
      [&] {
        Atom type;
        int format;
        unsigned long count = 0, after;
        unsigned char* data = nullptr;
        XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, AnyPropertyType,
                           &type, &format, &count, &after, &data);
        if (data) XFree(data);
        return count == 1;
      },
      kXServerStartTimeout);
  XCloseDisplay(display);
  return announced;
}

void PrivateXServer::freeze(bool frozen) {
  if (server_) server_->signal(frozen ? SIGSTOP : SIGCONT);
}

void PrivateXServer::stop() {
  // A frozen server, and a window manager waiting on it, would end only once the grace is over.
  freeze(false);
  if (windowManager_) windowManager_->stop();
  if (server_) server_->stop();
}

PrivateXServer::~PrivateXServer() {
  stop();
  if (previousDisplay_) {
    ::setenv("DISPLAY", previousDisplay_->c_str(), 1);
  } else {
    ::unsetenv("DISPLAY");
  }
}

}  // namespace kavri::testing
