// A speech service whose tasks do nothing by themselves: the test delivers every result and
// error, from whatever thread it likes, and decides what state each task reports.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "speech/speech_service.h"

namespace kavri::testing {

class FakeTask : public speech::RecognitionTask {
 public:
  speech::TaskState state() const override { return state_.load(); }
  void cancel() override {
    cancelCount_++;
    state_ = speech::TaskState::canceling;
  }
  void setState(speech::TaskState state) { state_ = state; }
  int cancelCount() const { return cancelCount_.load(); }

 private:
  std::atomic<speech::TaskState> state_{speech::TaskState::running};
  std::atomic<int> cancelCount_{0};
};

class FakeRecognizer : public speech::Recognizer {
 public:
  struct TaskRecord {
    std::shared_ptr<speech::AudioBufferRecognitionRequest> request;
    speech::ResultHandler handler;
    std::shared_ptr<FakeTask> task;
  };

  bool available = true;
  bool onDevice = true;
  // Called inside recognitionTask(), after the task is recorded, with its index; a test may
  // deliver results from here the way a quick service could.
  std::function<void(size_t index)> onTaskStarted;

  bool isAvailable() const override { return available; }
  bool supportsOnDeviceRecognition() const override { return onDevice; }

  std::shared_ptr<speech::RecognitionTask> recognitionTask(
      std::shared_ptr<speech::AudioBufferRecognitionRequest> request,
      speech::ResultHandler handler) override {
    auto task = std::make_shared<FakeTask>();
    size_t index = 0;
    {
      std::lock_guard<std::mutex> hold(lock_);
      tasks_.push_back({std::move(request), std::move(handler), task});
      index = tasks_.size() - 1;
    }
    if (onTaskStarted) onTaskStarted(index);
    return task;
  }
  std::shared_ptr<speech::RecognitionTask> recognitionTask(const speech::UrlRecognitionRequest&,
                                                           speech::ResultHandler) override {
    return nullptr;
  }

  size_t taskCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return tasks_.size();
  }
  TaskRecord task(size_t index) const {
    std::lock_guard<std::mutex> hold(lock_);
    return tasks_.at(index);
  }
  TaskRecord lastTask() const {
    std::lock_guard<std::mutex> hold(lock_);
    return tasks_.back();
  }

  void partial(size_t index, const std::string& text) { deliver(index, text, false); }
  void final(size_t index, const std::string& text) {
    task(index).task->setState(speech::TaskState::completed);
    deliver(index, text, true);
  }
  void deliver(size_t index, const std::string& text, bool isFinal,
               std::optional<speech::Error> error = std::nullopt) {
    speech::Result result;
    result.isFinal = isFinal;
    result.bestTranscription.formattedString = text;
    task(index).handler(result, error);
  }
  void error(size_t index, int64_t code, const std::string& description) {
    task(index).task->setState(speech::TaskState::completed);
    task(index).handler(std::nullopt, speech::Error{code, description});
  }

 private:
  mutable std::mutex lock_;
  std::vector<TaskRecord> tasks_;
};

class FakeSpeechService : public speech::SpeechService {
 public:
  int status = speech::kAuthorized;
  // Recognisers handed out per locale, in order; a locale missing here is unsupported.
  std::map<std::string, std::vector<std::shared_ptr<FakeRecognizer>>> recognizers;

  std::shared_ptr<FakeRecognizer> addRecognizer(const std::string& localeId = "en-US") {
    auto recognizer = std::make_shared<FakeRecognizer>();
    recognizers[localeId].push_back(recognizer);
    return recognizer;
  }

  int authorizationStatus() override { return status; }
  void requestAuthorization(std::function<void(int)> handler) override { handler(status); }
  std::shared_ptr<speech::Recognizer> makeRecognizer(const std::string& localeId) override {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = recognizers.find(localeId);
    if (it == recognizers.end() || it->second.empty()) return nullptr;
    auto recognizer = it->second.front();
    it->second.erase(it->second.begin());
    return recognizer;
  }

 private:
  std::mutex lock_;
};

}  // namespace kavri::testing
