// One speech recogniser per live audio source: keeps the text recognised so far, reports it after
// every partial result, restarts recognition by itself whenever the service ends a task, and at
// the end drains the last task.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "audio/pcm_buffer.h"
#include "speech/speech_service.h"

namespace kavri {

class SourceRecognizer : public std::enable_shared_from_this<SourceRecognizer> {
 public:
  using PartialCallback = std::function<void(const std::string& text)>;
  using ErrorCallback = std::function<void(const speech::Error& error)>;
  // Called on the capture thread whenever audio nobody has read yet had to be dropped.
  using AudioDroppedCallback = std::function<void()>;

  // How long endAudioAndWait() waits for the last task, and how often it looks at the task when
  // no last result wakes it.
  static constexpr std::chrono::milliseconds kDefaultFinalWait{8000};
  static constexpr std::chrono::milliseconds kTaskPollInterval{100};
  // A transcription that is neither a continuation nor a prefix of a live text of at least this
  // many characters, and is less than half as long, means the service started a new stretch
  // inside the same task: the old text is committed before it is overwritten.
  static constexpr size_t kResetMinCharacters = 80;
  // Unread audio kept per source when recognition cannot keep up, or is held up because results
  // cannot be written; beyond it the oldest audio is dropped (about 115 MB an hour otherwise).
  static constexpr std::chrono::minutes kMaxUnreadAudio{5};

  // Null when the service has no recogniser for the locale or it is not available.
  static std::shared_ptr<SourceRecognizer> make(
      speech::SpeechService& service, std::string label, const std::string& localeId,
      std::chrono::milliseconds maxUnreadAudio = kMaxUnreadAudio);

  static std::shared_ptr<speech::AudioBufferRecognitionRequest> makeRequest(
      const speech::Recognizer& recognizer);

  // Stores the callbacks (replacing earlier ones) and starts the first task.
  void start(PartialCallback onPartial, ErrorCallback onError,
             AudioDroppedCallback onAudioDropped = nullptr);
  // Hands the buffer, unchanged, to the request that is current at this instant. Audio threads.
  void feed(audio::PcmBufferPtr buffer);
  // Ends the audio of the current request, waits up to `timeout` for the current task to leave
  // the running state, and returns the whole text. Blocks the caller.
  std::string endAudioAndWait(std::chrono::milliseconds timeout = kDefaultFinalWait);
  // The two halves of endAudioAndWait(), so that an owner of several recognisers can end all
  // their audio before it waits for any: their last decodes then overlap.
  void endAudio();
  std::string waitForLastTask(std::chrono::steady_clock::time_point deadline);
  // No more tasks; the current one is cancelled. Calls no callback.
  void cancel();

  const std::string& label() const { return label_; }
  const std::string& localeId() const { return localeId_; }
  // The whole text so far, and the number of tasks started; for the owner and for tests.
  std::string text() const;
  int64_t generation() const;

  SourceRecognizer(std::string label, std::string localeId,
                   std::shared_ptr<speech::Recognizer> recognizer,
                   std::chrono::milliseconds maxUnreadAudio = kMaxUnreadAudio);

 private:
  void startTask();
  std::shared_ptr<speech::AudioBufferRecognitionRequest> newRequest() const;
  void handleResult(int64_t generation, const std::optional<speech::Result>& result,
                    const std::optional<speech::Error>& error);
  std::string combined() const;  // requires lock_
  void commitLiveLocked();       // requires lock_

  const std::string label_;
  const std::string localeId_;
  const std::shared_ptr<speech::Recognizer> recognizer_;
  const std::chrono::milliseconds maxUnreadAudio_;

  mutable std::mutex lock_;
  std::shared_ptr<speech::AudioBufferRecognitionRequest> request_;
  std::shared_ptr<speech::RecognitionTask> task_;
  // The generation whose task is stored in task_; lags generation_ while a task is being made.
  int64_t taskGeneration_ = 0;
  // A final result has swapped the request and its handler is about to start the next task; the
  // end-of-audio wait must not take the finished task for the last one meanwhile.
  bool restartPending_ = false;
  std::string committedText_;
  std::string liveText_;
  PartialCallback onPartialCb_;
  ErrorCallback onErrorCb_;
  AudioDroppedCallback onAudioDroppedCb_;
  bool stopping_ = false;
  bool cancelled_ = false;
  // The current task has given its final result or an error, and no task follows it.
  bool lastTaskEnded_ = false;
  std::condition_variable lastResultIn_;
  int64_t generation_ = 0;
};

}  // namespace kavri
