#include "x11_connection.h"

#include <X11/Xatom.h>
#include <dlfcn.h>
#include <poll.h>
#include <setjmp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "x11_server_probe.h"

namespace kavri::x11 {

// Xlib has one I/O error handler and one error handler per process. Ours answer for our own
// connections, each by its own policy, and pass every other connection on to whatever handler
// was in place before, so a host's own X connections keep the behaviour their owner chose.
struct Registry {
  std::mutex mutex;
  std::unordered_map<Display*, Connection*> connections;
  XIOErrorHandler previousIOHandler = nullptr;
  XErrorHandler previousErrorHandler = nullptr;
  bool ioHandlerInstalled = false;

  // Never freed: the handlers may run while the process exits.
  static Registry& get() {
    static Registry* registry = new Registry();
    return *registry;
  }

  static int onIOError(Display* display);
  static void onIOErrorExit(Display* display, void* connection);
  static int onError(Display* display, XErrorEvent* error);
};

namespace {

void writeLine(const char* line) {
  std::string text = std::string(line) + "\n";
  // One write, so that the line is never torn by another writer.
  while (::write(STDERR_FILENO, text.data(), text.size()) < 0 && errno == EINTR) {
  }
}

void installIOHandler() {
  Registry& registry = Registry::get();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (registry.ioHandlerInstalled) return;
  registry.previousIOHandler = XSetIOErrorHandler(Registry::onIOError);
  registry.ioHandlerInstalled = true;
}

// Set again whenever it is needed: test code and other libraries replace the process's error
// handler for a while and then put back Xlib's own.
void installErrorHandler() {
  Registry& registry = Registry::get();
  std::lock_guard<std::mutex> lock(registry.mutex);
  XErrorHandler current = XSetErrorHandler(Registry::onError);
  if (current != Registry::onError) registry.previousErrorHandler = current;
}

// The addon can be unloaded while the process goes on (a worker thread that loaded it ends);
// libX11 stays, and must not call into code that is gone. A handler that someone installed after
// ours may still pass our connections on to us; that chain is theirs to undo.
//
// Made before every other static object of the module, so it is destroyed after all of them:
// the connections they hold are closed by then, with our handlers still answering for them.
struct RestoreHandlersAtUnload {
  ~RestoreHandlersAtUnload() {
    Registry& registry = Registry::get();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.ioHandlerInstalled) {
      XIOErrorHandler current = XSetIOErrorHandler(registry.previousIOHandler);
      if (current != Registry::onIOError) XSetIOErrorHandler(current);
    }
    if (registry.previousErrorHandler) {
      XErrorHandler current = XSetErrorHandler(registry.previousErrorHandler);
      if (current != Registry::onError) XSetErrorHandler(current);
    }
  }
} gRestoreHandlersAtUnload __attribute__((init_priority(101)));

}  // namespace

namespace {

// XOpenDisplay asks the server a few questions after the handshake. A server that breaks the
// connection then makes Xlib call the I/O error handler, and then the display's exit handler,
// which ends the process: it is read before our handler runs and can only be replaced once
// XOpenDisplay has returned. So while this thread is in XOpenDisplay, our handler leaves it
// through longjmp instead, which jumps over frames of Xlib alone.
thread_local jmp_buf* gOpeningEscape = nullptr;
thread_local Display* gBrokenWhileOpening = nullptr;

// Xlib's own way to free a display it gives up on is private to it: linking against it would make
// the Debian package depend on "libx11-private", which no package provides. Looked up at run time
// instead; without it the structure (a few kilobytes) is left.
void freeDisplayStructure(Display* display) {
  using FreeDisplay = void (*)(Display*);
  static const auto freeDisplay =
      reinterpret_cast<FreeDisplay>(::dlsym(RTLD_DEFAULT, "_XFreeDisplayStructure"));
  if (freeDisplay) {
    freeDisplay(display);
  }
}

// XOpenDisplay, with null for a server that broke the connection before it was set up.
Display* openOrNull(const char* name) {
  jmp_buf escape;
  gOpeningEscape = &escape;
  if (setjmp(escape) != 0) {
    gOpeningEscape = nullptr;
    Display* broken = std::exchange(gBrokenWhileOpening, nullptr);
    // Closing would send requests, and a display whose socket Xlib never took from xcb cannot
    // even queue them. Freed the way XOpenDisplay frees a display it gives up on, except for
    // xcb's share, which only libX11-xcb can reach: its socket is closed, its memory (some
    // kilobytes) left.
    ::close(ConnectionNumber(broken));
    freeDisplayStructure(broken);
    return nullptr;
  }
  Display* display = XOpenDisplay(name);
  gOpeningEscape = nullptr;
  return display;
}

}  // namespace

int Registry::onIOError(Display* display) {
  if (gOpeningEscape) {
    gBrokenWhileOpening = display;
    longjmp(*gOpeningEscape, 1);
  }
  Registry& registry = get();
  std::optional<LostServerPolicy> policy;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (auto it = registry.connections.find(display); it != registry.connections.end()) {
      it->second->lost_.store(true, std::memory_order_release);
      policy = it->second->onLostServer_;
    }
  }
  if (!policy) return registry.previousIOHandler ? registry.previousIOHandler(display) : 0;
  if (policy->endProcess) {
    if (policy->line) writeLine(policy->line);
    _exit(policy->status);
  }
  // Xlib goes on to the connection's exit handler, which lets it give up on the connection.
  return 0;
}

void Registry::onIOErrorExit(Display*, void* connection) {
  // Returning makes Xlib give up on this connection instead of ending the process.
  static_cast<Connection*>(connection)->lost_.store(true, std::memory_order_release);
}

