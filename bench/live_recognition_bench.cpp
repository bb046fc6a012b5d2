// Figures of live recognition through the real speech engine, in process, with recorded speech
// played into fake devices at real-time pace:
//   - audio-to-partial latency: from the moment the audio of a word has been fed to the partial
//     result that first shows it (median, p95);
//   - stop-to-final latency beyond the fixed 0.6 s grace, with one and with two sources;
//   - "start" to "started", and "start" to the first partial, cold and warm (each run in a fresh
//     process of its own);
//   - resident memory of a process running "both".
// Usage: live_recognition_bench [--stop ROUNDS]   (--stop: only the stop-to-final figures, each
// recording played ROUNDS times for one source and for two)
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_audio.h"
#include "live_session.h"
#include "process_usage.h"
#include "testing/recordings.h"

using namespace kavri;
using namespace std::chrono_literals;
using kavri::bench::mebibytes;
using kavri::bench::percentile;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kRate = 16000.0;

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::vector<int16_t> silence(double seconds) {
  return std::vector<int16_t>(static_cast<size_t>(seconds * kRate), 0);
}

// A system-audio capture whose stream delivers whatever the benchmark plays into it.
class PlaybackCapture : public audio::SystemAudioCapture {
 public:
  class Stream : public audio::CaptureStream {
   public:
    explicit Stream(PlaybackCapture& owner) : owner_(owner) {}
    std::optional<audio::AudioError> stopCapture() override {
      std::lock_guard<std::mutex> hold(owner_.lock_);
      owner_.callbacks_ = {};
      return std::nullopt;
    }

   private:
    PlaybackCapture& owner_;
  };

  std::optional<audio::AudioError> shareableContent(audio::ShareableContent& content) override {
    content.targets = {{"monitor"}};
    return std::nullopt;
  }
  audio::StartedStream startCapture(const audio::CaptureTarget&, const audio::StreamConfiguration&,
                                    audio::StreamCallbacks callbacks) override {
    std::lock_guard<std::mutex> hold(lock_);
    callbacks_ = std::move(callbacks);
    return {std::make_unique<Stream>(*this), std::nullopt};
  }
  bool capturing() {
    std::lock_guard<std::mutex> hold(lock_);
    return callbacks_.onSampleBuffer != nullptr;
  }
  void play(const int16_t* samples, size_t count) {
    std::function<void(const audio::SampleBuffer&)> deliver;
    {
      std::lock_guard<std::mutex> hold(lock_);
      deliver = callbacks_.onSampleBuffer;
    }
    if (!deliver) return;
    audio::SampleBuffer buffer;
    buffer.format = audio::AudioFormat{audio::SampleFormat::s16, kRate, 1};
    buffer.numSamples = static_cast<int64_t>(count);
    buffer.data = std::span<const std::byte>(reinterpret_cast<const std::byte*>(samples),
                                             count * sizeof(int16_t));
    deliver(buffer);
  }

 private:
  std::mutex lock_;
  audio::StreamCallbacks callbacks_;
};

// Plays samples into the microphone and, when given, the system capture at real-time pace.
void playRealTime(const std::vector<int16_t>& samples, testing::FakeAudioEngine& mic,
                  PlaybackCapture* system,
                  const std::function<void(size_t fed)>& afterBuffer = {}) {
  auto begin = Clock::now();
  size_t fed = 0;
  for (const auto& buffer : testing::speechBuffers(samples)) {
    mic.play(buffer);
    if (system) {
      system->play(reinterpret_cast<const int16_t*>(buffer->data()), buffer->frameLength());
    }
    fed += buffer->frameLength();
    if (afterBuffer) afterBuffer(fed);
    std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(fed / kRate)));
  }
}

// Events with the time they were written.
class TimedEvents {
 public:
  EventSink sink() {
    return [this](const Event& event) {
      std::lock_guard<std::mutex> hold(lock_);
      events_.push_back({Clock::now(), event});
    };
  }
  std::optional<Clock::time_point> first(const std::string& name) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& [at, event] : events_) {
      if (event.value("event", "") == name) return at;
    }
    return std::nullopt;
  }
  std::optional<Event> last(const std::string& name) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
      if (it->second.value("event", "") == name) return it->second;
    }
    return std::nullopt;
  }

 private:
  std::mutex lock_;
  std::vector<std::pair<Clock::time_point, Event>> events_;
};

