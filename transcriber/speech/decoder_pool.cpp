#include "speech/decoder_pool.h"

namespace kavri::speech {

DecoderPool::~DecoderPool() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (loader_.joinable()) loader_.join();
}

void DecoderPool::prepare(int count) {
  std::lock_guard<std::mutex> hold(lock_);
  int have = static_cast<int>(idle_.size()) + loading_ + pending_;
  if (count > have) pending_ += count - have;
  if (pending_ > 0 && !loader_.joinable()) loader_ = std::thread([this] { loadAhead(); });
  changed_.notify_all();
}

std::unique_ptr<Decoder> DecoderPool::take(std::string& error) {
  {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(
        hold, [this] { return !idle_.empty() || (loading_ == 0 && pending_ == 0) || stopping_; });
    if (auto decoder = popIdleLocked()) return decoder;
  }
  return load_(error);
}

std::unique_ptr<Decoder> DecoderPool::takeIdle() {
  std::lock_guard<std::mutex> hold(lock_);
  return popIdleLocked();
}

std::unique_ptr<Decoder> DecoderPool::popIdleLocked() {
  if (idle_.empty()) return nullptr;
  auto decoder = std::move(idle_.back());
  idle_.pop_back();
  return decoder;
}

void DecoderPool::giveBack(std::unique_ptr<Decoder> decoder) {
  if (!decoder) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    idle_.push_back(std::move(decoder));
  }
  changed_.notify_all();
}

void DecoderPool::loadAhead() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return stopping_ || pending_ > 0; });
    if (stopping_) return;
    --pending_;
    ++loading_;
    hold.unlock();
    std::string error;
    auto decoder = load_(error);
    hold.lock();
    --loading_;
    if (decoder) {
      idle_.push_back(std::move(decoder));
    } else {
      // Nothing will load; whoever needs a decoder tries once more and reports why.
      pending_ = 0;
    }
    changed_.notify_all();
  }
}

}  // namespace kavri::speech
