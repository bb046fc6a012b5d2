// Live dictation through the real speech engine: recorded speech played into a fake microphone,
// recognised utterance by utterance, and joined into the final event.
#include <gtest/gtest.h>

#include <thread>

#include "event_recorder.h"
#include "fake_audio.h"
#include "live_session.h"
#include "testing/recordings.h"
#include "testing/words.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;

// A microphone session on the real engine, fed from recordings by each test.
class LiveRecognitionWithEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    service = speech::makePlatformSpeechService();
    if (!service || service->authorizationStatus() != speech::kAuthorized) {
      GTEST_SKIP() << "no speech engine with a model on this system";
    }
    clips = testing::librivoxClips();
    if (clips.empty()) GTEST_SKIP() << "pocketsphinx-testdata is not installed";
    LiveSessionOptions options;
    options.emit = recorder.sink();
    options.emitLast = recorder.sink();
    options.exit = recorder.exit();
    options.launch = recorder.launcher();
    session = std::make_unique<LiveSession>(
        Platform{service, [engine = engine] { return engine; }, nullptr}, options);
    session->start("en-US", "mic");
    ASSERT_EQ(recorder.eventsNamed("started").size(), 1u);
  }

  std::shared_ptr<speech::SpeechService> service;
  std::vector<testing::SpeechClip> clips;
  testing::EventRecorder recorder;
  std::shared_ptr<testing::FakeAudioEngine> engine = testing::speechMicrophone();
  std::unique_ptr<LiveSession> session;
};

TEST_F(LiveRecognitionWithEngine, FinalHoldsTheWordsOfEveryUtteranceInOrder) {
  // Each recording is played as fast as it comes (the engine's voice detection works on audio
  // time, not wall time) and followed by a pause that ends its utterance, and so its task. The
  // next one is played once the engine has got there, so that no backlog of audio spans an
  // utterance end.
  const std::vector<int16_t> pause(16000 * 3 / 2, 0);
  testing::playSpeech(*engine, std::vector<int16_t>(8000, 0));
  auto recognizer = session->micRecognizer();
  auto deadline = std::chrono::steady_clock::now() + 180s;
  for (const auto& clip : clips) {
    const int64_t generation = recognizer->generation();
    testing::playSpeech(*engine, clip.samples);
    testing::playSpeech(*engine, pause);
    while (recognizer->generation() == generation && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(recognizer->generation(), generation) << clip.name << " ended no utterance";
  }
  // Several final results arrived mid-stream, one per recording at least.
  EXPECT_GT(recognizer->generation(), static_cast<int64_t>(clips.size()));

  session->stop();
  auto finals = recorder.eventsNamed("final");
  ASSERT_EQ(finals.size(), 1u);
  const std::string text = finals[0]["text"];
  const auto heard = testing::wordsOf(text);
  RecordProperty("final_text", text);

  // Most words of each recording, and of all of them together, in the order they were spoken.
  std::vector<std::string> all;
  for (const auto& clip : clips) {
    all.insert(all.end(), clip.words.begin(), clip.words.end());
    EXPECT_GE(testing::wordsInOrder(clip.words, heard) * 10, clip.words.size() * 6)
        << clip.name << " in: " << text;
  }
  EXPECT_GE(testing::wordsInOrder(all, heard) * 10, all.size() * 7) << text;

  // Partials grew word by word, and each carried the text committed before it.
  auto partials = recorder.eventsNamed("partial");
  size_t grew = 0;
  for (size_t i = 1; i < partials.size(); ++i) {
    std::string before = partials[i - 1]["text"];
    std::string now = partials[i]["text"];
    if (now.size() > before.size() && now.compare(0, before.size(), before) == 0) ++grew;
  }
  EXPECT_GE(grew, all.size() / 4);
  ASSERT_FALSE(partials.empty());
  std::string lastPartial = partials.back()["text"];
  EXPECT_GE(testing::wordsInOrder(testing::wordsOf(lastPartial), heard) * 10,
            testing::wordsOf(lastPartial).size() * 9);
  EXPECT_TRUE(recorder.eventsNamed("error").empty());
}

// Audio that arrives faster than the engine decodes it piles up across several utterance ends;
// every task after the first starts with what the earlier ones left unread, so nothing is lost.
TEST_F(LiveRecognitionWithEngine, ABacklogSpanningSeveralUtterancesLosesNothing) {
  const std::vector<int16_t> pause(16000 * 3 / 2, 0);
  for (const auto& clip : clips) {
    testing::playSpeech(*engine, clip.samples);
    testing::playSpeech(*engine, pause);
  }
  // All of it is queued now; wait until the engine has ended an utterance per recording.
  auto recognizer = session->micRecognizer();
  auto deadline = std::chrono::steady_clock::now() + 180s;
  while (recognizer->generation() <= static_cast<int64_t>(clips.size()) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  session->stop();
  auto finals = recorder.eventsNamed("final");
  ASSERT_EQ(finals.size(), 1u);
  const std::string text = finals[0]["text"];
  const auto heard = testing::wordsOf(text);
  for (const auto& clip : clips) {
    EXPECT_GE(testing::wordsInOrder(clip.words, heard) * 10, clip.words.size() * 6)
        << clip.name << " in: " << text;
  }
}

}  // namespace
}  // namespace kavri
