// What the key sender's X connections do when the server goes away: without it the command can
// do nothing more, so it ends the way a missing display ends it, with one line and status 5.
#pragma once

#include "x11_connection.h"

namespace kavri::keysend {

inline constexpr int kLostServerStatus = 5;
inline constexpr x11::LostServerPolicy kEndWithLostServer =
    x11::endProcessWith(kLostServerStatus, "X server connection lost");

}  // namespace kavri::keysend
