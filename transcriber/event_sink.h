// How live-mode objects report and end the process, as values they are handed, so that tests can
// watch both instead of losing the test process to an exit.
#pragma once

#include <functional>

#include "event_output.h"

namespace kavri {

// Writes one event line; the process-wide `emit` in the program.
using EventSink = std::function<void(const Event& event)>;
// Ends the process with the status; `exitProcess` in the program. A test's replacement returns,
// and the caller then returns at once without doing anything further.
using ExitFunction = std::function<void(int status)>;
// Runs a block asynchronously on a background thread; `launchTask` in the program.
using TaskLauncher = std::function<void(std::function<void()> block)>;

}  // namespace kavri
