// The PulseAudio backends against real servers: the one scripts/test starts, and private ones for
// the tests that kill or change their server.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <thread>

#include "audio/pulse_client_pulse.h"
#include "captured_audio.h"
#include "testing/pulse_server.h"

namespace kavri::audio {
namespace {

using namespace std::chrono_literals;
using testing::AudioCollector;
using testing::PrivatePulseServer;
using testing::ToneFile;

// How long a null sink's monitor may take to deliver its first data when nothing plays (about
// two seconds), with room for a loaded machine.
constexpr auto kFirstBufferTimeout = 15s;
constexpr auto kToneTimeout = 20s;
constexpr auto kStopNoticeTimeout = 15s;
// A stopped stream that still delivered would do so within a few of its 64 ms chunks.
constexpr auto kQuietPeriod = 400ms;
constexpr char kNoServer[] = "unix:/nonexistent/kavri/native";

pulse::Options sharedServer() {
  return pulse::Options{*testing::sharedPulseServer()};
}

// The default source's format as pactl reports it: the oracle the backend must agree with.
std::optional<AudioFormat> defaultSourceFormatFromPactl(const std::string& server) {
  auto name = testing::pactl(server, {"get-default-source"});
  auto list = testing::pactl(server, {"list", "short", "sources"});
  if (!name || !list) return std::nullopt;
  std::string wanted = name->substr(0, name->find('\n'));
  std::istringstream lines(*list);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> columns;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, '\t')) columns.push_back(field);
    if (columns.size() < 4 || columns[1] != wanted) continue;
    std::istringstream spec(columns[3]);
    std::string format, channels, rate;
    spec >> format >> channels >> rate;
    AudioFormat result;
    result.sampleFormat = pulse::sampleFormatFor(pa_parse_sample_format(format.c_str()));
    result.channels = static_cast<uint32_t>(std::stoul(channels));
    result.sampleRate = std::stod(rate);
    return result;
  }
  return std::nullopt;
}

// --- formats -----------------------------------------------------------------------------------

TEST(PulseFormats, OurFormatsTravelUnchangedAndWithTheSameSampleSize) {
  for (auto format : {SampleFormat::u8, SampleFormat::s16, SampleFormat::s24, SampleFormat::s32,
                      SampleFormat::float32}) {
    pa_sample_format_t pulseFormat = pulse::paFormatFor(format);
    EXPECT_EQ(pulse::sampleFormatFor(pulseFormat), format);
    EXPECT_EQ(pa_sample_size_of_format(pulseFormat), bytesPerSample(format));
  }
}

TEST(PulseFormats, ExoticDeviceFormatsBecomeTheNearestOfOurs) {
  EXPECT_EQ(pulse::sampleFormatFor(PA_SAMPLE_ALAW), SampleFormat::s16);
  EXPECT_EQ(pulse::sampleFormatFor(PA_SAMPLE_ULAW), SampleFormat::s16);
  EXPECT_EQ(pulse::sampleFormatFor(PA_SAMPLE_S16BE), SampleFormat::s16);
  EXPECT_EQ(pulse::sampleFormatFor(PA_SAMPLE_S24_32LE), SampleFormat::s32);
  EXPECT_EQ(pulse::sampleFormatFor(PA_SAMPLE_S24BE), SampleFormat::s24);
  EXPECT_EQ(pulse::sampleFormatFor(PA_SAMPLE_FLOAT32BE), SampleFormat::float32);
}

// --- microphone --------------------------------------------------------------------------------

class PulseMicrophone : public ::testing::Test {
 protected:
  void SetUp() override {
    KAVRI_REQUIRE_PULSE_SERVER();
    server_ = *testing::sharedPulseServer();
    auto source = testing::pactl(server_, {"get-default-source"});
    if (!source || source->rfind("kavri_mic\n", 0) != 0) {
      GTEST_SKIP() << "the default source is not the virtual microphone of scripts/pulse-server";
    }
    engine = pulse::makePulseAudioEngine(sharedServer());
  }

  // Installs a tap, in the source's format, that records what it receives; its collector lives
  // on the heap so that a call after the tap is removed would be a use after free that the
  // sanitizers catch.
  void tapInto(std::shared_ptr<AudioCollector> collector,
               std::vector<PcmBufferPtr>* kept = nullptr) {
    engine->installTap(1024, engine->inputFormat(), [collector, kept](PcmBufferPtr buffer) {
      if (kept != nullptr) {
        std::lock_guard<std::mutex> hold(keptLock_);
        kept->push_back(buffer);
      }
      collector->add(buffer->format(), buffer->data(), buffer->frameLength());
    });
  }

