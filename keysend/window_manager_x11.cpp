#include "window_manager_x11.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <memory>

namespace kavri::keysend {
namespace {

// More windows than any desktop manages; a list property is read in one request up to this.
constexpr long kMaxListedWindows = 1 << 16;

// The source indication of an activation request. The key sender acts on the user's own command,
// as a taskbar does on a click, so it says so (2): a request that says it comes from an
// application (1) meets the managers' focus-stealing prevention, and openbox and others then
// may only mark the window as wanting attention while the keystrokes go to the window in front.
constexpr long kRequestFromUser = 2;

// The windows that a root property of the window manager lists, in its order.
std::vector<Window> windowList(Display* display, const char* name) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, DefaultRootWindow(display), XInternAtom(display, name, False), 0,
                         kMaxListedWindows, False, XA_WINDOW, &type, &format, &count, &after,
                         &data) != Success) {
    return {};
  }
  std::unique_ptr<unsigned char, int (*)(void*)> owned(data, XFree);
  if (type != XA_WINDOW || format != 32 || !data) return {};
  // Format 32 items come back as C longs.
  const auto* items = reinterpret_cast<const long*>(data);
  return std::vector<Window>(items, items + count);
}

Window activeWindow(Display* display) {
  std::vector<Window> active = windowList(display, "_NET_ACTIVE_WINDOW");
  return active.size() == 1 ? active.front() : None;
}

std::vector<std::string> classOf(Display* display, Window window) {
  XClassHint hint{};
  std::vector<std::string> halves;
  if (XGetClassHint(display, window, &hint) != 0) {
    if (hint.res_class) halves.emplace_back(hint.res_class);
    if (hint.res_name) halves.emplace_back(hint.res_name);
  }
  if (hint.res_class) XFree(hint.res_class);
  if (hint.res_name) XFree(hint.res_name);
  return halves;
}

}  // namespace

std::vector<std::string> activeWindowClass(x11::Connection& connection) {
  Display* display = connection.display();
  x11::ErrorTrap trap(connection);
  const Window active = activeWindow(display);
  if (active == None) return {};
  std::vector<std::string> halves = classOf(display, active);
  if (trap.failed()) return {};
  return halves;
}

std::optional<Window> findApplicationWindow(x11::Connection& connection,
                                            const std::string& identifier) {
  Display* display = connection.display();
  // Listed windows may be gone by the time we ask for their class.
  x11::ErrorTrap trap(connection);
  std::vector<Window> windows = windowList(display, "_NET_CLIENT_LIST_STACKING");
  if (windows.empty()) windows = windowList(display, "_NET_CLIENT_LIST");
  // The stacking list runs from the bottom up, the plain one from the oldest to the newest.
  for (auto window = windows.rbegin(); window != windows.rend(); ++window) {
    const std::vector<std::string> halves = classOf(display, *window);
    if (std::find(halves.begin(), halves.end(), identifier) != halves.end()) return *window;
  }
  return std::nullopt;
}

bool requestActivation(x11::Connection& connection, Window window, x11::Deadline deadline) {
  Display* display = connection.display();
  // A request stamped with the current time is not mistaken for a stale one by managers that
  // refuse to let an old request steal the focus.
  const Window clock = x11::createMessageWindow(display);
  const std::optional<Time> now = x11::serverTime(display, clock, deadline);
  XDestroyWindow(display, clock);
  if (!now) {
    XFlush(display);
    return false;
  }
  XEvent request{};
  request.xclient.type = ClientMessage;
  request.xclient.window = window;
  request.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  request.xclient.format = 32;
  request.xclient.data.l[0] = kRequestFromUser;
  request.xclient.data.l[1] = static_cast<long>(*now);
  request.xclient.data.l[2] = static_cast<long>(activeWindow(display));
  XSendEvent(display, DefaultRootWindow(display), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &request);
  XSync(display, False);
  return true;
}

}  // namespace kavri::keysend
