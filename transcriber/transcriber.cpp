#include "transcriber.h"

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "command_line.h"
#include "event_output.h"
#include "file_mode.h"
#include "live_mode.h"
#include "main_queue.h"
#include "permission_modes.h"

namespace kavri {

void runTranscriber(int argc, char** argv, Platform platform) {
  // A host that closes its end of the output must not kill us in the middle of a line: a failed
  // write ends the process cleanly instead (see EventOutput).
  std::signal(SIGPIPE, SIG_IGN);

  // Threads started by the modes hold on to these until the process ends.
  static const CommandLine commandLine(argc, argv);
  static MainQueue mainQueue;

  // Usage and version are for a person at a terminal: they go to standard output before anything
  // else is opened, an events FIFO included.
  if (const std::optional<std::string> text = commandLine.helpOrVersionText()) {
    std::fputs(text->c_str(), stdout);
    std::fflush(stdout);
    exitProcess(0);
  }

  static EventOutput output(openEventOutput(commandLine.argValue("--events-fifo")));
  setEventOutput(&output);

  switch (commandLine.mode()) {
    case Mode::probe:
      runProbe(platform);
    case Mode::requestSpeech:
      startRequestSpeech(platform);
      break;
    case Mode::primeScreen:
      startPrimeScreen(platform);
      break;
    case Mode::file:
      startFileMode(commandLine, platform);
      break;
    case Mode::live:
      startLiveMode(commandLine, platform, mainQueue);
      break;
  }
  mainQueue.runForever();
}

}  // namespace kavri
