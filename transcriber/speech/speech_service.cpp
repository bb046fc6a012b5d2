#include "speech/speech_service.h"

namespace kavri::speech {

namespace {

std::chrono::duration<double> lengthOf(const audio::PcmBuffer& buffer) {
  const double rate = buffer.format().sampleRate;
  return std::chrono::duration<double>(rate > 0.0 ? buffer.frameLength() / rate : 0.0);
}

}  // namespace

bool AudioBufferRecognitionRequest::append(audio::PcmBufferPtr buffer) {
  if (!buffer) return true;
  bool keptAll = true;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (ended_) return true;
    queued_ += lengthOf(*buffer);
    queue_.push_back(std::move(buffer));
    while (!queue_.empty() && queued_ > maxUnreadAudio) {
      queued_ -= lengthOf(*queue_.front());
      queue_.pop_front();
      keptAll = false;
    }
    // Rounding must not leave a phantom backlog behind.
    if (queue_.empty()) queued_ = queued_.zero();
  }
  ready_.notify_one();
  return keptAll;
}

void AudioBufferRecognitionRequest::endAudio() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
  }
  ready_.notify_all();
}

AudioBufferRecognitionRequest::Next AudioBufferRecognitionRequest::next(
    audio::PcmBufferPtr& out, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  ready_.wait_for(hold, timeout, [this] { return !queue_.empty() || ended_ || woken_; });
  if (!queue_.empty()) {
    out = std::move(queue_.front());
    queue_.pop_front();
    queued_ = queue_.empty() ? queued_.zero() : queued_ - lengthOf(*out);
    return Next::buffer;
  }
  if (ended_) return Next::ended;
  woken_ = false;
  return Next::timedOut;
}

void AudioBufferRecognitionRequest::wake() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    woken_ = true;
  }
  ready_.notify_all();
}

bool AudioBufferRecognitionRequest::audioEnded() const {
  std::lock_guard<std::mutex> hold(lock_);
  return ended_;
}

bool AudioBufferRecognitionRequest::handOnRest() {
  std::lock_guard<std::mutex> hold(lock_);
  if (ended_) return false;
  restHandedOn_ = true;
  return true;
}

bool AudioBufferRecognitionRequest::restHandedOn() const {
  std::lock_guard<std::mutex> hold(lock_);
  return restHandedOn_;
}

AuthorizationAnswers::~AuthorizationAnswers() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> hold(lock_);
    threads.swap(threads_);
  }
  for (auto& thread : threads) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
}

void AuthorizationAnswers::answer(std::function<void(int status)> handler, int status) {
  std::lock_guard<std::mutex> hold(lock_);
  threads_.emplace_back([handler = std::move(handler), status] { handler(status); });
}

}  // namespace kavri::speech
