// Reading the clipboard: asks the owner of the CLIPBOARD selection for its text and collects the
// reply, whole or in an incremental ("INCR") transfer of chunks. An owner is another client and
// may answer slowly, badly or never; every wait has a deadline.
#pragma once

#include <X11/Xlib.h>

#include <optional>
#include <string>

#include "selection_atoms.h"
#include "x11_connection.h"

namespace kavri::keysend {

// How long an owner may take for each step of a reply before we give up on it.
inline constexpr double kSelectionReplyTimeout = 1.0;
// How long a whole reply may take, however steadily an owner trickles it: the paste waits on it.
inline constexpr double kSelectionReadLimit = 5.0;

class SelectionRequestor {
 public:
  // window is ours and selects PropertyChangeMask: replies are written to it.
  SelectionRequestor(x11::Connection& connection, Window window,
                     double replyTimeout = kSelectionReplyTimeout,
                     double readLimit = kSelectionReadLimit);

  // The clipboard's text in UTF-8; none when nobody owns the clipboard, the owner offers no text
  // or does not finish in time.
  std::optional<std::string> readText();

 private:
  // Sets answered to false when the owner let the reply time out (rather than refusing).
  std::optional<std::string> convert(Atom target, x11::Deadline whole, bool& answered);

  x11::Connection& connection_;
  Display* display_;
  Window window_;
  SelectionAtoms atoms_;
  double replyTimeout_;
  double readLimit_;
};

}  // namespace kavri::keysend