LiveSessionOptions optionsWith(TimedEvents& events) {
  LiveSessionOptions options;
  options.emit = events.sink();
  options.emitLast = events.sink();
  options.exit = [](int status) { std::fprintf(stderr, "session wanted exit %d\n", status); };
  return options;
}

// Audio-to-partial latency, through the speech seam so that each partial's word times are known.
void partialLatency(speech::SpeechService& service, const std::vector<testing::SpeechClip>& clips) {
  auto recognizer = service.makeRecognizer("en-US");
  std::vector<double> latencies;
  for (const auto& clip : clips) {
    std::mutex lock;
    std::vector<std::pair<double, Clock::time_point>> feedLog;  // seconds fed, when
    std::promise<void> finished;
    bool done = false;
    double lastEnd = 0.0;
    auto request = SourceRecognizer::makeRequest(*recognizer);
    auto task = recognizer->recognitionTask(
        request,
        [&](const std::optional<speech::Result>& result, const std::optional<speech::Error>&) {
          auto now = Clock::now();
          std::lock_guard<std::mutex> hold(lock);
          if (done) return;
          if (result && !result->bestTranscription.segments.empty()) {
            const auto& word = result->bestTranscription.segments.back();
            double end = word.timestamp + word.duration;
            if (!result->isFinal && end > lastEnd) {
              lastEnd = end;
              auto fed = std::find_if(feedLog.begin(), feedLog.end(),
                                      [&](const auto& entry) { return entry.first >= end; });
              if (fed != feedLog.end()) latencies.push_back(ms(now - fed->second));
            }
          }
          if (!result || result->isFinal) {
            done = true;
            finished.set_value();
          }
        });
    std::vector<int16_t> audio = silence(0.3);
    audio.insert(audio.end(), clip.samples.begin(), clip.samples.end());
    auto tail = silence(1.5);
    audio.insert(audio.end(), tail.begin(), tail.end());
    auto begin = Clock::now();
    size_t fed = 0;
    for (const auto& buffer : testing::speechBuffers(audio)) {
      {
        std::lock_guard<std::mutex> hold(lock);
        fed += buffer->frameLength();
        feedLog.push_back({fed / kRate, Clock::now()});
      }
      request->append(buffer);
      std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(fed / kRate)));
    }
    request->endAudio();
    finished.get_future().wait_for(10s);
    task->cancel();
  }
  std::printf(
      "audio-to-partial latency, real-time feed (%zu partials): median %.0f ms, p95 %.0f ms\n",
      latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.95));
}

// stop() duration minus the fixed grace, right after the last word of a recording was played.
void stopToFinal(const std::shared_ptr<speech::SpeechService>& service,
                 const std::vector<testing::SpeechClip>& clips, bool both, size_t rounds) {
  std::vector<double> beyondGrace;
  size_t withText = 0;
  for (size_t run = 0; run < clips.size() * rounds; ++run) {
    const auto& clip = clips[run % clips.size()];
    auto mic = testing::speechMicrophone();
    auto system = std::make_shared<PlaybackCapture>();
    TimedEvents events;
    LiveSession session(Platform{service, [mic] { return mic; }, system}, optionsWith(events));
    session.start("en-US", both ? "both" : "mic");
    for (auto deadline = Clock::now() + 5s;
         both && !system->capturing() && Clock::now() < deadline;) {
      std::this_thread::sleep_for(1ms);
    }
    std::vector<int16_t> audio = silence(0.3);
    audio.insert(audio.end(), clip.samples.begin(), clip.samples.end());
    playRealTime(audio, *mic, both ? system.get() : nullptr);
    // The microphone goes on delivering (silence) while stop() waits out its grace.
    std::atomic<bool> stopped{false};
    std::thread keepPlaying([&] {
      auto quiet = silence(0.064);
      while (!stopped) playRealTime(quiet, *mic, both ? system.get() : nullptr);
    });
    auto begin = Clock::now();
    session.stop();
    auto took = Clock::now() - begin;
    stopped = true;
    keepPlaying.join();
    beyondGrace.push_back(ms(took - kStopGrace));
    auto final = events.last("final");
    if (final && !(*final)["text"].get<std::string>().empty()) ++withText;
  }
  std::printf(
      "stop-to-final beyond the %lld ms grace, %s (%zu runs, %zu with text): median %.0f ms, max "
      "%.0f ms\n",
      static_cast<long long>(kStopGrace.count()), both ? "two sources" : "one source",
      beyondGrace.size(), withText, percentile(beyondGrace, 0.5), percentile(beyondGrace, 1.0));
}

