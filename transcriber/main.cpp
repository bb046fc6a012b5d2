// Entry point of kavri-transcribe; the modes are filled in as they land.
#include "command_line.h"
#include "event_output.h"

int main(int argc, char** argv) {
  kavri::CommandLine commandLine(argc, argv);
  (void)commandLine;
  return 0;
}
