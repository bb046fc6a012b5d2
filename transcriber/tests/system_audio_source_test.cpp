#include "system_audio_source.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "event_recorder.h"
#include "fake_audio.h"
#include "source_fixture.h"

namespace kavri {
namespace {

using testing::FakeSystemAudioCapture;

class SystemAudioSourceTest : public testing::SourceFixture {
 protected:
  SystemAudioSourceTest() : SourceFixture("system") { source->setSink(recognizer); }

  static audio::SampleBuffer sample(const std::vector<std::byte>& bytes, int64_t frames) {
    audio::SampleBuffer sample;
    sample.format = audio::AudioFormat{audio::SampleFormat::s16, 16000.0, 1};
    sample.numSamples = frames;
    sample.data = bytes;
    return sample;
  }

  testing::EventRecorder recorder;
  std::shared_ptr<FakeSystemAudioCapture> capture = std::make_shared<FakeSystemAudioCapture>();
  std::shared_ptr<SystemAudioSource> source =
      std::make_shared<SystemAudioSource>(capture, recorder.sink());
};

TEST_F(SystemAudioSourceTest, CapturesTheFirstTargetAtSixteenKilohertzMono) {
  ASSERT_EQ(source->start(), std::nullopt);
  EXPECT_TRUE(source->isCapturing());
  EXPECT_EQ(capture->lastConfig.sampleRate, 16000.0);
  EXPECT_EQ(capture->lastConfig.channels, 1u);
  EXPECT_TRUE(capture->lastConfig.excludesCurrentProcessAudio);
}

TEST_F(SystemAudioSourceTest, NothingToCaptureIsAClearError) {
  capture->targets.clear();
  auto error = source->start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "kavri");
  EXPECT_EQ(error->code, 1);
  EXPECT_EQ(error->description, "no_audio_output");
  EXPECT_FALSE(source->isCapturing());
}

TEST_F(SystemAudioSourceTest, ServiceErrorsArePassedOnAndNothingIsStored) {
  capture->contentError = audio::AudioError{"pulse", 6, "Connection refused"};
  EXPECT_EQ(source->start()->description, "Connection refused");
  capture->contentError.reset();
  capture->startError = audio::AudioError{"pulse", 7, "No such entity"};
  EXPECT_EQ(source->start()->description, "No such entity");
  EXPECT_FALSE(source->isCapturing());
  source->stop();
  EXPECT_EQ(*capture->stops, 0);
}

TEST_F(SystemAudioSourceTest, StopStopsTheStreamOnceAndIgnoresItsError) {
  capture->stopError = audio::AudioError{"pulse", 8, "gone"};
  ASSERT_EQ(source->start(), std::nullopt);
  source->stop();
  source->stop();
  EXPECT_EQ(*capture->stops, 1);
  EXPECT_FALSE(source->isCapturing());
  EXPECT_TRUE(recorder.events().empty());
}

TEST_F(SystemAudioSourceTest, StartThatEndsAfterStopStopsItsOwnStream) {
  std::promise<void> gate;
  capture->gate = gate.get_future().share();
  auto started = std::async(std::launch::async, [this] { return source->start(); });
  while (capture->contentQueries == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  source->stop();  // finds nothing yet
  gate.set_value();
  EXPECT_EQ(started.get(), std::nullopt);
  EXPECT_EQ(capture->startedStreams, 1);
  EXPECT_EQ(*capture->stops, 1);
  EXPECT_FALSE(source->isCapturing());
}

TEST_F(SystemAudioSourceTest, SecondStartStopsTheStreamItReplaces) {
  ASSERT_EQ(source->start(), std::nullopt);
  ASSERT_EQ(source->start(), std::nullopt);
  EXPECT_EQ(*capture->stops, 1);
  source->stop();
  EXPECT_EQ(*capture->stops, 2);
}

TEST_F(SystemAudioSourceTest, OneBufferPerSampleBufferWithItsFramesAndBytes) {
  ASSERT_EQ(source->start(), std::nullopt);
  std::vector<std::byte> bytes(320);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = std::byte(i % 251);
  capture->callbacks().onSampleBuffer(sample(bytes, 160));
  auto buffer = received();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->frameLength(), 160u);
  EXPECT_EQ(buffer->byteLength(), 320u);
  EXPECT_EQ(buffer->format(), (audio::AudioFormat{audio::SampleFormat::s16, 16000.0, 1}));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer->data()));
  EXPECT_EQ(received(), nullptr);
}

TEST_F(SystemAudioSourceTest, NeverCopiesMoreThanTheSampleCountOrInventsFrames) {
  std::vector<std::byte> bytes(1000, std::byte{3});
  auto larger = SystemAudioSource::makePcmBuffer(sample(bytes, 100));
  ASSERT_NE(larger, nullptr);
  EXPECT_EQ(larger->frameLength(), 100u);
  EXPECT_EQ(larger->byteCapacity(), 200u);
  std::vector<std::byte> shortBytes(101, std::byte{4});  // 50 whole frames and half of one
  auto shorter = SystemAudioSource::makePcmBuffer(sample(shortBytes, 100));
  ASSERT_NE(shorter, nullptr);
  EXPECT_EQ(shorter->frameLength(), 50u);
}

TEST_F(SystemAudioSourceTest, UnusableSampleBuffersAreDroppedSilently) {
  std::vector<std::byte> bytes(320, std::byte{1});
  auto screen = sample(bytes, 160);
  screen.isAudio = false;
  auto noFormat = sample(bytes, 160);
  noFormat.format.reset();
  auto noSamples = sample(bytes, 0);
  auto negative = sample(bytes, -5);
  auto noData = sample({}, 160);
  auto tooMany = sample(bytes, int64_t{1} << 33);
  auto badRate = sample(bytes, 160);
  badRate.format->sampleRate = 0;
  auto noChannels = sample(bytes, 160);
  noChannels.format->channels = 0;
  for (const auto& bad :
       {screen, noFormat, noSamples, negative, noData, tooMany, badRate, noChannels}) {
    source->didOutputSampleBuffer(bad);
  }
  EXPECT_EQ(received(), nullptr);
  source->setSink(nullptr);
  source->didOutputSampleBuffer(sample(bytes, 160));
  EXPECT_EQ(received(), nullptr);
  EXPECT_TRUE(recorder.events().empty());
}

TEST_F(SystemAudioSourceTest, EachStopNoticeEmitsOneEventWithoutSpeaker) {
  ASSERT_EQ(source->start(), std::nullopt);
  capture->callbacks().onStoppedWithError(audio::AudioError{"pulse", 9, "Server died"});
  capture->callbacks().onStoppedWithError(audio::AudioError{"pulse", 9, "Server died again"});
  auto events = recorder.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], (Event{{"event", "error"},
                              {"message", "system_audio_stopped"},
                              {"description", "Server died"}}));
  EXPECT_EQ(events[1]["description"], "Server died again");
  EXPECT_TRUE(source->isCapturing());  // the stream stays stored
}

TEST_F(SystemAudioSourceTest, StreamCallbacksDoNotKeepTheSourceAlive) {
  ASSERT_EQ(source->start(), std::nullopt);
  auto callbacks = capture->callbacks();
  std::weak_ptr<SystemAudioSource> weak = source;
  source.reset();
  EXPECT_TRUE(weak.expired());
  std::vector<std::byte> bytes(32);
  callbacks.onSampleBuffer(sample(bytes, 16));
  callbacks.onStoppedWithError(audio::AudioError{"pulse", 9, "late"});
  EXPECT_EQ(received(), nullptr);
  EXPECT_TRUE(recorder.events().empty());
}

}  // namespace
}  // namespace kavri