// One measurement in a fresh process: start "both", play the first recording, report
// start->started and start->first partial in ms.
int startOnce(bool warm) {
  auto service = speech::makePlatformSpeechService();
  auto clips = testing::librivoxClips();
  if (!service || clips.empty()) return 1;
  if (warm) {
    service->prepareRecognizers("en-US", 2);
    std::this_thread::sleep_for(3s);
  }
  auto mic = testing::speechMicrophone();
  auto system = std::make_shared<PlaybackCapture>();
  TimedEvents events;
  LiveSession session(Platform{service, [mic] { return mic; }, system}, optionsWith(events));
  auto begin = Clock::now();
  session.start("en-US", "both");
  auto started = events.first("started");
  playRealTime(clips.front().samples, *mic, system.get());
  auto partial = events.first("partial");
  std::printf("%.1f %.1f\n", started ? ms(*started - begin) : -1.0,
              partial ? ms(*partial - begin) : -1.0);
  std::fflush(stdout);
  session.cancel();
  return 0;
}

// Resident memory of a fresh process running "both" on speech, in MiB: now and peak.
int rssOnce() {
  auto service = speech::makePlatformSpeechService();
  auto clips = testing::librivoxClips();
  if (!service || clips.empty()) return 1;
  auto mic = testing::speechMicrophone();
  auto system = std::make_shared<PlaybackCapture>();
  TimedEvents events;
  LiveSession session(Platform{service, [mic] { return mic; }, system}, optionsWith(events));
  session.start("en-US", "both");
  for (auto deadline = Clock::now() + 5s; !system->capturing() && Clock::now() < deadline;) {
    std::this_thread::sleep_for(1ms);
  }
  playRealTime(clips.front().samples, *mic, system.get());
  auto usage = kavri::bench::usageOf(getpid());
  std::printf("%.1f %.1f\n", mebibytes(usage.rssKiB), mebibytes(usage.peakRssKiB));
  std::fflush(stdout);
  session.cancel();
  return 0;
}

std::string runSelf(const char* self, std::vector<std::string> args) {
  int out[2];
  if (::pipe(out) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  args.insert(args.begin(), self);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, self, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string text;
  char chunk[256];
  ssize_t n;
  while (spawned == 0 && (n = ::read(out[0], chunk, sizeof chunk)) > 0)
    text.append(chunk, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  if (spawned == 0) ::waitpid(pid, &status, 0);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--start-once") return startOnce(argc > 2 && std::string(argv[2]) == "warm");
  if (mode == "--rss-once") return rssOnce();

  auto service = speech::makePlatformSpeechService();
  auto clips = testing::librivoxClips();
  if (!service || service->authorizationStatus() != speech::kAuthorized || clips.empty()) {
    std::printf("no speech engine with a model, or no recordings: nothing to measure\n");
    return 0;
  }
  const bool stopOnly = mode == "--stop";
  const size_t rounds =
      stopOnly && argc > 2 ? static_cast<size_t>(std::max(1, std::atoi(argv[2]))) : 1;
  if (!stopOnly) partialLatency(*service, clips);
  stopToFinal(service, clips, false, rounds);
  stopToFinal(service, clips, true, rounds);
  if (stopOnly) return 0;
  for (const char* kind : {"cold", "warm"}) {
    std::vector<double> toStarted, toPartial;
    for (int run = 0; run < 3; ++run) {
      double started = -1, partial = -1;
      std::sscanf(runSelf(argv[0], {"--start-once", kind}).c_str(), "%lf %lf", &started, &partial);
      toStarted.push_back(started);
      toPartial.push_back(partial);
    }
    std::printf(
        "start to started, %s (3 runs): median %.1f ms; start to first partial: median %.0f ms\n",
        kind, percentile(toStarted, 0.5), percentile(toPartial, 0.5));
  }
  double rss = 0, peak = 0;
  std::sscanf(runSelf(argv[0], {"--rss-once"}).c_str(), "%lf %lf", &rss, &peak);
  std::printf("resident memory running \"both\": %.0f MiB (peak %.0f MiB)\n", rss, peak);
  return 0;
}
