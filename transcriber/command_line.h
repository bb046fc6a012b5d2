// The transcriber's command line: flag values, the mode choice and the status words.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kavri {

enum class Mode { probe, requestSpeech, primeScreen, file, live };

class CommandLine {
 public:
  explicit CommandLine(std::vector<std::string> argv) : argv_(std::move(argv)) {}
  CommandLine(int argc, const char* const* argv);

  // The argument right after the first one equal to flag, whatever it looks like; none when the
  // flag is absent or last.
  std::optional<std::string> argValue(const std::string& flag) const;
  // Whether flag occurs anywhere, as a flag or as another flag's value.
  bool has(const std::string& flag) const;
  Mode mode() const;
  // What "--help" (usage) or "--version" asks for, wherever either occurs, "--help" first: the
  // text for standard output instead of any mode. None when neither is there.
  std::optional<std::string> helpOrVersionText() const;

  const std::vector<std::string>& argv() const { return argv_; }

 private:
  std::vector<std::string> argv_;
};

inline constexpr char kDefaultLocale[] = "en-US";

// The word for a speech authorization status: 0..3, anything else "unknown".
std::string speechStatusString(int status);

}  // namespace kavri
