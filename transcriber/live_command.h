// The grammar of live command lines: "start [locale [source]]", "stop", "cancel", "quit".
#pragma once

#include <string>
#include <string_view>

namespace kavri {

struct LiveCommand {
  enum class Kind { none, start, stop, cancel, quit };
  Kind kind = Kind::none;
  // Only for start: the second and third words, or their defaults ("en-US", "both").
  std::string localeId;
  std::string source;

  bool operator==(const LiveCommand&) const = default;
};

inline constexpr char kDefaultSource[] = "both";

// One line's bytes without the line feed. Invalid UTF-8 counts as an empty line; horizontal white
// space (Unicode space separators and tab) is trimmed from both ends, carriage returns are kept.
// A line that begins with "start" starts; "stop", "cancel" and "quit" must be the whole line;
// anything else is Kind::none. Words of a start line are separated by U+0020 only.
LiveCommand parseLiveCommand(std::string_view line);

}  // namespace kavri
