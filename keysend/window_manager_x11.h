// What the workspace asks of the X window manager (the EWMH root properties and requests): which
// window is active, which managed window belongs to an application, and activating that window.
// An application is known to X only by the WM_CLASS of its windows; an identifier names it when
// it equals either half (class or instance) exactly.
#pragma once

#include <X11/Xlib.h>

#include <optional>
#include <string>
#include <vector>

#include "x11_connection.h"

namespace kavri::keysend {

// The halves of the active window's WM_CLASS, class first; empty when no window is active, the
// manager names none, or the one it names is gone.
std::vector<std::string> activeWindowClass(x11::Connection& connection);

// The managed top-level window of the application with this identifier, the top-most when it
// has several; none without a window manager that lists its clients.
std::optional<Window> findApplicationWindow(x11::Connection& connection,
                                            const std::string& identifier);

// Asks the window manager to activate window (raise it, give it the focus, switch to its
// desktop, restore it when minimised) on the user's behalf, stamped with the server's current
// time. False when the server does not tell its time before the deadline.
bool requestActivation(x11::Connection& connection, Window window, x11::Deadline deadline);

}  // namespace kavri::keysend
