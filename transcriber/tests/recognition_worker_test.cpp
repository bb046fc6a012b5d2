// The recognition worker against a scripted decoder: the order of tasks, cancelling, audio
// carried over from one task to the next, utterance ends and errors, without the engine.
#include "speech/recognition_worker.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "scripted_decoder.h"
#include "source_recognizer.h"
#include "speech/taking_turns.h"
#include "task_results.h"
#include "testing/wait.h"

namespace kavri::speech {
namespace {

using testing::buffersOf;
using testing::Collector;
using testing::joined;
using testing::said;
using testing::waitUntilNotRunning;

// How long a test looks for results that must not come.
constexpr auto kLateResultWindow = std::chrono::milliseconds(50);

const std::vector<std::string> kWords = {"go", "forward", "ten", "meters"};
// "go forward ten meters" and a pause long enough to end the utterance.
const std::vector<int16_t> kSentence = said({1, 2, 3, 4}, 0.3);

std::shared_ptr<AudioBufferRecognitionRequest> liveRequest(bool partials = true) {
  auto request = std::make_shared<AudioBufferRecognitionRequest>();
  request->shouldReportPartialResults = partials;
  request->addsPunctuation = true;
  return request;
}

class RecognitionWorkerTest : public ::testing::Test {
 protected:
  std::shared_ptr<Recognizer> makeRecognizer() {
    return std::make_shared<WorkerRecognizer>(pool, files.audio(), true);
  }

  testing::ScriptedFiles files;
  std::atomic<int> decodersLoaded{0};
  std::shared_ptr<DecoderPool> pool = std::make_shared<DecoderPool>([this](std::string&) {
    ++decodersLoaded;
    return std::make_unique<testing::ScriptedDecoder>(kWords);
  });
  std::shared_ptr<Recognizer> recognizer = makeRecognizer();
};

TEST_F(RecognitionWorkerTest, FileRequestsReportEachFinishedUtteranceWhenAskedTo) {
  files.files["twice"] = joined({said({1, 2, 3, 4}, 0.5), said({1, 2, 3, 4}, 0.5)});
  UrlRecognitionRequest request{"twice", true, false, true};
  Collector collector;
  recognizer->recognitionTask(request, collector.handler());
  auto outcome = collector.outcome();
  ASSERT_TRUE(outcome && outcome->result);
  std::vector<std::string> texts;
  for (const auto& delivery : collector.deliveries()) {
    ASSERT_TRUE(delivery.result);
    texts.push_back(delivery.result->bestTranscription.formattedString +
                    (delivery.result->isFinal ? " (final)" : ""));
  }
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Go forward ten meters.", "Go forward ten meters. Go forward ten meters.",
                       "Go forward ten meters. Go forward ten meters. (final)"}));
  // One stream for the whole file: the second "go" is where the file has it.
  EXPECT_DOUBLE_EQ(outcome->result->bestTranscription.segments.at(4).timestamp, 0.9);
}

TEST_F(RecognitionWorkerTest, AudioQueuedBehindAnUtteranceEndGoesToTheNextTask) {
  testing::LiveFeed live(recognizer);
  // All at once, faster than anyone speaks.
  for (const auto& buffer : buffersOf(joined({kSentence, kSentence}))) live.feed(buffer);
  ASSERT_TRUE(live.waitForSpokenFinals(2)) << live.shown();
  live.endAudio();
  ASSERT_TRUE(live.waitForEnd());

  EXPECT_FALSE(live.deliveredOnCallerThread());
  EXPECT_EQ(live.finalsOfEndedTasks(),
            (std::vector<std::string>{"Go forward ten meters.", "Go forward ten meters.", ""}));
  // A partial comes only when the words change.
  auto tasks = live.log();
  const std::vector<std::string> partials = {"Go", "Go forward", "Go forward ten",
                                             "Go forward ten meters"};
  EXPECT_EQ(tasks.at(0).partials, partials);
  EXPECT_EQ(tasks.at(1).partials, partials);
}

// Holds the worker in the delivery of the first final result: after the engine has decided to
// end the task at a pause, before the recogniser has seen the result.
class HeldAtFirstFinal : public Recognizer {
 public:
  explicit HeldAtFirstFinal(std::shared_ptr<Recognizer> inner) : inner_(std::move(inner)) {}

