#include "x11_display.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace kavri::keys {
namespace {

// Xlib's default IO error handler prints and exits before the per-connection exit handler gets a
// say, so a process-wide handler is needed too. It answers only for our own connections and
// passes every other one on to whatever handler was in place, so a host's own X connections keep
// the behaviour their owner chose.
std::mutex gOwnedMutex;
std::unordered_set<Display*>* gOwned = nullptr;
XIOErrorHandler gPreviousHandler = nullptr;

int onIOError(Display* display) {
  {
    std::lock_guard<std::mutex> lock(gOwnedMutex);
    if (gOwned && gOwned->count(display)) return 0;
  }
  return gPreviousHandler ? gPreviousHandler(display) : 0;
}

void own(Display* display) {
  static std::once_flag installed;
  std::call_once(installed, [] { gPreviousHandler = XSetIOErrorHandler(onIOError); });
  std::lock_guard<std::mutex> lock(gOwnedMutex);
  // Never freed: the handler may run while the process exits.
  if (!gOwned) gOwned = new std::unordered_set<Display*>();
  gOwned->insert(display);
}

void disown(Display* display) {
  std::lock_guard<std::mutex> lock(gOwnedMutex);
  if (gOwned) gOwned->erase(display);
}

}  // namespace

Display* openDisplay(int attempts, std::chrono::milliseconds pause) {
  for (int attempt = 1;; ++attempt) {
    if (Display* display = XOpenDisplay(nullptr)) return display;
    // Without a display name there is nothing to wait for.
    if (attempt >= attempts || !std::getenv("DISPLAY")) return nullptr;
    std::this_thread::sleep_for(pause);
  }
}

std::unique_ptr<X11Connection> X11Connection::open() {
  Display* display = openDisplay(kOpenAttempts, kOpenRetryPause);
  if (!display) return nullptr;
  return std::unique_ptr<X11Connection>(new X11Connection(display));
}

X11Connection::X11Connection(Display* display) : display_(display) {
  own(display_);
  XSetIOErrorExitHandler(display_, &X11Connection::onIOErrorExit, this);
}

X11Connection::~X11Connection() {
  XCloseDisplay(display_);
  disown(display_);
}

void X11Connection::onIOErrorExit(Display*, void* self) {
  // Returning makes Xlib give up on this connection instead of ending the process.
  static_cast<X11Connection*>(self)->lost_.store(true, std::memory_order_release);
}

}  // namespace kavri::keys
