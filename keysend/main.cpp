// Entry point of kavri-keysend: runs one command and ends with its exit status.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>

#include "clock.h"
#include "keysend.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

using namespace kavri;
using namespace kavri::keysend;

namespace {

std::string readStandardInput() {
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got > 0) {
      bytes.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      return bytes;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A host that stops reading our standard error must not kill us in the middle of a command.
  std::signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string> args(argv, argv + argc);
  // Usage and version need no display: answer before the keyboard services look for one.
  if (const std::optional<std::string> text = helpOrVersionText(args)) {
    std::fputs(text->c_str(), stdout);
    return kExitSuccess;
  }
  std::unique_ptr<keys::KeyboardEvents> keyboard = keys::makePlatformKeyboardEvents();
  std::unique_ptr<Pasteboard> pasteboard;
  std::unique_ptr<Workspace> workspace;
  KeySendServices services{
      .readInput = readStandardInput,
      .writeLine = writeStderrLine,
      .pasteboard = [&]() -> Pasteboard& {
        if (!pasteboard) pasteboard = makeGeneralPasteboard();
        return *pasteboard;
      },
      .workspace = [&]() -> Workspace& {
        if (!workspace) workspace = makeSharedWorkspace();
        return *workspace;
      },
      .keyboard = *keyboard,
      .clock = systemClock(),
      .timings = {},
  };
  const int status = runKeySend(args, services);
  // The keyboard services go first: a backend may wait for readers to take its last key.
  keyboard.reset();
  // A late launch thread may still be inside the desktop libraries; nothing is buffered (every
  // line went out with its own write), so leave without running destructors under it.
#if defined(__SANITIZE_ADDRESS__)
  // _exit skips the leak check that sanitizer builds make at exit, so the tests would never see
  // a leak of this program.
  __lsan_do_leak_check();
#endif
  _exit(status);
}
