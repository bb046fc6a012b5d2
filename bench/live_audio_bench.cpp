// Live dictation through a real PulseAudio server: how long after the audio the host hears of it,
// and what a long session costs. Prints its figures; asserts nothing.
//   live_audio_bench [session seconds, default 60]
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "event_output.h"
#include "live_program.h"
#include "playback.h"
#include "process_usage.h"

using namespace std::chrono_literals;
using namespace kavri::testing;
using kavri::Event;
using kavri::bench::mebibytes;
using kavri::bench::usageOf;
using Clock = std::chrono::steady_clock;

namespace {

// Where speech begins in goforward.raw, so that latency can be told from speech onset too.
constexpr double kGoforwardOnsetSeconds = 0.46;
constexpr int kRepetitions = 3;
// A null sink's monitor starts delivering to a newly connected record stream only after up to two
// seconds (a real capture device does not); latency is measured once that has passed.
constexpr auto kSettleTime = 3s;
constexpr auto kTimeout = 60s;

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// The program's events with the time each was read.
class TimedTranscriber {
 public:
  explicit TimedTranscriber(const std::string& server) : run_(liveTranscriber(server)) {}
  pid_t pid() const { return run_.pid(); }
  void send(const std::string& line) { run_.send(line); }
  // The next event named `name`, and when it arrived; none on timeout or end of output.
  std::optional<std::pair<Event, Clock::time_point>> until(const std::string& name) {
    auto event = run_.until(name, kTimeout);
    if (!event) return std::nullopt;
    return std::pair{*event, Clock::now()};
  }
  JsonLinesChild& program() { return run_; }
  void wait() { run_.waitForExit(15s); }

 private:
  JsonLinesChild run_;
};

struct Sinks {
  bool mic = false;
  bool system = false;
};

Sinks sinksFor(const std::string& source) {
  return Sinks{source != "system", source != "mic"};
}

// One dictation of goforward (and, for "both", another recording on the system side).
void latencyRun(const std::string& source, std::vector<double>& toPartial,
                std::vector<double>& toFinal) {
  PrivatePulseServer server;
  if (!server.ready()) return;
  server.keepSinksAwake();
  TimedTranscriber transcriber(server.address());
  transcriber.send("start en-US " + source);
  if (!transcriber.until("started")) return;
  Sinks sinks = sinksFor(source);
  if (!server.waitForRecordStreams(transcriber.pid(), (sinks.mic ? 1 : 0) + (sinks.system ? 1 : 0)))
    return;
  std::this_thread::sleep_for(kSettleTime);

  auto playedAt = Clock::now();
  std::unique_ptr<ChildProcess> mic;
  std::unique_ptr<ChildProcess> system;
  if (sinks.mic) mic = playRecording(server.address(), "kavri_mic_in", "goforward.raw");
  if (sinks.system) {
    system =
        playRecording(server.address(), "kavri_out", sinks.mic ? "something.raw" : "goforward.raw");
  }
  auto partial = transcriber.until("partial");
  if (partial) toPartial.push_back(seconds(partial->second - playedAt));
  if (mic) mic->waitForExit(kTimeout);
  if (system) system->waitForExit(kTimeout);
  auto audioEnded = Clock::now();
  transcriber.send("stop");
  auto final = transcriber.until("final");
  if (final) toFinal.push_back(seconds(final->second - audioEnded));
  transcriber.wait();
}

std::string summary(const std::vector<double>& values) {
  if (values.empty()) return "no result";
  auto figures = kavri::bench::summarize(values);
  char text[128];
  std::snprintf(text, sizeof text, "median %.2f s (min %.2f, max %.2f, n=%zu)", figures.median,
                figures.min, figures.max, figures.count);
  return text;
}

void longSession(int sessionSeconds) {
  PrivatePulseServer server;
  if (!server.ready()) return;
  server.keepSinksAwake();
  TimedTranscriber transcriber(server.address());
  transcriber.send("start en-US both");
  if (!transcriber.until("started")) return;
  server.waitForRecordStreams(transcriber.pid(), 2);
  std::this_thread::sleep_for(kSettleTime);

  auto before = usageOf(transcriber.pid());
  auto began = Clock::now();
  while (Clock::now() - began < std::chrono::seconds(sessionSeconds)) {
    kavri::bench::playIntoBothWhileReading(server.address(), transcriber.program());
  }
  auto after = usageOf(transcriber.pid());
  double wall = seconds(Clock::now() - began);
  auto audioEnded = Clock::now();
  transcriber.send("stop");
  auto final = transcriber.until("final");
  transcriber.wait();

  std::printf("%d-second \"both\" session (speech on both sides throughout):\n", sessionSeconds);
  std::printf("  resident memory: %.1f MiB at start, %.1f MiB at end, %.1f MiB peak\n",
              mebibytes(before.rssKiB), mebibytes(after.rssKiB), mebibytes(after.peakRssKiB));
  std::printf("  CPU: %.1f s over %.1f s = %.0f%% of one core\n",
              after.cpuSeconds - before.cpuSeconds, wall,
              100.0 * (after.cpuSeconds - before.cpuSeconds) / wall);
  if (final) {
    std::printf("  end of audio to \"final\": %.2f s; final text %zu bytes\n",
                seconds(final->second - audioEnded),
                final->first["text"].get<std::string>().size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  int sessionSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
  std::printf("Live dictation through PulseAudio (private server, null sinks), %d runs each\n",
              kRepetitions);
  for (const char* source : {"mic", "system", "both"}) {
    std::vector<double> toPartial;
    std::vector<double> toFinal;
    for (int i = 0; i < kRepetitions; ++i) latencyRun(source, toPartial, toFinal);
    std::vector<double> fromOnset;
    for (double value : toPartial) fromOnset.push_back(value - kGoforwardOnsetSeconds);
    std::printf("%s:\n", source);
    std::printf("  playback start to first \"partial\": %s\n", summary(toPartial).c_str());
    std::printf("  speech onset to first \"partial\":   %s\n", summary(fromOnset).c_str());
    std::printf("  end of played audio to \"final\" after \"stop\": %s\n",
                summary(toFinal).c_str());
  }
  if (sessionSeconds > 0) longSession(sessionSeconds);
  return 0;
}
