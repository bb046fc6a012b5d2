// What recognition tasks deliver, collected for speech engine tests: every result and error with
// the thread it came on, and a live feed that restarts its task after every final result, from
// inside the result handler, the way the live recogniser does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "speech/speech_service.h"

namespace kavri::testing {

using namespace std::chrono_literals;
// Generous: the machine is shared and the real engine may be slow on it.
inline constexpr std::chrono::seconds kResultWait = 120s;

struct Delivery {
  std::optional<speech::Result> result;
  std::optional<speech::Error> error;
  std::thread::id thread;
};

class Collector {
 public:
  speech::ResultHandler handler() {
    return [this](const std::optional<speech::Result>& result,
                  const std::optional<speech::Error>& error) {
      std::lock_guard<std::mutex> hold(lock_);
      deliveries_.push_back({result, error, std::this_thread::get_id()});
      changed_.notify_all();
    };
  }

  // Waits for a final result or an error.
  std::optional<Delivery> outcome(std::chrono::seconds timeout = kResultWait) {
    std::unique_lock<std::mutex> hold(lock_);
    std::optional<Delivery> found;
    changed_.wait_for(hold, timeout, [&] {
      for (const auto& delivery : deliveries_) {
        if (delivery.error || (delivery.result && delivery.result->isFinal)) {
          found = delivery;
          return true;
        }
      }
      return false;
    });
    return found;
  }

  bool waitForCount(size_t count, std::chrono::seconds timeout = kResultWait) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, timeout, [&] { return deliveries_.size() >= count; });
  }

  std::vector<Delivery> deliveries() {
    std::lock_guard<std::mutex> hold(lock_);
    return deliveries_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Delivery> deliveries_;
};

inline bool waitUntilNotRunning(const speech::RecognitionTask& task,
                                std::chrono::seconds timeout = kResultWait) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (task.state() == speech::TaskState::running) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Buffers of `frames` frames of 16 kHz mono 16-bit audio, as a microphone tap delivers them.
inline std::vector<audio::PcmBufferPtr> buffersOf(const std::vector<int16_t>& samples,
                                                  uint32_t frames = 1024) {
  const audio::AudioFormat format{audio::SampleFormat::s16, 16000.0, 1};
  std::vector<audio::PcmBufferPtr> buffers;
  for (size_t at = 0; at < samples.size(); at += frames) {
    auto count = static_cast<uint32_t>(std::min<size_t>(frames, samples.size() - at));
    auto buffer = std::make_shared<audio::PcmBuffer>(format, count);
    std::memcpy(buffer->data(), samples.data() + at, count * sizeof(int16_t));
    buffer->setFrameLength(count);
    buffers.push_back(buffer);
  }
  return buffers;
}

// Feeds audio the way a live source does and starts the next task after every final result.
class LiveFeed {
 public:
  explicit LiveFeed(std::shared_ptr<speech::Recognizer> recognizer)
      : recognizer_(std::move(recognizer)) {
    std::lock_guard<std::mutex> hold(lock_);
    startTaskLocked();
  }

  void feed(const audio::PcmBufferPtr& buffer) {
    std::shared_ptr<speech::AudioBufferRecognitionRequest> request;
    {
      std::lock_guard<std::mutex> hold(lock_);
      request = request_;
    }
    request->append(buffer);
  }

  void endAudio() {
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
    request_->endAudio();
  }

  // Waits until `count` final results with words in them have come.
  bool waitForSpokenFinals(size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kResultWait, [&] { return spokenFinals_ >= count; });
  }

  // Waits until the task on the ended request has given its final result.
  bool waitForEnd() {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kResultWait, [this] { return finishedEnded_; });
  }

  struct TaskLog {
    std::vector<std::string> partials;
    std::vector<std::string> finals;
    std::vector<speech::Error> errors;
    std::shared_ptr<speech::RecognitionTask> task;
  };
  std::vector<TaskLog> log() {
    std::lock_guard<std::mutex> hold(lock_);
    return tasks_;
  }
  std::string shown() {
    std::string text;
    for (const auto& task : log()) {
      text += "task:";
      for (const auto& partial : task.partials) text += " [" + partial + "]";
      for (const auto& final : task.finals) text += " final [" + final + "]";
      text += "\n";
    }
    return text;
  }
  bool deliveredOnCallerThread() const { return onCallerThread_; }

  // The final result of every task, once each has ended with exactly one final result and no
  // error; no partial result on the way ends a sentence.
  std::vector<std::string> finalsOfEndedTasks() {
    std::vector<std::string> finals;
    for (const auto& task : log()) {
      EXPECT_TRUE(task.errors.empty());
      EXPECT_EQ(task.finals.size(), 1u) << "a final result ends its task";
      finals.push_back(task.finals.empty() ? "<none>" : task.finals[0]);
      EXPECT_TRUE(waitUntilNotRunning(*task.task));
      EXPECT_EQ(task.task->state(), speech::TaskState::completed);
      for (const auto& partial : task.partials) {
        EXPECT_FALSE(partial.empty());
        EXPECT_NE(partial.back(), '.') << "a partial result is an unfinished sentence";
      }
    }
    return finals;
  }

 private:
  void startTaskLocked() {
    size_t index = tasks_.size();
    tasks_.emplace_back();
    auto request = std::make_shared<speech::AudioBufferRecognitionRequest>();
    request->shouldReportPartialResults = true;
    request->addsPunctuation = true;
    if (ended_) request->endAudio();
    request_ = request;
    tasks_[index].task = recognizer_->recognitionTask(
        request, [this, index, request](const std::optional<speech::Result>& result,
                                        const std::optional<speech::Error>& error) {
          std::lock_guard<std::mutex> hold(lock_);
          if (std::this_thread::get_id() == caller_) onCallerThread_ = true;
          if (error) tasks_[index].errors.push_back(*error);
          if (!result) return;
          const auto& text = result->bestTranscription.formattedString;
          if (!result->isFinal) {
            tasks_[index].partials.push_back(text);
            return;
          }
          tasks_[index].finals.push_back(text);
          if (!text.empty()) ++spokenFinals_;
          changed_.notify_all();
          if (request->audioEnded()) {
            finishedEnded_ = true;
            changed_.notify_all();
          } else {
            startTaskLocked();
          }
        });
  }

  const std::thread::id caller_ = std::this_thread::get_id();
  std::shared_ptr<speech::Recognizer> recognizer_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::shared_ptr<speech::AudioBufferRecognitionRequest> request_;
  std::vector<TaskLog> tasks_;
  bool ended_ = false;
  bool finishedEnded_ = false;
  size_t spokenFinals_ = 0;
  std::atomic<bool> onCallerThread_{false};
};

}  // namespace kavri::testing
