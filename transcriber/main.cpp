// Entry point of kavri-transcribe: captures the command line, opens the event output, chooses
// the mode and parks the main thread on the main queue.
#include <fcntl.h>

#include <csignal>

#include "command_line.h"
#include "dispatch.h"
#include "event_output.h"
#include "modes.h"

using namespace kavri;

int main(int argc, char** argv) {
  // A host that closes its end of the output must not kill us in the middle of a line: a failed
  // write ends the process cleanly instead (see EventOutput).
  std::signal(SIGPIPE, SIG_IGN);

  static const CommandLine commandLine(argc, argv);
  static MainQueue mainQueue;

  // An existing FIFO or file, opened write-only without creating or truncating it; on a FIFO
  // this waits for the host to open the reading end.
  int outputFd = 1;
  if (auto path = commandLine.argValue("--events-fifo")) {
    int fd = ::open(path->c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) outputFd = fd;
  }
  static EventOutput output(outputFd);
  setEventOutput(&output);

  static const Platform platform = makePlatform();
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
