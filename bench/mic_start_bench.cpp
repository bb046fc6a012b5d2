// "start ... mic" against an audio server that has hung (its socket accepts and nothing ever
// answers), with "stop" sent right behind it, as a host does on a short press: how long from the
// program's first connection to its error, how many connections it made, and how the process
// ended. Prints its figures; asserts nothing.
#include <chrono>
#include <cstdio>
#include <string>

#include "live_program.h"
#include "testing/pulse_server.h"

using namespace kavri::testing;
using Clock = std::chrono::steady_clock;

int main() {
  FrozenAudioServer server;
  if (!server.ready()) {
    std::fprintf(stderr, "mic_start_bench: could not listen on a socket of its own\n");
    return 1;
  }
  auto transcriber = liveTranscriber(server.address());
  auto sentAt = Clock::now();
  transcriber.send("start en-US mic");
  transcriber.send("stop");
  auto error = transcriber.until("error", kStartTimeout);
  auto failedAt = Clock::now();
  auto status = transcriber.waitForExit();
  auto connectedAt = server.firstConnection();

  auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  std::printf("Microphone start against a hung audio server, \"stop\" sent behind it:\n");
  std::printf("  first connection to error: %.2f s (from \"start\" sent: %.2f s)\n",
              connectedAt ? seconds(failedAt - *connectedAt) : -1.0, seconds(failedAt - sentAt));
  std::printf("  connections: %d; event: %s; exit status: %s\n", server.connections(),
              error ? error->value("message", "?").c_str() : "none",
              status ? std::to_string(*status).c_str() : "none");
  return 0;
}