  bool isAvailable() const override { return true; }
  bool supportsOnDeviceRecognition() const override { return true; }
  std::shared_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<AudioBufferRecognitionRequest> request, ResultHandler handler) override {
    if (tasks_++ == 0) firstRequest = request;
    return inner_->recognitionTask(
        std::move(request),
        [this, handler](const std::optional<Result>& result, const std::optional<Error>& error) {
          if (result && result->isFinal && !held_.exchange(true)) {
            reached.set_value();
            release.wait();
          }
          handler(result, error);
        });
  }
  std::shared_ptr<RecognitionTask> recognitionTask(const UrlRecognitionRequest& request,
                                                   ResultHandler handler) override {
    return inner_->recognitionTask(request, std::move(handler));
  }

  std::shared_ptr<AudioBufferRecognitionRequest> firstRequest;  // set before any result
  std::promise<void> reached;
  std::shared_future<void> release;

 private:
  const std::shared_ptr<Recognizer> inner_;
  std::atomic<int> tasks_{0};
  std::atomic<bool> held_{false};
};

// "stop" may end the audio just as the engine ends a task at a pause; the words after the pause
// are still in the text.
TEST_F(RecognitionWorkerTest, AudioEndedWhileATaskEndsAtAPauseIsStillHeard) {
  auto held = std::make_shared<HeldAtFirstFinal>(recognizer);
  std::promise<void> release;
  held->release = release.get_future().share();
  auto source = std::make_shared<SourceRecognizer>("mic", "en-US", held);
  source->start(nullptr, nullptr);
  for (const auto& buffer : buffersOf(joined({kSentence, said({3, 4})}))) source->feed(buffer);
  ASSERT_EQ(held->reached.get_future().wait_for(testing::kResultWait), std::future_status::ready);
  auto text =
      std::async(std::launch::async, [&] { return source->endAudioAndWait(testing::kResultWait); });
  EXPECT_TRUE(testing::waitUntil([&] { return held->firstRequest->audioEnded(); }));
  release.set_value();
  EXPECT_EQ(text.get(), "Go forward ten meters. Ten meters.");
}

TEST_F(RecognitionWorkerTest, EndOfAudioGivesTheFinalResultOfWhatWasHeard) {
  auto request = liveRequest();
  Collector collector;
  auto task = recognizer->recognitionTask(request, collector.handler());
  EXPECT_EQ(task->state(), TaskState::running);
  for (const auto& buffer : buffersOf(said({1, 2, 3}))) request->append(buffer);
  request->endAudio();
  request->append(buffersOf(said({4}))[0]);  // after the end: dropped
  auto outcome = collector.outcome();
  ASSERT_TRUE(outcome && outcome->result);
  EXPECT_EQ(outcome->result->bestTranscription.formattedString, "Go forward ten.");
  EXPECT_TRUE(waitUntilNotRunning(*task));
  EXPECT_EQ(task->state(), TaskState::completed);
}

TEST_F(RecognitionWorkerTest, AudioQueuedBeforeTheEndIsAllInTheFinalResult) {
  auto request = liveRequest();
  for (const auto& buffer : buffersOf(joined({kSentence, kSentence}))) request->append(buffer);
  request->endAudio();
  Collector collector;
  recognizer->recognitionTask(request, collector.handler());
  auto outcome = collector.outcome();
  ASSERT_TRUE(outcome && outcome->result);
  EXPECT_EQ(outcome->result->bestTranscription.formattedString,
            "Go forward ten meters. Go forward ten meters.");
  // Times stay in the time of the task's audio across its utterances.
  EXPECT_DOUBLE_EQ(outcome->result->bestTranscription.segments.at(4).timestamp, 0.7);
  size_t finals = 0;
  for (const auto& delivery : collector.deliveries()) finals += delivery.result->isFinal;
  EXPECT_EQ(finals, 1u);
}

TEST_F(RecognitionWorkerTest, NoAudioAtAllGivesAnEmptyFinalResult) {
  auto request = liveRequest();
  Collector collector;
  recognizer->recognitionTask(request, collector.handler());
  request->endAudio();
  auto outcome = collector.outcome();
  ASSERT_TRUE(outcome && outcome->result);
  EXPECT_TRUE(outcome->result->isFinal);
  EXPECT_EQ(outcome->result->bestTranscription.formattedString, "");
  EXPECT_TRUE(outcome->result->bestTranscription.segments.empty());
}