int Registry::onError(Display* display, XErrorEvent* error) {
  Registry& registry = get();
  std::function<void(const XErrorEvent&)> handler;
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (auto it = registry.connections.find(display); it != registry.connections.end()) {
      Connection& connection = *it->second;
      if (connection.trapped_) {
        // Errors of requests from before the trap are someone else's, and already late.
        if (error->serial >= connection.trapFirstSerial_) connection.trapFailed_ = true;
        return 0;
      }
      handler = connection.errorHandler_;
    }
  }
  if (handler) {
    handler(*error);
    return 0;
  }
  return registry.previousErrorHandler ? registry.previousErrorHandler(display, error) : 0;
}

// XOpenDisplay holds a lock of Xlib's for the whole handshake, so one opening stuck on a server
// that never answers would stop every later opening in the process, to any server, and could not
// be left behind on a thread of its own. A server must answer a handshake of its own first; one
// that answered a moment ago answers Xlib's too. The first connection stays open until Xlib's is
// made: a server whose last client leaves resets, and refuses connections while it does.
Display* openDisplay(int attempts, std::chrono::milliseconds pause,
                     std::chrono::milliseconds limit) {
  installIOHandler();
  const char* variable = std::getenv("DISPLAY");
  // Without a display name there is nothing to wait for.
  if (!variable || !*variable) return nullptr;
  const std::string name = variable;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (int attempt = 1;; ++attempt) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return nullptr;
    XcbConnection answered;
    const ProbeResult probe = probeServer(name, left, answered);
    if (probe == ProbeResult::kSilent) return nullptr;
    if (probe == ProbeResult::kAnswered) {
      if (Display* display = openOrNull(name.c_str())) return display;
    }
    if (attempt >= attempts) return nullptr;
    std::this_thread::sleep_for(pause);
  }
}

std::unique_ptr<Connection> Connection::open(LostServerPolicy onLostServer, int attempts,
                                             std::chrono::milliseconds pause,
                                             std::chrono::milliseconds limit) {
  Display* display = openDisplay(attempts, pause, limit);
  if (!display) return nullptr;
  return std::unique_ptr<Connection>(new Connection(display, onLostServer));
}

Connection::Connection(Display* display, LostServerPolicy onLostServer)
    : display_(display), onLostServer_(onLostServer) {
  Registry& registry = Registry::get();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.connections[display_] = this;
  }
  XSetIOErrorExitHandler(display_, Registry::onIOErrorExit, this);
}

Connection::~Connection() {
  // Closing talks to the server, and may be what finds it gone: the handlers still answer for
  // the display until it is closed.
  XCloseDisplay(display_);
  Registry& registry = Registry::get();
  std::lock_guard<std::mutex> lock(registry.mutex);
  // A new connection may have been given the freed address meanwhile.
  if (auto it = registry.connections.find(display_);
      it != registry.connections.end() && it->second == this) {
    registry.connections.erase(it);
  }
}

void Connection::setErrorHandler(std::function<void(const XErrorEvent&)> handler) {
  installErrorHandler();
  std::lock_guard<std::mutex> lock(Registry::get().mutex);
  errorHandler_ = std::move(handler);
}

ErrorTrap::ErrorTrap(Connection& connection) : connection_(connection) {
  installErrorHandler();
  // Errors still on their way about earlier requests must not count.
  XSync(connection_.display(), False);
  std::lock_guard<std::mutex> lock(Registry::get().mutex);
  connection_.trapped_ = true;
  connection_.trapFailed_ = false;
  connection_.trapFirstSerial_ = NextRequest(connection_.display());
}

ErrorTrap::~ErrorTrap() {
  XSync(connection_.display(), False);
  std::lock_guard<std::mutex> lock(Registry::get().mutex);
  connection_.trapped_ = false;
}

bool ErrorTrap::failed() {
  XSync(connection_.display(), False);
  std::lock_guard<std::mutex> lock(Registry::get().mutex);
  return connection_.trapFailed_;
}

Deadline deadlineAfter(double seconds) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double>(seconds));
}

bool waitForEvent(Display* display, Deadline deadline,
                  const std::function<bool(const XEvent&)>& matches, XEvent& event) {
  std::vector<XEvent> others;
  bool found = false;
  for (;;) {
    while (XPending(display) > 0) {
      XNextEvent(display, &event);
      if (matches(event)) {
        found = true;
        break;
      }
      others.push_back(event);
    }
    if (found) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    int ready = poll(&fd, 1, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0 && (fd.revents & (POLLERR | POLLHUP | POLLNVAL))) break;
  }
  // Put back what others may be waiting for, in the order it came.
  for (auto it = others.rbegin(); it != others.rend(); ++it) XPutBackEvent(display, &*it);
  return found;
}

std::optional<Time> serverTime(Display* display, Window window, Deadline deadline) {
  Atom stamp = XInternAtom(display, "KAVRI_TIMESTAMP", False);
  XChangeProperty(display, window, stamp, XA_STRING, 8, PropModeAppend, nullptr, 0);
  XFlush(display);
  XEvent event;
  auto isStamp = [&](const XEvent& e) {
    return e.type == PropertyNotify && e.xproperty.window == window && e.xproperty.atom == stamp;
  };
  if (!waitForEvent(display, deadline, isStamp, event)) return std::nullopt;
  return event.xproperty.time;
}

Window createMessageWindow(Display* display) {
  XSetWindowAttributes attributes{};
  attributes.event_mask = PropertyChangeMask;
  return XCreateWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, 0, InputOnly,
                       CopyFromParent, CWEventMask, &attributes);
}

}  // namespace kavri::x11
