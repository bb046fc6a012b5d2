#include "source_recognizer.h"

#include <thread>
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
                                   std::shared_ptr<speech::Recognizer> recognizer)
    : label_(std::move(label)),
      localeId_(std::move(localeId)),
      recognizer_(std::move(recognizer)),
      request_(makeRequest(*recognizer_)) {}

std::shared_ptr<SourceRecognizer> SourceRecognizer::make(speech::SpeechService& service,
                                                         std::string label,
                                                         const std::string& localeId) {
  auto recognizer = recognizerForLocale(service, localeId);
  if (!recognizer || !recognizer->isAvailable()) return nullptr;
  return std::make_shared<SourceRecognizer>(std::move(label), localeId, std::move(recognizer));
}

std::shared_ptr<speech::AudioBufferRecognitionRequest> SourceRecognizer::makeRequest(
    const speech::Recognizer& recognizer) {
  auto request = std::make_shared<speech::AudioBufferRecognitionRequest>();
  request->shouldReportPartialResults = true;
  request->requiresOnDeviceRecognition = recognizer.supportsOnDeviceRecognition();
  request->addsPunctuation = true;
  return request;
}

void SourceRecognizer::start(PartialCallback onPartial, ErrorCallback onError) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    onPartialCb_ = std::move(onPartial);
    onErrorCb_ = std::move(onError);
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
  request->append(std::move(buffer));
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
        if (!stopping_) {
          // The old request is dropped without ending its audio: its task has finished.
          request_ = makeRequest(*recognizer_);
          restart = true;
          restartPending_ = true;
        }
      } else {
        onPartial = onPartialCb_;
      }
    }
    // A final result's text reaches the owner with the next partial or with the final wait.
    if (restart) startTask();
    if (onPartial) onPartial(combinedText);
  }
  if (error) {
    ErrorCallback onError;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (committedText_.empty() && liveText_.empty()) onError = onErrorCb_;
    }
    // Once a source has text, an error would only hide it; the text stays for the final event.
    if (onError) onError(*error);
  }
}

std::string SourceRecognizer::endAudioAndWait(std::chrono::milliseconds timeout) {
  std::shared_ptr<speech::AudioBufferRecognitionRequest> request;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    request = request_;
  }
  request->endAudio();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::shared_ptr<speech::RecognitionTask> task;
    bool taskBeingMade = false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      task = task_;
      taskBeingMade = restartPending_ || taskGeneration_ != generation_;
    }
    // A task still starting, or finishing after the end of its audio, has words to deliver
    // yet; only a completed or cancelled one has said everything.
    bool inProgress = taskBeingMade;
    if (task) {
      auto state = task->state();
      inProgress = inProgress || state == speech::TaskState::starting ||
                   state == speech::TaskState::running || state == speech::TaskState::finishing;
    }
    auto now = std::chrono::steady_clock::now();
    if (!inProgress || now >= deadline) break;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(kTaskPollInterval, deadline - now));
  }
  return text();
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
