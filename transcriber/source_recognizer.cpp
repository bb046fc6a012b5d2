#include "source_recognizer.h"

#include <algorithm>
#include <utility>

#include "locale_support.h"
#include "unicode_text.h"

namespace kavri {
namespace {

// Whether `previous` is to be committed before `next` replaces it as the live text.
bool startsNewStretch(const std::string& previous, const std::string& next) {
  // Characters never outnumber bytes, so short texts need no counting.
  if (previous.size() < SourceRecognizer::kResetMinCharacters) return false;
  size_t previousCount = text::graphemeCount(previous);
  if (previousCount < SourceRecognizer::kResetMinCharacters) return false;
  if (previousCount <= 2 * text::graphemeCount(next)) return false;
  return !text::hasCharacterPrefix(previous, next) && !text::hasCharacterPrefix(next, previous);
}

}  // namespace

SourceRecognizer::SourceRecognizer(std::string label, std::string localeId,
                                   std::shared_ptr<speech::Recognizer> recognizer,
                                   std::chrono::milliseconds maxUnreadAudio)
    : label_(std::move(label)),
      localeId_(std::move(localeId)),
      recognizer_(std::move(recognizer)),
      maxUnreadAudio_(maxUnreadAudio),
      request_(newRequest()) {}

std::shared_ptr<SourceRecognizer> SourceRecognizer::make(speech::SpeechService& service,
                                                         std::string label,
                                                         const std::string& localeId,
                                                         std::chrono::milliseconds maxUnreadAudio) {
  auto recognizer = recognizerForLocale(service, localeId);
  if (!recognizer || !recognizer->isAvailable()) return nullptr;
  return std::make_shared<SourceRecognizer>(std::move(label), localeId, std::move(recognizer),
                                            maxUnreadAudio);
}

std::shared_ptr<speech::AudioBufferRecognitionRequest> SourceRecognizer::makeRequest(
    const speech::Recognizer& recognizer) {
  auto request = std::make_shared<speech::AudioBufferRecognitionRequest>();
  request->shouldReportPartialResults = true;
  request->requiresOnDeviceRecognition = recognizer.supportsOnDeviceRecognition();
  request->addsPunctuation = true;
  return request;
}

std::shared_ptr<speech::AudioBufferRecognitionRequest> SourceRecognizer::newRequest() const {
  auto request = makeRequest(*recognizer_);
  request->maxUnreadAudio = maxUnreadAudio_;
  return request;
}

void SourceRecognizer::start(PartialCallback onPartial, ErrorCallback onError,
                             AudioDroppedCallback onAudioDropped) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    onPartialCb_ = std::move(onPartial);
    onErrorCb_ = std::move(onError);
    onAudioDroppedCb_ = std::move(onAudioDropped);
  }
  startTask();
}

void SourceRecognizer::startTask() {
  int64_t generation = 0;
  std::shared_ptr<speech::AudioBufferRecognitionRequest> request;
  {
    std::lock_guard<std::mutex> hold(lock_);
    generation = ++generation_;
    request = request_;
    lastTaskEnded_ = false;
    // From here on taskGeneration_ lagging generation_ tells that a task is being made.
    restartPending_ = false;
  }
  // The task must never keep its recogniser alive: the owner decides when it goes.
  std::weak_ptr<SourceRecognizer> weakSelf = weak_from_this();
  auto task = recognizer_->recognitionTask(
      request, [weakSelf, generation](const std::optional<speech::Result>& result,
                                      const std::optional<speech::Error>& error) {
        if (auto self = weakSelf.lock()) self->handleResult(generation, result, error);
      });
  bool cancelNow = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    // A service may deliver a final result from inside recognitionTask(); the restart it caused
    // has stored a newer task already, which this one must not replace.
    if (generation_ == generation) {
      task_ = task;
      taskGeneration_ = generation;
    }
    cancelNow = cancelled_;
  }
  // cancel() ran while this task was being made and could not reach it.
  if (cancelNow && task) task->cancel();
}

void SourceRecognizer::feed(audio::PcmBufferPtr buffer) {
  std::shared_ptr<speech::AudioBufferRecognitionRequest> request;
  {
    std::lock_guard<std::mutex> hold(lock_);
    request = request_;
  }
  if (request->append(std::move(buffer))) return;
  AudioDroppedCallback onAudioDropped;
  {
    std::lock_guard<std::mutex> hold(lock_);
    onAudioDropped = onAudioDroppedCb_;
  }
  if (onAudioDropped) onAudioDropped();
}

