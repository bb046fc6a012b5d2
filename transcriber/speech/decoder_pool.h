// Decoders loaded ahead of need, and those that recognisers no longer use. Loading one costs
// about a third of a second and tens of megabytes with the real engine, so a process loads as few
// as it can, before it needs them.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "speech/decoder.h"

namespace kavri::speech {

class DecoderPool {
 public:
  // Null, with the reason in `error`, when no decoder can be loaded.
  using Loader = std::function<std::unique_ptr<Decoder>(std::string& error)>;

  explicit DecoderPool(Loader load) : load_(std::move(load)) {}
  // Waits for a decoder being loaded ahead.
  ~DecoderPool();

  // Starts loading, on a thread of the pool, what `count` decoders in use at once will need.
  void prepare(int count);
  // An idle decoder, else the one being loaded ahead, else a new one loaded on this thread.
  std::unique_ptr<Decoder> take(std::string& error);
  // An idle decoder, or none; never waits.
  std::unique_ptr<Decoder> takeIdle();
  void giveBack(std::unique_ptr<Decoder> decoder);

 private:
  void loadAhead();
  std::unique_ptr<Decoder> popIdleLocked();

  const Loader load_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Decoder>> idle_;
  int pending_ = 0;  // decoders still to load ahead
  int loading_ = 0;  // decoders being loaded ahead right now
  bool stopping_ = false;
  std::thread loader_;
};

}  // namespace kavri::speech
