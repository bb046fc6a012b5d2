// The transcriber's start-up, shared by the program and by the test driver that runs it on fake
// devices: the command line, the event output, the mode, then the main queue.
#pragma once

#include "platform.h"

namespace kavri {

// Starts the mode the command line chooses on these services and parks the calling thread (the
// main thread) on the main queue. Never returns: the mode ends the process.
[[noreturn]] void runTranscriber(int argc, char** argv, Platform platform);

}  // namespace kavri
