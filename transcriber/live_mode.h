// Live mode (the default): the speech permission, then the command reader on a background thread,
// each command run on the main queue against the process's one live session.
#pragma once

#include "command_line.h"
#include "main_queue.h"
#include "platform.h"

namespace kavri {

// Starts the permission request and returns; the commands that follow end the process. The
// command line and the main queue must live as long as the process.
void startLiveMode(const CommandLine& commandLine, const Platform& platform, MainQueue& mainQueue);

}  // namespace kavri
