#include "terminal_emulators.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavri::keys {
namespace {

TEST(TerminalEmulators, RecognisesTheCommonEmulatorsInAnyCaseAndNothingElse) {
  const std::vector<std::string> terminals = {
      "XTerm",
      "xterm",
      "URxvt",
      "Gnome-terminal",
      "konsole",
      "Xfce4-terminal",
      "Alacritty",
      "kitty",
      "foot",
      "org.wezfurlong.wezterm",
      "Tilix",
      "Terminator",
      "st-256color",
      "St",
      "Terminal",
      "mate-terminal",
      "io.elementary.terminal",
  };
  for (const auto& name : terminals) EXPECT_TRUE(isTerminalEmulatorClass(name)) << name;
  // A name of the list inside another, and editors that merely mention terminals, are not ones.
  const std::vector<std::string> others = {
      "",       "steam", "Firefox",   "KeysendTarget", "terminal-notes",
      "xterm2", "code",  "kittyhawk", "footnote",      "Terminals",
  };
  for (const auto& name : others) EXPECT_FALSE(isTerminalEmulatorClass(name)) << name;
}

}  // namespace
}  // namespace kavri::keys
