#include "source_recognizer.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "fake_audio.h"
#include "fake_speech_service.h"
#include "testing/wait.h"

namespace kavri {
namespace {

using testing::FakeRecognizer;
using testing::FakeSpeechService;

std::string repeat(const std::string& piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// A started recogniser over a fake service, with every callback recorded.
class RecognizerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = service.addRecognizer();
    recognizer = SourceRecognizer::make(service, "mic", "en-US");
    ASSERT_NE(recognizer, nullptr);
    recognizer->start(
        [this](const std::string& text) {
          std::lock_guard<std::mutex> hold(lock);
          partials.push_back(text);
        },
        [this](const speech::Error& error) {
          std::lock_guard<std::mutex> hold(lock);
          errors.push_back(error);
        });
  }

  std::string lastPartial() {
    std::lock_guard<std::mutex> hold(lock);
    return partials.empty() ? "<none>" : partials.back();
  }
  // Leaves `live` as the live text, then sends `next` on the same task; returns what the owner
  // was told.
  std::string replace(const std::string& live, const std::string& next) {
    fake->partial(0, live);
    fake->partial(0, next);
    return lastPartial();
  }

  FakeSpeechService service;
  std::shared_ptr<FakeRecognizer> fake;
  std::shared_ptr<SourceRecognizer> recognizer;
  std::mutex lock;
  std::vector<std::string> partials;
  std::vector<speech::Error> errors;
};

TEST(SourceRecognizerCreation, FailsWithoutAUsableRecognizer) {
  FakeSpeechService service;
  EXPECT_EQ(SourceRecognizer::make(service, "mic", "xx-XX"), nullptr);
  service.addRecognizer()->available = false;
  EXPECT_EQ(SourceRecognizer::make(service, "mic", "en-US"), nullptr);
}

TEST(SourceRecognizerCreation, RequestsReportPartialsWithPunctuationAndOnDeviceWhenSupported) {
  FakeRecognizer recognizer;
  for (bool onDevice : {true, false}) {
    recognizer.onDevice = onDevice;
    auto request = SourceRecognizer::makeRequest(recognizer);
    EXPECT_TRUE(request->shouldReportPartialResults);
    EXPECT_TRUE(request->addsPunctuation);
    EXPECT_EQ(request->requiresOnDeviceRecognition, onDevice);
  }
}

TEST(SourceRecognizerCreation, StartsNoTaskUntilStarted) {
  FakeSpeechService service;
  auto fake = service.addRecognizer();
  auto recognizer = SourceRecognizer::make(service, "system", "en-US");
  ASSERT_NE(recognizer, nullptr);
  EXPECT_EQ(recognizer->label(), "system");
  EXPECT_EQ(fake->taskCount(), 0u);
  EXPECT_EQ(recognizer->generation(), 0);
}

TEST_F(RecognizerTest, CombinesCommittedAndLiveTextWithOneSpace) {
  EXPECT_EQ(recognizer->text(), "");
  fake->partial(0, "hello there");
  EXPECT_EQ(lastPartial(), "hello there");
  fake->final(0, "Hello there.");
  EXPECT_EQ(recognizer->text(), "Hello there.");  // committed alone
  fake->partial(1, "general");
  EXPECT_EQ(lastPartial(), "Hello there. general");
  EXPECT_EQ(recognizer->text(), "Hello there. general");
}

TEST_F(RecognizerTest, LiveTextIsReplacedNotAppended) {
  fake->partial(0, "one");
  fake->partial(0, "one two");
  fake->partial(0, "won");
  EXPECT_EQ(lastPartial(), "won");
}

TEST_F(RecognizerTest, ResetRuleNeedsEightyCharacters) {
  EXPECT_EQ(replace(repeat("a", 79), "xy"), "xy");
  fake->partial(0, "");
  EXPECT_EQ(replace(repeat("b", 80), "xy"), repeat("b", 80) + " xy");
  // The next partial still reads old text, a space and the new text.
  fake->partial(0, "xyz");
  EXPECT_EQ(lastPartial(), repeat("b", 80) + " xyz");
}

TEST_F(RecognizerTest, ResetRuleNeedsMoreThanTwiceTheNewLength) {
  EXPECT_EQ(replace(repeat("a", 80), repeat("x", 40)), repeat("x", 40));
  fake->partial(0, "");
  EXPECT_EQ(replace(repeat("a", 80), repeat("y", 39)), repeat("a", 80) + " " + repeat("y", 39));
}

TEST_F(RecognizerTest, ResetRuleNeverCommitsAPrefix) {
  EXPECT_EQ(replace(repeat("a", 120), "a"), "a");
  EXPECT_EQ(replace(repeat("a", 120) + " tail", "aaa"), "aaa");
  // Prefix tests are case-sensitive.
  EXPECT_EQ(replace(repeat("c", 100), "C"), repeat("c", 100) + " C");
  EXPECT_EQ(recognizer->text(), repeat("c", 100) + " C");
}

TEST_F(RecognizerTest, ResetRuleCountsEmojiSequencesAsOneCharacter) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one character
  EXPECT_EQ(replace(repeat(family, 79), "xy"), "xy");
  EXPECT_EQ(replace(repeat(family, 80), "xy"), repeat(family, 80) + " xy");
}

