#include "terminal_emulators.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace kavri::keys {
namespace {

// The class or instance names (either may be the one a given emulator sets recognisably) of the
// common emulators, lower case. Names ending in "terminal" are recognised without a line here.
constexpr std::array<std::string_view, 34> kTerminalClasses{
    "xterm",
    "uxterm",
    "rxvt",
    "urxvt",
    "urxvt-256color",
    "rxvt-unicode",
    "aterm",
    "eterm",
    "konsole",
    "yakuake",
    "alacritty",
    "kitty",
    "foot",
    "footclient",
    "wezterm",
    "org.wezfurlong.wezterm",
    "tilix",
    "com.gexperts.tilix",
    "terminator",
    "st",
    "st-256color",
    "sakura",
    "guake",
    "tilda",
    "terminology",
    "kgx",
    "org.gnome.console",
    "org.gnome.ptyxis",
    "ptyxis",
    "blackbox",
    "com.raggesilver.blackbox",
    "ghostty",
    "com.mitchellh.ghostty",
    "cool-retro-term",
};

constexpr std::string_view kTerminalSuffix = "terminal";

}  // namespace

bool isTerminalEmulatorClass(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // Gnome-terminal, Xfce4-terminal, Mate-terminal, Lxterminal, QTerminal, deepin-terminal,
  // io.elementary.terminal, and the plain "Terminal" that some of them set.
  if (lower.ends_with(kTerminalSuffix)) return true;
  return std::find(kTerminalClasses.begin(), kTerminalClasses.end(), lower) !=
         kTerminalClasses.end();
}

}  // namespace kavri::keys
