// What the transcriber costs in memory as a host runs it, on a private PulseAudio server: idle
// once start-up is over, and during a dictation from both sources; and how long "start" takes to
// be answered with "started" in a process that has settled. Prints its figures; asserts nothing.
//   memory_bench [runs, default 5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "live_program.h"
#include "playback.h"
#include "process_usage.h"

using namespace std::chrono_literals;
using namespace kavri::testing;
using kavri::bench::mebibytes;
using kavri::bench::median;
using kavri::bench::ProcessUsage;
using kavri::bench::summarize;
using kavri::bench::usageOf;
using Clock = std::chrono::steady_clock;

namespace {

// Start-up is over when the process has stopped using the CPU: whatever it loads ahead of need is
// loaded by then.
constexpr auto kIdlePoll = 250ms;
constexpr auto kIdleWindow = 1s;
constexpr double kIdleCpuSeconds = 0.01;
constexpr auto kIdleTimeout = 60s;
// How often memory is sampled during the dictation, and how many times the two recordings play.
constexpr auto kSamplePeriod = 100ms;
constexpr int kPlays = 3;
// After the last recording, the recognisers catch up with what they were sent.
constexpr std::chrono::milliseconds kCatchUp = 2s;

struct Run {
  ProcessUsage idle;
  long bothPeakPssKiB = 0;
  long bothPeakRssKiB = 0;
  double startMs = 0;
};

bool waitUntilIdle(pid_t pid) {
  auto deadline = Clock::now() + kIdleTimeout;
  std::vector<double> cpu{usageOf(pid).cpuSeconds};
  const size_t window = kIdleWindow / kIdlePoll;
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(kIdlePoll);
    cpu.push_back(usageOf(pid).cpuSeconds);
    if (cpu.size() > window && cpu.back() - cpu[cpu.size() - 1 - window] < kIdleCpuSeconds) {
      return true;
    }
  }
  return false;
}

std::optional<Run> dictation(PrivatePulseServer& server) {
  Run run;
  JsonLinesChild transcriber = liveTranscriber(server.address());
  if (!waitUntilIdle(transcriber.pid())) return std::nullopt;
  run.idle = usageOf(transcriber.pid());

  auto sent = Clock::now();
  transcriber.send("start en-US both");
  if (!transcriber.until("started", kStartTimeout)) return std::nullopt;
  run.startMs = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
  if (!server.waitForRecordStreams(transcriber.pid(), 2)) return std::nullopt;

  auto sample = [&] {
    ProcessUsage now = usageOf(transcriber.pid());
    run.bothPeakPssKiB = std::max(run.bothPeakPssKiB, now.pssKiB);
    run.bothPeakRssKiB = std::max(run.bothPeakRssKiB, now.rssKiB);
  };
  for (int i = 0; i < kPlays; ++i) {
    kavri::bench::playIntoBothWhileReading(server.address(), transcriber, sample, kSamplePeriod);
  }
  kavri::bench::readFor(transcriber, kCatchUp, sample, kSamplePeriod);
  transcriber.send("stop");
  if (!transcriber.until("final", kFinalTimeout)) return std::nullopt;
  transcriber.waitForExit();
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  PrivatePulseServer server;
  if (!server.ready()) {
    std::printf("no audio server\n");
    return 1;
  }
  server.keepSinksAwake();
  std::vector<long> idlePss, idleRss, bothPss, bothRss;
  std::vector<double> startMs;
  for (int i = 0; i < runs; ++i) {
    auto run = dictation(server);
    if (!run) {
      std::printf("run %d failed\n", i + 1);
      continue;
    }
    std::printf(
        "run %d: idle PSS %.1f MiB, RSS %.1f MiB; \"both\" peak PSS %.1f MiB, RSS %.1f "
        "MiB; start to \"started\" %.1f ms\n",
        i + 1, mebibytes(run->idle.pssKiB), mebibytes(run->idle.rssKiB),
        mebibytes(run->bothPeakPssKiB), mebibytes(run->bothPeakRssKiB), run->startMs);
    idlePss.push_back(run->idle.pssKiB);
    idleRss.push_back(run->idle.rssKiB);
    bothPss.push_back(run->bothPeakPssKiB);
    bothRss.push_back(run->bothPeakRssKiB);
    startMs.push_back(run->startMs);
  }
  if (startMs.empty()) return 1;
  std::printf("Memory of kavri-transcribe (median of %zu runs):\n", startMs.size());
  std::printf("  idle after start-up:       PSS %.1f MiB, RSS %.1f MiB\n",
              mebibytes(median(idlePss)), mebibytes(median(idleRss)));
  std::printf("  dictation from \"both\":     PSS %.1f MiB, RSS %.1f MiB (peak of each run)\n",
              mebibytes(median(bothPss)), mebibytes(median(bothRss)));
  auto start = summarize(startMs);
  std::printf("  start to \"started\":        median %.1f ms (min %.1f, max %.1f)\n", start.median,
              start.min, start.max);
  return 0;
}