TEST_F(RecognizerTest, ResetRuleCountsCombiningAccentsWithTheirLetter) {
  // "e" + combining acute accent: one character of two code points and three bytes.
  const std::string accented = "e\u0301";
  EXPECT_EQ(replace(repeat("a", 80), repeat(accented, 40)), repeat(accented, 40));
  fake->partial(0, "");
  EXPECT_EQ(replace(repeat("a", 80), repeat(accented, 39)),
            repeat("a", 80) + " " + repeat(accented, 39));
}

TEST_F(RecognizerTest, PrefixThatSplitsACharacterIsNoPrefix) {
  const std::string accented = "e\u0301";
  // "e" matches the first byte of "é" but not its first character.
  EXPECT_EQ(replace(repeat(accented, 80), "e"), repeat(accented, 80) + " e");
}

TEST_F(RecognizerTest, FinalWhileRunningRestartsWithoutReporting) {
  auto firstRequest = fake->task(0).request;
  fake->partial(0, "first");
  size_t partialsBefore = partials.size();
  fake->final(0, "First.");
  EXPECT_EQ(partials.size(), partialsBefore);
  EXPECT_EQ(recognizer->generation(), 2);
  ASSERT_EQ(fake->taskCount(), 2u);
  EXPECT_NE(fake->task(1).request, firstRequest);
  // The old request is dropped, not ended.
  EXPECT_FALSE(firstRequest->audioEnded());
  fake->partial(1, "second");
  EXPECT_EQ(lastPartial(), "First. second");
}

TEST_F(RecognizerTest, FeedGoesToTheCurrentRequestUnchanged) {
  auto buffer = testing::makeBuffer(160);
  recognizer->feed(buffer);
  audio::PcmBufferPtr out;
  ASSERT_EQ(fake->task(0).request->next(out, std::chrono::milliseconds(0)),
            speech::AudioBufferRecognitionRequest::Next::buffer);
  EXPECT_EQ(out, buffer);
  fake->final(0, "done");
  recognizer->feed(buffer);
  EXPECT_EQ(fake->task(1).request->next(out, std::chrono::milliseconds(0)),
            speech::AudioBufferRecognitionRequest::Next::buffer);
}

TEST_F(RecognizerTest, StaleResultsChangeNothingEvenWithAnError) {
  fake->partial(0, "one");
  fake->final(0, "One.");
  size_t partialsBefore = partials.size();
  fake->deliver(0, "stale words", false, speech::Error{7, "late"});
  fake->deliver(0, "stale final", true);
  EXPECT_EQ(partials.size(), partialsBefore);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(recognizer->generation(), 2);
  EXPECT_EQ(recognizer->text(), "One.");
}

TEST_F(RecognizerTest, ErrorBeforeAnyTextIsReportedOnce) {
  fake->error(0, 1110, "No speech detected");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, 1110);
  EXPECT_EQ(errors[0].description, "No speech detected");
  // An error never restarts recognition.
  EXPECT_EQ(fake->taskCount(), 1u);
}

TEST_F(RecognizerTest, ErrorAfterTextIsDroppedAndTextStays) {
  fake->partial(0, "kept words");
  fake->error(0, 203, "Retry");
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(recognizer->endAudioAndWait(std::chrono::hours(1)), "kept words");
}

TEST_F(RecognizerTest, ErrorAfterCommittedTextOnlyIsDropped) {
  fake->final(0, "Committed.");
  fake->error(1, 203, "Retry");
  EXPECT_TRUE(errors.empty());
}

TEST_F(RecognizerTest, ResultWithErrorAppliesTextThenDropsTheError) {
  fake->deliver(0, "words", false, speech::Error{5, "odd"});
  EXPECT_EQ(lastPartial(), "words");
  EXPECT_TRUE(errors.empty());
}

