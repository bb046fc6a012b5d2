#include "command_line.h"

#include <algorithm>

namespace kavri {
namespace {

constexpr char kUsage[] = R"(Usage: kavri-transcribe [--events-fifo PATH] [MODE]
On-device speech to text for the KAVRI Connector host. Everything it reports is a
JSON line (an event) on standard output or the events FIFO.

Modes (the first one present wins; without one, live mode):
  --probe               report the speech permission state and exit
  --request-speech      ask for the speech permission, report the answer and exit
  --prime-screen        make one request for the system audio capture, report and exit
  --file PATH           transcribe an audio file, report the final text and exit
  (none)                live dictation, steered by commands, one per line, on standard
                        input: "start [LOCALE [mic|system|both]]", "stop", "cancel", "quit"

Options:
  --events-fifo PATH    write the events to this existing FIFO or file, not standard output
  --locale LOCALE       recognition locale of --file (default en-US)
  --commands-fifo PATH  live mode: read the commands from this FIFO, not standard input
  --help                show this text and exit
  --version             show the version and exit
Unknown arguments are ignored.

Exit status:
  0  a permission mode reported; --file wrote its final text or a recognition failure;
     live mode after "stop" or "quit"
  2  an error event ended the run: no path after --file, speech not authorized,
     unsupported locale or source, file not found, recognition timeout, audio capture
     that failed to start; also when the host closed the event output or went away
  3  live mode after "cancel"
)";

}  // namespace

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

std::optional<std::string> CommandLine::helpOrVersionText() const {
  if (has("--help")) return kUsage;
  if (has("--version")) return std::string("kavri-transcribe ") + KAVRI_VERSION + "\n";
  return std::nullopt;
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
