// A recogniser's thread: runs its tasks one after another, in the order they were started, with
// one decoder that it reuses across them. Results are delivered on this thread. Platform-free: the
// engine comes in through the decoder seam, files and resampling through `EngineAudio`.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "speech/decoder_pool.h"
#include "speech/recognition_job.h"

namespace kavri::speech {

// How the worker reads files and brings buffers to the engine's rate: the platform's backends in
// the product, stand-ins in tests.
struct EngineAudio {
  std::function<std::unique_ptr<AudioFileReader>(const std::string& path, std::string& error)>
      openFile;
  ResamplerFactory makeResampler;
};

class RecognitionWorker : public std::enable_shared_from_this<RecognitionWorker> {
 public:
  static std::shared_ptr<RecognitionWorker> start(std::shared_ptr<DecoderPool> pool,
                                                  EngineAudio audio);

  std::shared_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<AudioBufferRecognitionRequest> request, ResultHandler handler);
  std::shared_ptr<RecognitionTask> recognitionTask(const UrlRecognitionRequest& request,
                                                   ResultHandler handler);

  // Stops the thread: queued tasks and the running one are cancelled. Joins, unless it is the
  // worker itself that lets go of its recogniser (from a result handler); it then finishes on
  // its own, keeping what it uses alive.
  void shutdown();

  RecognitionWorker(std::shared_ptr<DecoderPool> pool, EngineAudio audio)
      : pool_(std::move(pool)), audio_(std::move(audio)) {}

 private:
  void submit(RecognitionJob job);
  void run();
  void runFileJob(RecognitionJob& job);
  void runBufferJob(RecognitionJob& job);
  bool haveDecoder(RecognitionJob& job);

  const std::shared_ptr<DecoderPool> pool_;
  const EngineAudio audio_;
  std::thread thread_;
  std::thread::id threadId_;

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<RecognitionJob> jobs_;
  std::shared_ptr<WorkerTask> current_;
  bool stopping_ = false;

  // Touched only on the worker thread, and by start() before the thread begins.
  std::unique_ptr<Decoder> decoder_;
  std::unique_ptr<Decoder> ready_;  // taken from the pool at the start, not used yet
  RequestQueue unreadRequests_;
};

// A recogniser whose tasks run on a worker of its own. Letting go of it cancels its tasks.
class WorkerRecognizer : public Recognizer {
 public:
  WorkerRecognizer(std::shared_ptr<DecoderPool> pool, EngineAudio audio, bool available)
      : available_(available),
        worker_(RecognitionWorker::start(std::move(pool), std::move(audio))) {}
  ~WorkerRecognizer() override { worker_->shutdown(); }

  bool isAvailable() const override { return available_; }
  // The engine runs in this process.
  bool supportsOnDeviceRecognition() const override { return true; }

  std::shared_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<AudioBufferRecognitionRequest> request, ResultHandler handler) override {
    return worker_->recognitionTask(std::move(request), std::move(handler));
  }
  std::shared_ptr<RecognitionTask> recognitionTask(const UrlRecognitionRequest& request,
                                                   ResultHandler handler) override {
    return worker_->recognitionTask(request, std::move(handler));
  }

 private:
  const bool available_;
  const std::shared_ptr<RecognitionWorker> worker_;
};

}  // namespace kavri::speech