void SourceRecognizer::handleResult(int64_t generation, const std::optional<speech::Result>& result,
                                    const std::optional<speech::Error>& error) {
  if (result) {
    bool restart = false;
    std::string combinedText;
    PartialCallback onPartial;
    {
      std::lock_guard<std::mutex> hold(lock_);
      // A result of an earlier task, error and all, changes nothing.
      if (generation_ != generation) return;
      const std::string& text = result->bestTranscription.formattedString;
      if (startsNewStretch(liveText_, text)) commitLiveLocked();
      liveText_ = text;
      combinedText = combined();
      if (result->isFinal) {
        commitLiveLocked();
        // The engine may end a task at a pause just as the audio is being ended: the audio after
        // the pause is then waiting for a next task, which must still run, on audio that has
        // ended, or those last words are lost.
        if (!stopping_ || (!cancelled_ && request_->restHandedOn())) {
          // The old request is dropped without ending its audio: its task has finished.
          request_ = newRequest();
          if (stopping_) request_->endAudio();
          restart = true;
          restartPending_ = true;
        } else {
          lastTaskEnded_ = true;
        }
      } else {
        onPartial = onPartialCb_;
      }
    }
    // A final result's text reaches the owner with the next partial or with the final wait.
    if (result->isFinal && !restart) lastResultIn_.notify_all();
    if (restart) startTask();
    if (onPartial) onPartial(combinedText);
  }
  if (error) {
    ErrorCallback onError;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (committedText_.empty() && liveText_.empty()) onError = onErrorCb_;
      // An error ends its task, and nothing restarts after one.
      if (generation == generation_) lastTaskEnded_ = true;
    }
    lastResultIn_.notify_all();
    // Once a source has text, an error would only hide it; the text stays for the final event.
    if (onError) onError(*error);
  }
}

std::string SourceRecognizer::endAudioAndWait(std::chrono::milliseconds timeout) {
  endAudio();
  return waitForLastTask(std::chrono::steady_clock::now() + timeout);
}

void SourceRecognizer::endAudio() {
  std::shared_ptr<speech::AudioBufferRecognitionRequest> request;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    request = request_;
  }
  request->endAudio();
}

std::string SourceRecognizer::waitForLastTask(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(lock_);
  // The last task's final result or error says that nothing more will come, before the task
  // itself reports that it has ended.
  while (!lastTaskEnded_) {
    std::shared_ptr<speech::RecognitionTask> task = task_;
    const bool taskBeingMade = restartPending_ || taskGeneration_ != generation_;
    hold.unlock();
    // A task still starting, or finishing after the end of its audio, has words to deliver
    // yet; only a completed or cancelled one has said everything.
    bool inProgress = taskBeingMade;
    if (task) {
      auto state = task->state();
      inProgress = inProgress || state == speech::TaskState::starting ||
                   state == speech::TaskState::running || state == speech::TaskState::finishing;
    }
    const auto now = std::chrono::steady_clock::now();
    hold.lock();
    if (!inProgress || now >= deadline) break;
    // Woken by the last result; looking at the task again covers one that ends without any.
    lastResultIn_.wait_until(hold, std::min(now + kTaskPollInterval, deadline),
                             [this] { return lastTaskEnded_; });
  }
  return combined();
}

void SourceRecognizer::cancel() {
  std::shared_ptr<speech::RecognitionTask> task;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    cancelled_ = true;
    task = task_;
  }
  if (task) task->cancel();
}

std::string SourceRecognizer::text() const {
  std::lock_guard<std::mutex> hold(lock_);
  return combined();
}

int64_t SourceRecognizer::generation() const {
  std::lock_guard<std::mutex> hold(lock_);
  return generation_;
}

std::string SourceRecognizer::combined() const {
  if (committedText_.empty()) return liveText_;
  if (liveText_.empty()) return committedText_;
  return committedText_ + " " + liveText_;
}

void SourceRecognizer::commitLiveLocked() {
  if (liveText_.empty()) return;
  if (committedText_.empty()) {
    committedText_ = std::move(liveText_);
  } else {
    committedText_ += ' ';
    committedText_ += liveText_;
  }
  liveText_.clear();
}

}  // namespace kavri