TEST_F(RecognitionWorkerTest, CancelStopsResultsAndTheRecogniserGoesOn) {
  auto buffers = buffersOf(kSentence);
  auto request = liveRequest();
  Collector collector;
  auto task = recognizer->recognitionTask(request, collector.handler());
  request->append(buffers[0]);
  ASSERT_TRUE(collector.waitForCount(1));
  task->cancel();
  auto afterCancel = collector.deliveries().size();
  EXPECT_NE(task->state(), TaskState::running);
  for (size_t i = 1; i < buffers.size(); ++i) request->append(buffers[i]);
  request->endAudio();
  // The next task on the same recogniser runs after the cancelled one has stopped.
  auto next = liveRequest();
  Collector nextCollector;
  recognizer->recognitionTask(next, nextCollector.handler());
  for (const auto& buffer : buffers) next->append(buffer);
  next->endAudio();
  auto outcome = nextCollector.outcome();
  ASSERT_TRUE(outcome && outcome->result);
  EXPECT_EQ(outcome->result->bestTranscription.formattedString, "Go forward ten meters.");

  EXPECT_EQ(collector.deliveries().size(), afterCancel);
  EXPECT_EQ(task->state(), TaskState::completed);
  for (const auto& delivery : collector.deliveries()) {
    ASSERT_TRUE(delivery.result);
    EXPECT_FALSE(delivery.result->isFinal);
  }
}

