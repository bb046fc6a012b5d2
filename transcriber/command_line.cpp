#include "command_line.h"

#include <algorithm>

namespace kavri {

CommandLine::CommandLine(int argc, const char* const* argv) {
  argv_.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) argv_.emplace_back(argv[i] ? argv[i] : "");
}

std::optional<std::string> CommandLine::argValue(const std::string& flag) const {
  auto it = std::find(argv_.begin(), argv_.end(), flag);
  if (it == argv_.end() || std::next(it) == argv_.end()) return std::nullopt;
  return *std::next(it);
}

bool CommandLine::has(const std::string& flag) const {
  return std::find(argv_.begin(), argv_.end(), flag) != argv_.end();
}

Mode CommandLine::mode() const {
  if (has("--probe")) return Mode::probe;
  if (has("--request-speech")) return Mode::requestSpeech;
  if (has("--prime-screen")) return Mode::primeScreen;
  if (has("--file")) return Mode::file;
  return Mode::live;
}

std::string speechStatusString(int status) {
  switch (status) {
    case 0: return "notDetermined";
    case 1: return "denied";
    case 2: return "restricted";
    case 3: return "authorized";
    default: return "unknown";
  }
}

}  // namespace kavri
