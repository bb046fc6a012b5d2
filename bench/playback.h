// A dictation from both sources as the benchmarks drive it on a private audio server: the two
// recordings played at once while the program's events are read, as a host reads them.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

#include "live_program.h"

namespace kavri::bench {

// How often the players are checked for having played their recordings out.
inline constexpr std::chrono::milliseconds kPlayPoll{500};

// Reads (and drops) the program's events for `duration`: a host that stops reading fills the
// pipe, and then every emit, and with it recognition, waits. `sample`, when given, runs before
// each read, and no read waits longer than `period`.
inline void readFor(testing::ChildProcess& program, std::chrono::milliseconds duration,
                    const std::function<void()>& sample = {},
                    std::chrono::milliseconds period = std::chrono::milliseconds::max()) {
  using Clock = std::chrono::steady_clock;
  auto until = Clock::now() + duration;
  while (Clock::now() < until) {
    if (sample) sample();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    program.readLine(std::clamp(left, std::chrono::milliseconds::zero(), period));
  }
}

// Plays "go forward ten meters" to the microphone and "do something" to the system audio at once,
// and reads the program's events (as readFor does) until both have played or the play timeout
// has passed.
inline void playIntoBothWhileReading(
    const std::string& server, testing::ChildProcess& program,
    const std::function<void()>& sample = {},
    std::chrono::milliseconds period = std::chrono::milliseconds::max()) {
  auto mic = testing::playRecording(server, "kavri_mic_in", "goforward.raw");
  auto system = testing::playRecording(server, "kavri_out", "something.raw");
  auto deadline = std::chrono::steady_clock::now() + testing::kPlayTimeout;
  while (std::chrono::steady_clock::now() < deadline &&
         !(mic->waitForExit(std::chrono::milliseconds::zero()) &&
           system->waitForExit(std::chrono::milliseconds::zero()))) {
    readFor(program, kPlayPoll, sample, period);
  }
}

}  // namespace kavri::bench