TEST_F(RecognitionWorkerTest, TasksOfARecogniserRunInOrder) {
  std::mutex lock;
  std::vector<int> order;
  std::vector<std::shared_ptr<AudioBufferRecognitionRequest>> requests;
  std::vector<std::shared_ptr<RecognitionTask>> tasks;
  for (int n = 0; n < 3; ++n) {
    requests.push_back(liveRequest(false));
    tasks.push_back(recognizer->recognitionTask(
        requests.back(), [&, n](const std::optional<Result>& result, const std::optional<Error>&) {
          std::lock_guard<std::mutex> hold(lock);
          if (result && result->isFinal) order.push_back(n);
        }));
  }
  // The last request is complete first; its task still waits for the two before it.
  for (int n = 2; n >= 0; --n) {
    for (const auto& buffer : buffersOf(said({1, 2}))) requests[size_t(n)]->append(buffer);
    requests[size_t(n)]->endAudio();
  }
  for (const auto& task : tasks) EXPECT_TRUE(waitUntilNotRunning(*task));
  std::lock_guard<std::mutex> hold(lock);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST_F(RecognitionWorkerTest, AudioThatCannotBeDecodedIsAnErrorAndTheRecogniserGoesOn) {
  auto unconvertible =
      std::make_shared<audio::PcmBuffer>(audio::AudioFormat{audio::SampleFormat::s16, 0.0, 1}, 128);
  unconvertible->setFrameLength(128);
  const std::vector<int16_t> refused(512, testing::kRefused);
  files.files["refused"] = joined({said({1}), refused});
  struct Case {
    std::string name;
    std::optional<audio::PcmBufferPtr> buffer;  // a buffer-fed request, else the file `name`
    int64_t code;
  };
  const Case cases[] = {{"a buffer nobody can convert", unconvertible, kErrorAudioFormat},
                        {"a buffer the decoder refuses", buffersOf(refused)[0], kErrorDecoder},
                        {"refused", std::nullopt, kErrorDecoder},
                        {"missing", std::nullopt, kErrorAudioUnreadable}};
  for (const auto& c : cases) {
    Collector collector;
    std::shared_ptr<RecognitionTask> task;
    if (c.buffer) {
      auto request = liveRequest();
      task = recognizer->recognitionTask(request, collector.handler());
      request->append(*c.buffer);
    } else {
      task = recognizer->recognitionTask(UrlRecognitionRequest{c.name}, collector.handler());
    }
    auto outcome = collector.outcome();
    ASSERT_TRUE(outcome && outcome->error) << c.name;
    EXPECT_EQ(outcome->error->code, c.code) << c.name;
    EXPECT_FALSE(outcome->error->description.empty()) << c.name;
    EXPECT_TRUE(waitUntilNotRunning(*task)) << c.name;
  }
}

TEST_F(RecognitionWorkerTest, RecognisersComeAndGoWithoutHangingOrLateResults) {
  auto buffers = buffersOf(kSentence);
  pool->prepare(2);
  auto results = std::make_shared<std::atomic<int>>(0);
  for (int round = 0; round < 6; ++round) {
    auto goes = makeRecognizer();
    auto request = liveRequest();
    auto task = goes->recognitionTask(
        request,
        [results](const std::optional<Result>&, const std::optional<Error>&) { ++*results; });
    // Queued behind the first and never begun.
    goes->recognitionTask(liveRequest(), [results](const auto&, const auto&) { ++*results; });
    for (size_t i = 0; i < 3; ++i) request->append(buffers[i]);
    goes.reset();  // joins the recogniser's thread; its tasks are cancelled
    EXPECT_NE(task->state(), TaskState::running);
  }
  int settled = results->load();
  std::this_thread::sleep_for(kLateResultWindow);
  EXPECT_EQ(results->load(), settled);
  // Decoders go back to the pool with their recogniser and serve the next one.
  EXPECT_LE(decodersLoaded.load(), 2);
}

TEST_F(RecognitionWorkerTest, TheRecogniserMadeFirstTakesTheReadyDecoderAndTheNextLoadsItsOwn) {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> loads{0};
  auto gated = std::make_shared<DecoderPool>([&](std::string&) {
    if (loads++ > 0) opened.wait();  // every load after the first waits for the test
    return std::make_unique<testing::ScriptedDecoder>(kWords);
  });
  gated->prepare(1);
  std::string error;
  gated->giveBack(gated->take(error));  // loaded ahead, and idle
  auto first = std::make_shared<WorkerRecognizer>(gated, files.audio(), true);
  auto second = std::make_shared<WorkerRecognizer>(gated, files.audio(), true);
  // Opened before the recognisers go, however the test ends: a worker may wait in the loader.
  std::unique_ptr<std::promise<void>, void (*)(std::promise<void>*)> openAtEnd(
      &gate, [](std::promise<void>* g) {
        try {
          g->set_value();
        } catch (const std::future_error&) {
        }
      });

  auto say = [](Recognizer& recognizer, Collector& collector) {
    auto audio = liveRequest(false);
    recognizer.recognitionTask(audio, collector.handler());
    for (const auto& buffer : buffersOf(kSentence)) audio->append(buffer);
    audio->endAudio();
  };
  Collector heardFirst, heardSecond;
  say(*second, heardSecond);
  say(*first, heardFirst);
  auto outcome = heardFirst.outcome();
  ASSERT_TRUE(outcome && outcome->result);
  EXPECT_EQ(outcome->result->bestTranscription.formattedString, "Go forward ten meters.");
  EXPECT_TRUE(heardSecond.deliveries().empty()) << "the second waits for a decoder of its own";
  gate.set_value();
  outcome = heardSecond.outcome();
  ASSERT_TRUE(outcome && outcome->result);
  EXPECT_EQ(outcome->result->bestTranscription.formattedString, "Go forward ten meters.");
  EXPECT_EQ(loads.load(), 2);
}

TEST_F(RecognitionWorkerTest, AResultHandlerMayLetGoOfItsRecogniser) {
  std::promise<void> released;
  auto request = liveRequest();
  auto holder = std::make_shared<std::shared_ptr<Recognizer>>(recognizer);
  recognizer->recognitionTask(request, [holder, &released](const std::optional<Result>& result,
                                                           const std::optional<Error>&) {
    if (result && result->isFinal) {
      holder->reset();
      released.set_value();
    }
  });
  recognizer.reset();
  request->endAudio();
  EXPECT_EQ(released.get_future().wait_for(testing::kResultWait), std::future_status::ready);
}

// Decoders that share the engine take turns: one that asks again at once after its turn waits
// behind the one that was waiting.
TEST(TakingTurns, TheLockGoesToWhoeverAskedFirst) {
  TakingTurns turns;
  std::vector<std::string> order;
  turns.lock();
  std::thread other([&] {
    std::lock_guard<TakingTurns> turn(turns);
    order.push_back("other");
  });
  while (turns.queued() < 2) std::this_thread::yield();
  turns.unlock();
  turns.lock();
  order.push_back("again");
  turns.unlock();
  other.join();
  EXPECT_EQ(order, (std::vector<std::string>{"other", "again"}));
}

}  // namespace
}  // namespace kavri::speech
