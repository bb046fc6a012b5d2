// One recognition job on a recogniser's worker thread: its task, its request, and the decoding
// of its audio utterance by utterance.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "speech/audio_file.h"
#include "speech/decoder.h"
#include "speech/resampler.h"
#include "speech/speech_service.h"

namespace kavri::speech {

// Error codes of the engine's recognition errors.
inline constexpr int64_t kErrorAudioUnreadable = 1;   // the file cannot be decoded
inline constexpr int64_t kErrorModelUnavailable = 2;  // the model is missing or will not load
inline constexpr int64_t kErrorDecoder = 3;           // the decoder refused the audio
inline constexpr int64_t kErrorAudioFormat = 4;       // a buffer in a format nobody can convert

// Null, with the reason in `error`, when audio at `inputRate` cannot be brought to the engine's.
using ResamplerFactory =
    std::function<std::unique_ptr<Resampler>(double inputRate, std::string& error)>;

class WorkerTask : public RecognitionTask {
 public:
  WorkerTask(std::thread::id workerThread, std::shared_ptr<AudioBufferRecognitionRequest> request)
      : workerThread_(workerThread), request_(std::move(request)) {}

  TaskState state() const override { return state_.load(); }
  void cancel() override;

  bool isCancelled() const { return cancelled_.load(); }
  // Calls the handler unless the task was cancelled.
  void deliver(const ResultHandler& handler, const std::optional<Result>& result,
               const std::optional<Error>& error);
  // The task has delivered all it will deliver.
  void complete() { state_ = TaskState::completed; }

 private:
  const std::thread::id workerThread_;
  const std::shared_ptr<AudioBufferRecognitionRequest> request_;
  // Queued tasks count as running: a caller that ends the audio and waits for the task to stop
  // running must also wait for a task that has not begun yet.
  std::atomic<TaskState> state_{TaskState::running};
  std::atomic<bool> cancelled_{false};
  std::mutex deliveryLock_;
};

using RequestQueue = std::deque<std::shared_ptr<AudioBufferRecognitionRequest>>;

struct RecognitionJob {
  std::shared_ptr<WorkerTask> task;
  std::shared_ptr<AudioBufferRecognitionRequest> buffers;  // a buffer-fed request, or
  std::optional<UrlRecognitionRequest> file;               // a file request
  ResultHandler handler;
  // Audio that earlier tasks' requests still held when those tasks ended at the end of an
  // utterance, oldest first; it was spoken before anything in this task's own request.
  RequestQueue carriedOver;

  void fail(int64_t code, std::string description) {
    task->deliver(handler, std::nullopt, Error{code, std::move(description)});
  }
};

// Decodes a file utterance by utterance into one final result, with a partial result at each
// utterance end when the request asks for them.
void decodeFile(Decoder& decoder, AudioFileReader& reader, RecognitionJob& job);

// Decodes a buffer-fed request, the carried-over requests first, with a partial result whenever
// the words change. The task ends with its final result at the end of its audio, or at the end
// of an utterance with words in it: then whatever is still unread goes to `unread`, before the
// final result is delivered, so that a task started from the result handler continues with it.
void decodeBuffers(Decoder& decoder, const ResamplerFactory& makeResampler, RecognitionJob& job,
                   RequestQueue& unread);

}  // namespace kavri::speech
