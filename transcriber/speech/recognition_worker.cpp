#include "speech/recognition_worker.h"

namespace kavri::speech {

std::shared_ptr<RecognitionWorker> RecognitionWorker::start(std::shared_ptr<DecoderPool> pool,
                                                            EngineAudio audio) {
  auto worker = std::make_shared<RecognitionWorker>(std::move(pool), std::move(audio));
  // A decoder that is ready goes to the recogniser made first, the microphone's when a session
  // has both sources, so that it hears its first words at once; the next one loads its own on
  // its thread, while its audio waits in its request.
  worker->ready_ = worker->pool_->takeIdle();
  worker->thread_ = std::thread([worker] { worker->run(); });
  worker->threadId_ = worker->thread_.get_id();
  return worker;
}

std::shared_ptr<RecognitionTask> RecognitionWorker::recognitionTask(
    std::shared_ptr<AudioBufferRecognitionRequest> request, ResultHandler handler) {
  auto task = std::make_shared<WorkerTask>(threadId_, request);
  submit(RecognitionJob{task, std::move(request), std::nullopt, std::move(handler), {}});
  return task;
}

std::shared_ptr<RecognitionTask> RecognitionWorker::recognitionTask(
    const UrlRecognitionRequest& request, ResultHandler handler) {
  auto task = std::make_shared<WorkerTask>(threadId_, nullptr);
  submit(RecognitionJob{task, nullptr, request, std::move(handler), {}});
  return task;
}

void RecognitionWorker::submit(RecognitionJob job) {
  // A buffer-fed task started from the handler of a final result that ended an utterance
  // continues where the last one stopped, so that audio queued after the pause is not lost.
  if (std::this_thread::get_id() == threadId_ && !unreadRequests_.empty() && job.buffers) {
    job.carriedOver = std::move(unreadRequests_);
    unreadRequests_.clear();
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!stopping_) {
      jobs_.push_back(std::move(job));
      job = RecognitionJob{};
    }
  }
  if (job.task) {
    // The recogniser is going away: the task ends before it begins.
    job.task->cancel();
    job.task->complete();
    return;
  }
  changed_.notify_one();
}

void RecognitionWorker::shutdown() {
  std::deque<RecognitionJob> dropped;
  std::shared_ptr<WorkerTask> running;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    dropped.swap(jobs_);
    running = current_;
  }
  changed_.notify_all();
  for (auto& job : dropped) {
    job.task->cancel();
    job.task->complete();
  }
  if (running) running->cancel();
  if (std::this_thread::get_id() == threadId_) {
    thread_.detach();
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

void RecognitionWorker::run() {
  for (;;) {
    RecognitionJob job;
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(hold, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) break;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      current_ = job.task;
    }
    if (!job.task->isCancelled()) {
      if (job.buffers) {
        runBufferJob(job);
      } else if (job.file) {
        runFileJob(job);
      } else {
        job.fail(kErrorAudioFormat, "the recognition request is missing");
      }
    }
    job.task->complete();
    {
      std::lock_guard<std::mutex> hold(lock_);
      current_.reset();
    }
    unreadRequests_.clear();
    // The job (and with it the handler) goes here, outside the lock: a handler may hold the
    // last reference to the recogniser.
  }
  pool_->giveBack(std::move(decoder_));
  pool_->giveBack(std::move(ready_));
}

bool RecognitionWorker::haveDecoder(RecognitionJob& job) {
  if (decoder_) return true;
  std::string error;
  decoder_ = ready_ ? std::move(ready_) : pool_->take(error);
  if (!decoder_) {
    job.fail(kErrorModelUnavailable, error);
    return false;
  }
  // A decoder that served another recogniser learnt another source's channel.
  decoder_->forgetChannel();
  return true;
}

void RecognitionWorker::runFileJob(RecognitionJob& job) {
  std::string error;
  auto reader = audio_.openFile(job.file->path, error);
  if (!reader) return job.fail(kErrorAudioUnreadable, error);
  if (!haveDecoder(job)) return;
  // What the decoder learnt of the channel helps a live source from one task to the next, but a
  // file must not come out differently for what the decoder heard before it.
  decoder_->forgetChannel();
  decodeFile(*decoder_, *reader, job);
}

void RecognitionWorker::runBufferJob(RecognitionJob& job) {
  if (!haveDecoder(job)) return;
  decodeBuffers(*decoder_, audio_.makeResampler, job, unreadRequests_);
}

}  // namespace kavri::speech