TEST_F(RecognizerTest, FinalAfterTheEndOfAudioCommitsAndStartsNothing) {
  fake->partial(0, "last wor");
  auto waited = std::async(std::launch::async,
                           [this] { return recognizer->endAudioAndWait(std::chrono::hours(1)); });
  auto request = fake->task(0).request;
  while (!request->audioEnded()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  size_t partialsBefore = partials.size();
  fake->final(0, "Last words.");
  EXPECT_EQ(waited.get(), "Last words.");
  EXPECT_EQ(fake->taskCount(), 1u);
  EXPECT_EQ(partials.size(), partialsBefore);
}

TEST_F(RecognizerTest, WaitWaitsForAFinishingTask) {
  // After the end of its audio a task finishes its last stretch; its final result still counts.
  auto task = fake->task(0).task;
  task->setState(speech::TaskState::finishing);
  auto waited = std::async(std::launch::async,
                           [this] { return recognizer->endAudioAndWait(std::chrono::hours(1)); });
  auto request = fake->task(0).request;
  while (!request->audioEnded()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // The final result ends the wait even while the task has yet to report its own end.
  fake->deliver(0, "Every word.", true);
  const bool ended = waited.wait_for(testing::kWaitTimeout) == std::future_status::ready;
  task->setState(speech::TaskState::completed);
  EXPECT_TRUE(ended);
  EXPECT_EQ(waited.get(), "Every word.");
}

TEST_F(RecognizerTest, WaitGivesUpAtTheDeadlineWithTheTextSoFar) {
  fake->partial(0, "never finished");
  EXPECT_EQ(recognizer->endAudioAndWait(std::chrono::milliseconds(30)), "never finished");
  EXPECT_TRUE(fake->task(0).request->audioEnded());
  EXPECT_EQ(fake->task(0).task->cancelCount(), 0);
  EXPECT_EQ(fake->task(0).task->state(), speech::TaskState::running);
}

TEST(SourceRecognizerWait, ReturnsAtOnceWithoutATask) {
  FakeSpeechService service;
  service.addRecognizer();
  auto recognizer = SourceRecognizer::make(service, "mic", "en-US");
  EXPECT_EQ(recognizer->endAudioAndWait(std::chrono::hours(1)), "");
}

TEST(SourceRecognizerCancel, WithoutATaskOnlyStopsFutureTasks) {
  FakeSpeechService service;
  auto fake = service.addRecognizer();
  auto recognizer = SourceRecognizer::make(service, "mic", "en-US");
  recognizer->cancel();
  // A final that comes before the cancel reaches the task starts nothing.
  fake->onTaskStarted = [&](size_t index) {
    if (index == 0) fake->final(0, "words");
  };
  recognizer->start(nullptr, nullptr);
  // The task made after cancel() is cancelled at once.
  EXPECT_EQ(fake->task(0).task->cancelCount(), 1);
  EXPECT_EQ(fake->taskCount(), 1u);
}

TEST_F(RecognizerTest, CancelCancelsTheCurrentTaskAndCallsNothing) {
  fake->final(0, "One.");
  // A final that comes while the cancel is on its way starts nothing.
  fake->task(1).task->beforeCancel = [&] { fake->final(1, "Two."); };
  recognizer->cancel();
  EXPECT_EQ(fake->task(0).task->cancelCount(), 0);
  EXPECT_EQ(fake->task(1).task->cancelCount(), 1);
  EXPECT_EQ(fake->taskCount(), 2u);
  EXPECT_TRUE(partials.empty());
  EXPECT_TRUE(errors.empty());
}

TEST(SourceRecognizerRestart, FinalDeliveredInsideTaskCreationKeepsTheNewestTask) {
  FakeSpeechService service;
  auto fake = service.addRecognizer();
  auto recognizer = SourceRecognizer::make(service, "mic", "en-US");
  fake->onTaskStarted = [&](size_t index) {
    if (index == 0) fake->final(0, "Quick.");
  };
  recognizer->start(nullptr, nullptr);
  ASSERT_EQ(fake->taskCount(), 2u);
  EXPECT_EQ(recognizer->generation(), 2);
  recognizer->cancel();
  EXPECT_EQ(fake->task(1).task->cancelCount(), 1);
  EXPECT_EQ(recognizer->text(), "Quick.");
}

TEST(SourceRecognizerLifetime, TaskDoesNotKeepItsRecognizerAlive) {
  FakeSpeechService service;
  auto fake = service.addRecognizer();
  int partials = 0;
  auto recognizer = SourceRecognizer::make(service, "mic", "en-US");
  recognizer->start([&](const std::string&) { ++partials; }, nullptr);
  std::weak_ptr<SourceRecognizer> weak = recognizer;
  recognizer.reset();
  EXPECT_TRUE(weak.expired());
  fake->partial(0, "after");
  fake->final(0, "after");
  EXPECT_EQ(partials, 0);
  EXPECT_EQ(fake->taskCount(), 1u);
}

TEST(SourceRecognizerThreads, FeedRestartsAndEndRaceFree) {
  FakeSpeechService service;
  auto fake = service.addRecognizer();
  auto recognizer = SourceRecognizer::make(service, "mic", "en-US");
  std::atomic<int> partials{0};
  recognizer->start([&](const std::string&) { ++partials; }, nullptr);
  std::atomic<bool> done{false};
  std::thread feeder([&] {
    auto buffer = testing::makeBuffer(16);
    while (!done) recognizer->feed(buffer);
  });
  std::thread results([&] {
    for (int i = 0; i < 200; ++i) {
      size_t current = fake->taskCount() - 1;
      fake->partial(current, "w" + std::to_string(i));
      if (i % 10 == 9) fake->final(current, "W" + std::to_string(i));
    }
  });
  results.join();
  std::string text = recognizer->endAudioAndWait(std::chrono::milliseconds(20));
  done = true;
  feeder.join();
  EXPECT_EQ(fake->taskCount(), 21u);
  EXPECT_EQ(text.substr(0, 6), "W9 W19");
  EXPECT_EQ(partials.load(), 200);
}

}  // namespace
}  // namespace kavri