  std::string server_;
  std::shared_ptr<AudioEngine> engine;
  static inline std::mutex keptLock_;
};

TEST_F(PulseMicrophone, ReportsTheDefaultSourcesOwnFormat) {
  auto expected = defaultSourceFormatFromPactl(server_);
  ASSERT_TRUE(expected);
  EXPECT_EQ(engine->inputFormat(), *expected);
}

TEST_F(PulseMicrophone, CapturesPlayedAudioIn1024FrameBuffersOfTheSourceFormat) {
  AudioFormat format = engine->inputFormat();
  auto collector = std::make_shared<AudioCollector>();
  std::vector<PcmBufferPtr> buffers;
  tapInto(collector, &buffers);
  engine->prepare();
  ASSERT_EQ(engine->start(), std::nullopt);
  EXPECT_TRUE(engine->isRunning());
  ASSERT_TRUE(collector->waitForDeliveries(1, kFirstBufferTimeout));

  ToneFile tone(440.0, 1000ms);
  auto player = testing::playRaw(server_, "kavri_mic_in", tone.path());
  EXPECT_TRUE(collector->waitForLoudSeconds(0.6, kToneTimeout));
  engine->removeTap();
  engine->stop();

  EXPECT_NEAR(collector->loudFrequency(), 440.0, 440.0 * 0.05);
  std::lock_guard<std::mutex> hold(keptLock_);
  ASSERT_FALSE(buffers.empty());
  for (const auto& buffer : buffers) {
    EXPECT_EQ(buffer->format(), format);
    EXPECT_EQ(buffer->frameLength(), 1024u);
    EXPECT_EQ(buffer->byteLength(), 1024u * format.bytesPerFrame());
  }
}

TEST_F(PulseMicrophone, NoCallOnceTheTapIsRemovedOrReplaced) {
  auto first = std::make_shared<AudioCollector>();
  tapInto(first);
  ASSERT_EQ(engine->start(), std::nullopt);
  ASSERT_TRUE(first->waitForDeliveries(2, kFirstBufferTimeout));

  // A second tap takes the first one's place.
  auto second = std::make_shared<AudioCollector>();
  tapInto(second);
  size_t firstCount = first->deliveries();
  ASSERT_TRUE(second->waitForDeliveries(3, kFirstBufferTimeout));
  EXPECT_EQ(first->deliveries(), firstCount);

  engine->removeTap();
  size_t secondCount = second->deliveries();
  std::this_thread::sleep_for(kQuietPeriod);
  EXPECT_EQ(second->deliveries(), secondCount);
  EXPECT_TRUE(engine->isRunning());

  engine->stop();
  EXPECT_FALSE(engine->isRunning());
  engine->stop();
}

TEST_F(PulseMicrophone, StopEndsTheCallsAndALaterStartCapturesAgain) {
  auto collector = std::make_shared<AudioCollector>();
  tapInto(collector);
  ASSERT_EQ(engine->start(), std::nullopt);
  ASSERT_EQ(engine->start(), std::nullopt);  // already running: nothing doubles
  ASSERT_TRUE(collector->waitForDeliveries(1, kFirstBufferTimeout));
  engine->stop();
  size_t count = collector->deliveries();
  std::this_thread::sleep_for(kQuietPeriod);
  EXPECT_EQ(collector->deliveries(), count);

  ASSERT_EQ(engine->start(), std::nullopt);
  EXPECT_TRUE(collector->waitForDeliveries(count + 1, kFirstBufferTimeout));
  engine->stop();
}

