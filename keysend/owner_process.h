// The process that keeps the clipboard after the key sender has ended. X keeps no clipboard
// contents: the owning client serves each paste itself. A short-lived program can therefore only
// "set" the clipboard by leaving a process behind that owns the selection and answers requests
// until another client takes it, as the standard X11 clipboard tools do.
#pragma once

#include <string>

namespace kavri::keysend {

// How long a new owner may take to connect and take the selection.
inline constexpr double kOwnershipTimeout = 3.0;

// Starts the owner of text and waits until it owns the clipboard: true then, false when it could
// not be started or did not take the clipboard in time (it is then gone too).
bool startOwnerProcess(const std::string& text, double ownershipTimeout = kOwnershipTimeout);

}  // namespace kavri::keysend
