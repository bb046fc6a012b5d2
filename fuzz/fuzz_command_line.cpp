// The transcriber's command line from arbitrary arguments: NUL bytes separate them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> argv{"kavri-transcribe"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      argv.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  argv.push_back(current);

  kavri::CommandLine commandLine(argv);
  kavri::Mode mode = commandLine.mode();
  for (const char* flag : {"--events-fifo", "--file", "--locale", "--commands-fifo", "--probe"}) {
    auto value = commandLine.argValue(flag);
    // A value is always the argument right after the first occurrence of its flag.
    if (value) {
      bool found = false;
      for (size_t i = 0; i + 1 < argv.size() && !found; ++i) {
        if (argv[i] == flag) {
          if (argv[i + 1] != *value) std::abort();
          found = true;
        }
      }
      if (!found) std::abort();
    }
  }
  if (mode == kavri::Mode::file && !commandLine.has("--file")) std::abort();
  if (commandLine.has("--probe") && mode != kavri::Mode::probe) std::abort();
  // "--help" wins over "--version"; neither is answered unless present as a whole argument.
  auto text = commandLine.helpOrVersionText();
  if (text.has_value() != (commandLine.has("--help") || commandLine.has("--version"))) std::abort();
  if (commandLine.has("--help") && !text->starts_with("Usage: ")) std::abort();
  return 0;
}