TEST_F(PulseMicrophone, StopFromInsideTheTapEndsTheCallsAtOnce) {
  std::atomic<int> calls{0};
  AudioEngine* raw = engine.get();
  engine->installTap(1024, engine->inputFormat(), [&calls, raw](PcmBufferPtr) {
    if (++calls == 2) raw->stop();
  });
  ASSERT_EQ(engine->start(), std::nullopt);
  auto deadline = std::chrono::steady_clock::now() + kFirstBufferTimeout;
  while (calls < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(kQuietPeriod);
  EXPECT_EQ(calls.load(), 2);
  EXPECT_FALSE(engine->isRunning());
}

TEST_F(PulseMicrophone, AnEngineReleasedByItsOwnTapGoesAwayCleanly) {
  // The block holds the last reference, as a tap does whose owner let go meanwhile; the engine
  // is then destroyed on its own capture thread.
  std::weak_ptr<AudioEngine> watch = engine;
  auto holder = std::make_shared<std::shared_ptr<AudioEngine>>(engine);
  std::atomic<int> calls{0};
  engine->installTap(1024, engine->inputFormat(), [holder, &calls](PcmBufferPtr) {
    ++calls;
    auto last = std::move(*holder);
  });
  ASSERT_EQ(engine->start(), std::nullopt);
  engine.reset();
  auto deadline = std::chrono::steady_clock::now() + kFirstBufferTimeout;
  while (!watch.expired() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(watch.expired());
  std::this_thread::sleep_for(kQuietPeriod);
  EXPECT_EQ(calls.load(), 1);
}

TEST(PulseMicrophoneWithoutServer, StartFailsWithTheServersErrorAndStopIsHarmless) {
  auto engine = pulse::makePulseAudioEngine(pulse::Options{kNoServer});
  engine->stop();
  AudioFormat format = engine->inputFormat();
  engine->installTap(1024, format,
                     [](PcmBufferPtr) { ADD_FAILURE() << "no audio without a server"; });
  auto error = engine->start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "pulse");
  EXPECT_NE(error->code, 0);
  EXPECT_EQ(error->description, pa_strerror(static_cast<int>(error->code)));
  EXPECT_FALSE(error->description.empty());
  EXPECT_FALSE(engine->isRunning());
  engine->removeTap();
  engine->stop();
}

TEST(PulseMicrophoneWithoutServer, AServerThatNeverAnswersTimesOut) {
  PrivatePulseServer server;
  ASSERT_TRUE(server.ready());
  ::kill(server.pid(), SIGSTOP);
  auto engine = pulse::makePulseAudioEngine(pulse::Options{server.address(), 300ms});
  auto error = engine->start();
  ::kill(server.pid(), SIGCONT);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, PA_ERR_TIMEOUT);
  EXPECT_EQ(error->description, "Timeout");
}

// --- system audio ------------------------------------------------------------------------------

struct StopNotices {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<AudioError> errors;

  void add(const AudioError& error) {
    {
      std::lock_guard<std::mutex> hold(lock);
      errors.push_back(error);
    }
    changed.notify_all();
  }
  size_t count() {
    std::lock_guard<std::mutex> hold(lock);
    return errors.size();
  }
  bool waitForOne(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, timeout, [&] { return !errors.empty(); });
  }
};

struct Capture {
  std::shared_ptr<AudioCollector> audio = std::make_shared<AudioCollector>();
  std::shared_ptr<StopNotices> stops = std::make_shared<StopNotices>();
  std::atomic<int> wrong{0};  // buffers that broke the promised shape

  StreamCallbacks callbacks(const StreamConfiguration& config) {
    return StreamCallbacks{
        [this, config](const SampleBuffer& buffer) {
          bool shaped = buffer.isAudio && buffer.format &&
                        buffer.format->sampleRate == config.sampleRate &&
                        buffer.format->channels == config.channels && buffer.numSamples > 0 &&
                        buffer.data.size() ==
                            static_cast<size_t>(buffer.numSamples) * buffer.format->bytesPerFrame();
          if (!shaped) {
            ++wrong;
            return;
          }
          audio->add(*buffer.format, buffer.data.data(), static_cast<size_t>(buffer.numSamples));
        },
        [stops = stops](const AudioError& error) { stops->add(error); }};
  }
};

std::optional<CaptureTarget> onlyTarget(SystemAudioCapture& capture) {
  ShareableContent content;
  if (capture.shareableContent(content) || content.targets.size() != 1) return std::nullopt;
  return content.targets.front();
}

TEST(PulseSystemAudio, TheTargetIsTheMonitorOfTheDefaultSink) {
  KAVRI_REQUIRE_PULSE_SERVER();
  auto server = *testing::sharedPulseServer();
  auto sink = testing::pactl(server, {"get-default-sink"});
  ASSERT_TRUE(sink);
  auto capture = pulse::makePulseSystemAudioCapture(sharedServer());
  ShareableContent content;
  ASSERT_EQ(capture->shareableContent(content), std::nullopt);
  ASSERT_EQ(content.targets.size(), 1u);
  EXPECT_EQ(content.targets[0].name + "\n", sink->substr(0, sink->find('\n')) + ".monitor\n");
}

