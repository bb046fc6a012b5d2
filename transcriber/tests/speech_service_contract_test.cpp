// What every speech service promises its callers, checked on the fake that the logic's tests use
// and on the real engine, so that the fake cannot drift from it.
#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "fake_speech_service.h"
#include "speech/speech_service_pocketsphinx.h"
#include "task_results.h"
#include "testing/recordings.h"

// The backends live outside any namespace so that the test names read "<FakeBackend>".
namespace speech = kavri::speech;

// Each backend makes its recognisers' tasks hear something: the fake is told what it heard, the
// engine is given a recording.
class FakeBackend {
 public:
  std::shared_ptr<speech::SpeechService> service() { return service_; }
  std::shared_ptr<speech::Recognizer> makeRecognizer() {
    fake_ = service_->addRecognizer();
    return service_->makeRecognizer("en-US");
  }
  // Enough words for a result, into the request of the recogniser's `task`-th task.
  void speak(size_t task, speech::AudioBufferRecognitionRequest&) {
    fake_->partial(task, "go forward");
  }
  void finish(size_t task, speech::AudioBufferRecognitionRequest& request) {
    request.endAudio();
    fake_->final(task, "Go forward.");
  }

 private:
  std::shared_ptr<kavri::testing::FakeSpeechService> service_ =
      std::make_shared<kavri::testing::FakeSpeechService>();
  std::shared_ptr<kavri::testing::FakeRecognizer> fake_;
};

class PocketSphinxBackend {
 public:
  PocketSphinxBackend() {
    if (!speech::PocketSphinxModel::installed().isInstalled()) return;
    std::ifstream in(kavri::testing::recording(kavri::testing::kGoForwardRaw), std::ios::binary);
    std::vector<int16_t> samples;
    for (int16_t sample; in.read(reinterpret_cast<char*>(&sample), sizeof sample);) {
      samples.push_back(sample);
    }
    // "go forward", about a second and a half of it.
    samples.resize(std::min<size_t>(samples.size(), 24000));
    speech_ = kavri::testing::buffersOf(samples);
    if (!speech_.empty()) service_ = speech::makePocketSphinxSpeechService();
  }
  std::shared_ptr<speech::SpeechService> service() { return service_; }
  std::shared_ptr<speech::Recognizer> makeRecognizer() { return service_->makeRecognizer("en-US"); }
  void speak(size_t, speech::AudioBufferRecognitionRequest& request) {
    for (const auto& buffer : speech_) request.append(buffer);
  }
  void finish(size_t, speech::AudioBufferRecognitionRequest& request) { request.endAudio(); }

 private:
  std::vector<kavri::audio::PcmBufferPtr> speech_;
  std::shared_ptr<speech::SpeechService> service_;
};

namespace kavri::speech {
namespace {

using testing::Collector;

template <typename Backend>
class SpeechServiceContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!backend.service()) GTEST_SKIP() << "the engine's model or its recordings are missing";
  }

  static std::shared_ptr<AudioBufferRecognitionRequest> request() {
    auto request = std::make_shared<AudioBufferRecognitionRequest>();
    request->shouldReportPartialResults = true;
    request->addsPunctuation = true;
    return request;
  }

  Backend backend;
};

using Backends = ::testing::Types<FakeBackend, PocketSphinxBackend>;
TYPED_TEST_SUITE(SpeechServiceContract, Backends);

TYPED_TEST(SpeechServiceContract, AuthorizationIsAnsweredOnceOnAThreadOfTheService) {
  auto service = this->backend.service();
  const int status = service->authorizationStatus();
  std::mutex lock;
  std::vector<std::pair<int, std::thread::id>> answers;
  std::promise<void> answered;
  service->requestAuthorization([&](int answer) {
    std::lock_guard<std::mutex> hold(lock);
    answers.emplace_back(answer, std::this_thread::get_id());
    if (answers.size() == 1) answered.set_value();
  });
  ASSERT_EQ(answered.get_future().wait_for(testing::kResultWait), std::future_status::ready);
  // Going away waits for the thread that answered.
  service.reset();
  this->backend = TypeParam();
  std::lock_guard<std::mutex> hold(lock);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].first, status);
  EXPECT_NE(answers[0].second, std::this_thread::get_id());
}

TYPED_TEST(SpeechServiceContract, NothingIsDeliveredAfterCancel) {
  auto recognizer = this->backend.makeRecognizer();
  auto request = this->request();
  Collector collector;
  auto task = recognizer->recognitionTask(request, collector.handler());
  this->backend.speak(0, *request);
  ASSERT_TRUE(collector.waitForCount(1));
  task->cancel();
  const auto delivered = collector.deliveries().size();
  EXPECT_NE(task->state(), TaskState::running);
  this->backend.speak(0, *request);
  this->backend.finish(0, *request);
  // The next task's final result comes after everything the cancelled task could still do.
  auto next = this->request();
  Collector nextCollector;
  recognizer->recognitionTask(next, nextCollector.handler());
  this->backend.speak(1, *next);
  this->backend.finish(1, *next);
  auto outcome = nextCollector.outcome();
  ASSERT_TRUE(outcome && outcome->result);
  EXPECT_EQ(collector.deliveries().size(), delivered);
}

TYPED_TEST(SpeechServiceContract, TasksDeliverInTheOrderTheyWereStarted) {
  auto recognizer = this->backend.makeRecognizer();
  std::mutex lock;
  std::vector<std::pair<size_t, bool>> deliveries;  // task and whether final
  std::vector<std::shared_ptr<AudioBufferRecognitionRequest>> requests;
  std::vector<std::shared_ptr<RecognitionTask>> tasks;
  for (size_t n = 0; n < 3; ++n) {
    requests.push_back(this->request());
    tasks.push_back(recognizer->recognitionTask(
        requests.back(), [&, n](const std::optional<Result>& result, const std::optional<Error>&) {
          std::lock_guard<std::mutex> hold(lock);
          deliveries.emplace_back(n, result && result->isFinal);
        }));
  }
  // The last task hears all its audio first; it still waits for the two before it.
  for (size_t n = 3; n-- > 0;) {
    this->backend.speak(n, *requests[n]);
    this->backend.finish(n, *requests[n]);
  }
  for (const auto& task : tasks) EXPECT_TRUE(testing::waitUntilNotRunning(*task));
  std::lock_guard<std::mutex> hold(lock);
  std::vector<size_t> finals;
  for (size_t i = 0; i < deliveries.size(); ++i) {
    if (i > 0) {
      EXPECT_GE(deliveries[i].first, deliveries[i - 1].first) << "delivery " << i;
    }
    if (deliveries[i].second) finals.push_back(deliveries[i].first);
  }
  EXPECT_EQ(finals, (std::vector<size_t>{0, 1, 2}));
}

}  // namespace
}  // namespace kavri::speech
