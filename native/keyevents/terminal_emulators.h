// Terminal emulators, recognised by the WM_CLASS of their windows. They do not paste on
// Control+V (which types a literal ^V into the shell) but on Control+Shift+V.
#pragma once

#include <string_view>

namespace kavri::keys {

// Whether a window whose WM_CLASS has this class or instance name belongs to a terminal emulator.
// Case-insensitive.
bool isTerminalEmulatorClass(std::string_view name);

}  // namespace kavri::keys