TEST(PulseSystemAudio, CapturesWhatIsPlayedAt16kHzMonoUntilStopped) {
  KAVRI_REQUIRE_PULSE_SERVER();
  auto server = *testing::sharedPulseServer();
  auto capture = pulse::makePulseSystemAudioCapture(sharedServer());
  auto target = onlyTarget(*capture);
  ASSERT_TRUE(target);
  StreamConfiguration config;
  Capture seen;
  auto started = capture->startCapture(*target, config, seen.callbacks(config));
  ASSERT_EQ(started.error, std::nullopt);
  ASSERT_TRUE(started.stream);
  ASSERT_TRUE(seen.audio->waitForDeliveries(1, kFirstBufferTimeout));

  ToneFile tone(1000.0, 1000ms);
  auto player = testing::playRaw(server, "@DEFAULT_SINK@", tone.path());
  EXPECT_TRUE(seen.audio->waitForLoudSeconds(0.6, kToneTimeout));
  EXPECT_EQ(started.stream->stopCapture(), std::nullopt);
  size_t count = seen.audio->deliveries();
  std::this_thread::sleep_for(kQuietPeriod);
  EXPECT_EQ(seen.audio->deliveries(), count);
  started.stream->stopCapture();

  EXPECT_NEAR(seen.audio->loudFrequency(), 1000.0, 1000.0 * 0.05);
  EXPECT_EQ(seen.wrong.load(), 0);
  EXPECT_EQ(seen.stops->count(), 0u);
}

