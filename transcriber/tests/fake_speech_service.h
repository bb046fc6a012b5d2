// A speech service whose tasks do nothing by themselves: the test delivers every result and
// error, from whatever thread it likes, and decides what state each task reports. What the
// seam promises still holds, as the contract suite checks: authorisation is answered later on a
// thread of the service, a cancelled task delivers nothing more, and a recogniser's tasks deliver
// in the order they were started (a delivery to a task waits while an earlier task is open).
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech/speech_service.h"

namespace kavri::testing {

class FakeTask : public speech::RecognitionTask {
 public:
  speech::TaskState state() const override { return state_.load(); }
  void cancel() override {
    if (beforeCancel) beforeCancel();
    cancelCount_++;
    {
      // Waits for a handler call in progress on another thread, so that none starts after
      // cancel() returns.
      std::lock_guard<std::recursive_mutex> hold(deliveryLock_);
      cancelled_ = true;
    }
    if (state_ != speech::TaskState::completed) state_ = speech::TaskState::canceling;
    if (onEnded) onEnded();
  }
  void setState(speech::TaskState state) {
    state_ = state;
    if (state == speech::TaskState::completed && onEnded) onEnded();
  }
  void markCompleted() { state_ = speech::TaskState::completed; }
  int cancelCount() const { return cancelCount_.load(); }
  // Neither cancelled nor completed: later tasks of its recogniser wait for it.
  bool isOpen() const { return !cancelled_ && state_ != speech::TaskState::completed; }

  // Calls the handler unless the task was cancelled.
  void deliver(const speech::ResultHandler& handler, const std::optional<speech::Result>& result,
               const std::optional<speech::Error>& error) {
    std::lock_guard<std::recursive_mutex> hold(deliveryLock_);
    if (!cancelled_) handler(result, error);
  }

  // Set by a test: runs as cancel() begins, the last moment at which a result can still reach
  // the handler, the way one that races with the cancel does.
  std::function<void()> beforeCancel;
  std::function<void()> onEnded;  // set by the recogniser

 private:
  std::atomic<speech::TaskState> state_{speech::TaskState::running};
  std::atomic<int> cancelCount_{0};
  std::atomic<bool> cancelled_{false};
  // Recursive: a handler may cancel its own task, or have a result delivered to it again.
  std::recursive_mutex deliveryLock_;
};

class FakeRecognizer : public speech::Recognizer,
                       public std::enable_shared_from_this<FakeRecognizer> {
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
    task->onEnded = [weak = weak_from_this()] {
      if (auto self = weak.lock()) self->flush();
    };
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
  // The task completes with its final result or its error.
  void final(size_t index, const std::string& text) { send({index, result(text, true), {}, true}); }
  void deliver(size_t index, const std::string& text, bool isFinal,
               std::optional<speech::Error> error = std::nullopt) {
    send({index, result(text, isFinal), std::move(error), false});
  }
  void error(size_t index, int64_t code, const std::string& description) {
    send({index, std::nullopt, speech::Error{code, description}, true});
  }

 private:
  struct Delivery {
    size_t index;
    std::optional<speech::Result> result;
    std::optional<speech::Error> error;
    bool completes;
  };

  static speech::Result result(const std::string& text, bool isFinal) {
    speech::Result result;
    result.isFinal = isFinal;
    result.bestTranscription.formattedString = text;
    return result;
  }

  void send(Delivery delivery) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      held_.push_back(std::move(delivery));
    }
    flush();
  }

  // Hands over, oldest first, every held delivery whose earlier tasks have all ended.
  void flush() {
    for (;;) {
      Delivery next;
      TaskRecord record;
      {
        std::lock_guard<std::mutex> hold(lock_);
        auto ready = held_.begin();
        while (ready != held_.end() && anyOpenBefore(ready->index)) ++ready;
        if (ready == held_.end()) return;
        next = std::move(*ready);
        held_.erase(ready);
        record = tasks_.at(next.index);
      }
      // Completed before its handler runs: a caller waiting for the state sees the result.
      if (next.completes) record.task->markCompleted();
      record.task->deliver(record.handler, next.result, next.error);
    }
  }

  bool anyOpenBefore(size_t index) const {
    for (size_t i = 0; i < index && i < tasks_.size(); ++i) {
      if (tasks_[i].task->isOpen()) return true;
    }
    return false;
  }

  mutable std::mutex lock_;
  std::vector<TaskRecord> tasks_;
  std::deque<Delivery> held_;
};

class FakeSpeechService : public speech::SpeechService {
 public:
  int status = speech::kAuthorized;
  // Recognisers handed out per locale, in order; a locale missing here is unsupported.
  std::map<std::string, std::vector<std::shared_ptr<FakeRecognizer>>> recognizers;

  std::shared_ptr<FakeRecognizer> addRecognizer(const std::string& localeId = "en-US") {
    auto recognizer = std::make_shared<FakeRecognizer>();
    std::lock_guard<std::mutex> hold(lock_);
    recognizers[localeId].push_back(recognizer);
    return recognizer;
  }

  int authorizationStatus() override { return status; }
  void requestAuthorization(std::function<void(int)> handler) override {
    answers_.answer(std::move(handler), status);
  }
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
  speech::AuthorizationAnswers answers_;
};

}  // namespace kavri::testing
