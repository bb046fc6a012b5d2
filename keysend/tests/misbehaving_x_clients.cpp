#include "misbehaving_x_clients.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <chrono>
#include <string>

#include "testing/wait.h"

namespace kavri::testing {

SilentClipboardOwner::SilentClipboardOwner() {
  Display* display = XOpenDisplay(nullptr);
  display_ = display;
  if (!display) return;
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  XSetSelectionOwner(display, clipboard, window, CurrentTime);
  owns_ = XGetSelectionOwner(display, clipboard) == window;
}

SilentClipboardOwner::~SilentClipboardOwner() {
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
}

namespace {
// The reader of a stalled transfer may be gone by the time we write to its window.
int ignoreErrors(Display*, XErrorEvent*) {
  return 0;
}
}  // namespace

StallingClipboardOwner::StallingClipboardOwner(Mode mode) : mode_(mode) {
  XSetErrorHandler(ignoreErrors);
  Display* display = XOpenDisplay(nullptr);
  display_ = display;
  if (!display) return;
  window_ = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  XSetSelectionOwner(display, clipboard, window_, CurrentTime);
  owns_ = XGetSelectionOwner(display, clipboard) == window_;
  thread_ = std::thread([this] { serve(); });
}

StallingClipboardOwner::~StallingClipboardOwner() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
  XSetErrorHandler(nullptr);
}

void StallingClipboardOwner::serve() {
  auto* display = static_cast<Display*>(display_);
  const Atom targets = XInternAtom(display, "TARGETS", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  const Atom incr = XInternAtom(display, "INCR", False);
  constexpr int kChunksBeforeStopping = 3;
  const std::string chunk(100, 'x');
  struct Reader {
    Window window = None;
    Atom property = None;
    bool wantsChunk = false;
  } reader;
  auto lastChunk = std::chrono::steady_clock::now();
  auto sendChunk = [&] {
    XChangeProperty(display, reader.window, reader.property, utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(chunk.data()),
                    static_cast<int>(chunk.size()));
    XFlush(display);
    reader.wantsChunk = false;
    lastChunk = std::chrono::steady_clock::now();
    ++chunks_;
  };
  while (!stop_) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete &&
          event.xproperty.window == reader.window && event.xproperty.atom == reader.property) {
        reader.wantsChunk = true;
        if (mode_ == Mode::stopsMidTransfer && chunks_ < kChunksBeforeStopping) sendChunk();
      }
      if (event.type != SelectionRequest) continue;
      const XSelectionRequestEvent& request = event.xselectionrequest;
      XEvent reply{};
      reply.xselection.type = SelectionNotify;
      reply.xselection.requestor = request.requestor;
      reply.xselection.selection = request.selection;
      reply.xselection.target = request.target;
      reply.xselection.property = None;
      reply.xselection.time = request.time;
      if (request.target == targets) {
        const Atom offered[] = {targets, utf8, XA_STRING};
        XChangeProperty(display, request.requestor, request.property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(offered), 3);
        reply.xselection.property = request.property;
      } else if (request.target == utf8 || request.target == XA_STRING) {
        ++requests_;
        if (mode_ == Mode::neverConverts) continue;
        reader = {request.requestor, request.property, false};
        XSelectInput(display, request.requestor, PropertyChangeMask);
        const long size = 1 << 20;
        XChangeProperty(display, request.requestor, request.property, incr, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        reply.xselection.property = request.property;
      }
      XSendEvent(display, request.requestor, False, NoEventMask, &reply);
      XFlush(display);
    }
    if (mode_ == Mode::trickles && reader.wantsChunk &&
        std::chrono::steady_clock::now() - lastChunk > std::chrono::milliseconds(500)) {
      sendChunk();
    }
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, 20);
  }
}

bool pointActiveWindowAtAGoneWindow() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  Window gone = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XDestroyWindow(display, gone);
  const long value = static_cast<long>(gone);
  XChangeProperty(display, DefaultRootWindow(display),
                  XInternAtom(display, "_NET_ACTIVE_WINDOW", False), XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&value), 1);
  XCloseDisplay(display);
  return true;
}

OtherApplicationWindow::OtherApplicationWindow() {
  Display* display = XOpenDisplay(nullptr);
  display_ = display;
  if (!display) return;
  const Window root = DefaultRootWindow(display);
  Window window = XCreateSimpleWindow(display, root, 400, 300, 200, 100, 0, 0, 0);
  XClassHint hint{const_cast<char*>("other-app"), const_cast<char*>("OtherApp")};
  XSetClassHint(display, window, &hint);
  XWMHints wmHints{};
  wmHints.flags = InputHint;
  wmHints.input = True;
  XSetWMHints(display, window, &wmHints);
  XMapRaised(display, window);
  const Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  inFront_ = waitUntil([&] {
    // Asked again until granted: a window not yet managed cannot be activated.
    XEvent request{};
    request.xclient.type = ClientMessage;
    request.xclient.window = window;
    request.xclient.message_type = active;
    request.xclient.format = 32;
    request.xclient.data.l[0] = 2;
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &request);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, root, active, 0, 1, False, XA_WINDOW, &type, &format, &count,
                       &after, &data);
    const bool named =
        data && count == 1 && *reinterpret_cast<const long*>(data) == static_cast<long>(window);
    if (data) XFree(data);
    return named;
  });
}

OtherApplicationWindow::~OtherApplicationWindow() {
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
}

}  // namespace kavri::testing