TEST(PulseSystemAudio, StopCaptureWaitsForACallbackUnderWay) {
  KAVRI_REQUIRE_PULSE_SERVER();
  auto capture = pulse::makePulseSystemAudioCapture(sharedServer());
  auto target = onlyTarget(*capture);
  ASSERT_TRUE(target);
  std::atomic<int> inside{0};
  std::atomic<int> calls{0};
  std::atomic<bool> overlapped{false};
  auto state = std::make_shared<int>(0);
  auto started = capture->startCapture(*target, StreamConfiguration{},
                                       StreamCallbacks{[&, state](const SampleBuffer&) {
                                                         ++inside;
                                                         std::this_thread::sleep_for(30ms);
                                                         ++*state;
                                                         ++calls;
                                                         --inside;
                                                       },
                                                       nullptr});
  ASSERT_TRUE(started.stream);
  auto deadline = std::chrono::steady_clock::now() + kFirstBufferTimeout;
  while (calls < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_GE(calls.load(), 2);
  started.stream->stopCapture();
  if (inside.load() != 0) overlapped = true;
  int after = calls.load();
  std::this_thread::sleep_for(kQuietPeriod);
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(calls.load(), after);
}

TEST(PulseSystemAudio, AStreamDestroyedInsideItsOwnCallbackGoesAwayCleanly) {
  KAVRI_REQUIRE_PULSE_SERVER();
  auto capture = pulse::makePulseSystemAudioCapture(sharedServer());
  auto target = onlyTarget(*capture);
  ASSERT_TRUE(target);
  auto holder = std::make_shared<std::unique_ptr<CaptureStream>>();
  std::mutex lock;
  std::atomic<int> calls{0};
  auto started =
      capture->startCapture(*target, StreamConfiguration{},
                            StreamCallbacks{[holder, &lock, &calls](const SampleBuffer&) {
                                              std::lock_guard<std::mutex> hold(lock);
                                              ++calls;
                                              holder->reset();
                                            },
                                            nullptr});
  ASSERT_TRUE(started.stream);
  {
    std::lock_guard<std::mutex> hold(lock);
    *holder = std::move(started.stream);
  }
  auto deadline = std::chrono::steady_clock::now() + kFirstBufferTimeout;
  while (calls == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  std::this_thread::sleep_for(kQuietPeriod);
  EXPECT_EQ(calls.load(), 1);
}

TEST(PulseSystemAudioWithoutServer, EveryRequestFailsWithADescription) {
  auto capture = pulse::makePulseSystemAudioCapture(pulse::Options{kNoServer});
  ShareableContent content;
  auto error = capture->shareableContent(content);
  ASSERT_TRUE(error);
  EXPECT_FALSE(error->description.empty());
  EXPECT_TRUE(content.targets.empty());

  Capture seen;
  auto started = capture->startCapture(CaptureTarget{"kavri_out.monitor"}, StreamConfiguration{},
                                       seen.callbacks(StreamConfiguration{}));
  ASSERT_TRUE(started.error);
  EXPECT_EQ(started.error->description, pa_strerror(static_cast<int>(started.error->code)));
  EXPECT_FALSE(started.stream);
}

// --- system audio on a server of the test's own ------------------------------------------------

TEST(PulseSystemAudioPrivateServer, AKilledServerStopsTheStreamWithOneNotice) {
  PrivatePulseServer server;
  ASSERT_TRUE(server.ready());
  auto capture = pulse::makePulseSystemAudioCapture(pulse::Options{server.address()});
  auto target = onlyTarget(*capture);
  ASSERT_TRUE(target);
  Capture seen;
  auto started =
      capture->startCapture(*target, StreamConfiguration{}, seen.callbacks(StreamConfiguration{}));
  ASSERT_TRUE(started.stream);
  ASSERT_TRUE(seen.audio->waitForDeliveries(1, kFirstBufferTimeout));

  server.kill();
  ASSERT_TRUE(seen.stops->waitForOne(kStopNoticeTimeout));
  std::this_thread::sleep_for(kQuietPeriod);
  EXPECT_EQ(seen.stops->count(), 1u);
  EXPECT_EQ(seen.stops->errors[0].description, "Connection terminated");
  EXPECT_EQ(started.stream->stopCapture(), std::nullopt);
  EXPECT_EQ(seen.stops->count(), 1u);
}

TEST(PulseSystemAudioPrivateServer, ARemovedSinkStopsTheStreamInsteadOfMovingIt) {
  PrivatePulseServer server;
  ASSERT_TRUE(server.ready());
  auto module = server.pactl({"load-module", "module-null-sink", "sink_name=kavri_gone"});
  ASSERT_TRUE(module);
  auto capture = pulse::makePulseSystemAudioCapture(pulse::Options{server.address()});
  Capture seen;
  auto started = capture->startCapture(CaptureTarget{"kavri_gone.monitor"}, StreamConfiguration{},
                                       seen.callbacks(StreamConfiguration{}));
  ASSERT_TRUE(started.stream);

  ASSERT_TRUE(server.pactl({"unload-module", module->substr(0, module->find('\n'))}));
  ASSERT_TRUE(seen.stops->waitForOne(kStopNoticeTimeout));
  size_t count = seen.audio->deliveries();
  std::this_thread::sleep_for(kQuietPeriod);
  EXPECT_EQ(seen.stops->count(), 1u);
  EXPECT_EQ(seen.audio->deliveries(), count);
  EXPECT_EQ(seen.stops->errors[0].code, PA_ERR_KILLED);
  EXPECT_EQ(seen.stops->errors[0].description, "Entity killed");
  started.stream->stopCapture();
}

TEST(PulseSystemAudioPrivateServer, NoOutputDeviceMeansNothingToCaptureNotAnError) {
  PrivatePulseServer server;
  ASSERT_TRUE(server.ready());
  ASSERT_TRUE(server.pactl({"unload-module", "module-remap-source"}));
  ASSERT_TRUE(server.pactl({"unload-module", "module-null-sink"}));
  auto capture = pulse::makePulseSystemAudioCapture(pulse::Options{server.address()});
  ShareableContent content;
  EXPECT_EQ(capture->shareableContent(content), std::nullopt);
  EXPECT_TRUE(content.targets.empty());
}

TEST(PulseSystemAudioPrivateServer, ANonexistentTargetFailsToStartWithADescription) {
  PrivatePulseServer server;
  ASSERT_TRUE(server.ready());
  auto capture = pulse::makePulseSystemAudioCapture(pulse::Options{server.address()});
  Capture seen;
  auto started = capture->startCapture(CaptureTarget{"nothing.monitor"}, StreamConfiguration{},
                                       seen.callbacks(StreamConfiguration{}));
  ASSERT_TRUE(started.error);
  EXPECT_EQ(started.error->code, PA_ERR_NOENTITY);
  EXPECT_FALSE(started.stream);
  EXPECT_EQ(seen.stops->count(), 0u);
}

}  // namespace
}  // namespace kavri::audio
