// Drives the key sender's command line with any arguments and any standard input, against fakes
// of the clipboard, desktop, keyboard and clock. Input: NUL-separated arguments, then after a
// double NUL the bytes of standard input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fakes.h"
#include "keysend.h"

using namespace kavri::keysend;
using namespace kavri::testing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const size_t split = raw.find(std::string("\0\0", 2));
  const std::string argBytes = raw.substr(0, split);
  const std::string input = split == std::string::npos ? "" : raw.substr(split + 2);
  std::vector<std::string> args = {"kavri-keysend"};
  size_t start = 0;
  while (start <= argBytes.size() && args.size() < 8) {
    size_t end = argBytes.find('\0', start);
    if (end == std::string::npos) end = argBytes.size();
    args.push_back(argBytes.substr(start, end - start));
    start = end + 1;
  }
  // The program answers these before any command, so no command may run for them.
  if (auto text = helpOrVersionText(args)) {
    if (text->empty() || text->back() != '\n') __builtin_trap();
    return 0;
  }
  CallLog log;
  FakeClock clock(log);
  FakeKeyboardEvents keyboard(log);
  FakePasteboard pasteboard(log);
  FakeWorkspace workspace(log);
  workspace.known["Chat"] = "/apps/chat.desktop";
  workspace.existing = {"/apps/Other.desktop"};
  int reads = 0;
  KeySendServices services{
      .readInput =
          [&] {
            ++reads;
            return input;
          },
      .writeLine = [](const std::string&) {},
      .pasteboard = [&]() -> Pasteboard& { return pasteboard; },
      .workspace = [&]() -> Workspace& { return workspace; },
      .keyboard = keyboard,
      .clock = clock,
      .timings = {},
  };
  const int status = runKeySend(args, services);
  if (status != 0 && status != 2 && status != 3 && status != 4 && status != 5) __builtin_trap();
  // Standard input is read once by a command and never by a usage error.
  if (reads > 1 || (status == 2 && reads != 0)) __builtin_trap();
  return 0;
}
