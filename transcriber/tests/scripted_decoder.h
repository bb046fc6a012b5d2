// A decoder that hears what the test wrote into the audio, and stand-ins for the file reader and
// the resampler, so that the recognition worker runs without the engine, in milliseconds.
//
// A sample of 0 is silence, a positive sample k is the k-th word of the vocabulary being spoken
// (a run of equal samples is one word), and kRefused makes the decoder refuse the audio. Word
// times count samples from the start of the stream, as the engine counts frames.
#pragma once

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "speech/decoder.h"
#include "speech/mono_mix.h"
#include "speech/recognition_worker.h"

namespace kavri::testing {

inline constexpr int16_t kRefused = -1;
inline constexpr size_t kSamplesPerSecond = 16000;

class ScriptedDecoder : public speech::Decoder {
 public:
  explicit ScriptedDecoder(std::vector<std::string> vocabulary)
      : vocabulary_(std::move(vocabulary)) {}

  bool beginStream() override {
    streamSamples_ = 0;
    return true;
  }
  bool beginUtterance() override {
    open_ = true;
    words_.clear();
    last_ = 0;
    return true;
  }

  Fed feed(const int16_t* samples, size_t count) override {
    if (!open_) return Fed::refused;
    for (size_t i = 0; i < count; ++i, ++streamSamples_) {
      const int16_t sample = samples[i];
      if (sample == kRefused) return Fed::refused;
      if (sample > 0 && sample != last_) {
        words_.push_back(
            {vocabulary_.at(static_cast<size_t>(sample - 1)), seconds(streamSamples_), 0.0});
      }
      if (sample > 0)
        words_.back().duration = seconds(streamSamples_ + 1) - words_.back().timestamp;
      last_ = sample;
    }
    return last_ > 0 ? Fed::speech : Fed::silence;
  }

  std::vector<speech::EngineWord> words() const override { return words_; }

  bool endUtterance() override {
    const bool wasOpen = open_;
    open_ = false;
    return wasOpen;
  }

  void forgetChannel() override { ++channelsForgotten; }

  std::atomic<int> channelsForgotten{0};

 private:
  static double seconds(size_t samples) {
    return static_cast<double>(samples) / static_cast<double>(kSamplesPerSecond);
  }

  const std::vector<std::string> vocabulary_;
  bool open_ = false;
  size_t streamSamples_ = 0;
  int16_t last_ = 0;
  std::vector<speech::EngineWord> words_;
};

// Audio that says the words (1-based, into the vocabulary) for a tenth of a second each, then
// stays silent for `pause` seconds.
inline std::vector<int16_t> said(std::initializer_list<int16_t> words, double pause = 0.0) {
  std::vector<int16_t> samples;
  for (int16_t word : words) samples.insert(samples.end(), kSamplesPerSecond / 10, word);
  samples.insert(samples.end(), static_cast<size_t>(pause * kSamplesPerSecond), 0);
  return samples;
}

inline std::vector<int16_t> joined(std::initializer_list<std::vector<int16_t>> pieces) {
  std::vector<int16_t> samples;
  for (const auto& piece : pieces) samples.insert(samples.end(), piece.begin(), piece.end());
  return samples;
}

// Audio at the engine's rate is only rounded; any other rate is refused.
class EngineRateOnly : public speech::Resampler {
 public:
  EngineRateOnly() : Resampler(speech::kEngineSampleRate) {}
  void process(const float* in, size_t count, std::vector<int16_t>& out) override {
    for (size_t i = 0; i < count; ++i) out.push_back(speech::toSample16(in[i]));
  }
  void finish(std::vector<int16_t>&) override {}

  static std::unique_ptr<speech::Resampler> create(double rate, std::string& error) {
    if (rate == speech::kEngineSampleRate) return std::make_unique<EngineRateOnly>();
    error = "not the engine's rate";
    return nullptr;
  }
};

// Files by name, each read in pieces of 3000 samples, which is not the worker's step.
class ScriptedFiles {
 public:
  std::map<std::string, std::vector<int16_t>> files;

  speech::EngineAudio audio() {
    return speech::EngineAudio{
        [this](const std::string& path,
               std::string& error) -> std::unique_ptr<speech::AudioFileReader> {
          auto found = files.find(path);
          if (found == files.end()) {
            error = "no such file: " + path;
            return nullptr;
          }
          return std::make_unique<Reader>(found->second);
        },
        &EngineRateOnly::create};
  }

 private:
  class Reader : public speech::AudioFileReader {
   public:
    explicit Reader(std::vector<int16_t> samples) : samples_(std::move(samples)) {}
    bool read(std::vector<int16_t>& out) override {
      size_t count = std::min<size_t>(3000, samples_.size() - at_);
      out.insert(out.end(), samples_.begin() + static_cast<std::ptrdiff_t>(at_),
                 samples_.begin() + static_cast<std::ptrdiff_t>(at_ + count));
      at_ += count;
      return at_ < samples_.size();
    }

   private:
    const std::vector<int16_t> samples_;
    size_t at_ = 0;
  };
};

}  // namespace kavri::testing
