// Whether an X server answers a connection handshake, asked so that the asker can leave a server
// that never answers behind: the handshake runs with xcb on a thread of its own, which takes none
// of Xlib's locks.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <memory>
#include <string>

namespace kavri::x11 {

struct XcbDisconnect {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
// Closing an xcb connection sends nothing, so it cannot wait on the server.
using XcbConnection = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

enum class ProbeResult { kAnswered, kUnreachable, kSilent };

// Whether the server named completes a connection handshake within limit; when it does, answered
// holds that connection. A helper thread left waiting on a server marks it silent, and the server
// is not asked again until that thread has its answer.
ProbeResult probeServer(const std::string& name, std::chrono::milliseconds limit,
                        XcbConnection& answered);

}  // namespace kavri::x11
