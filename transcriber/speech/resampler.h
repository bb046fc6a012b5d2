// Converts mono audio at any rate into the 16 kHz signed 16-bit samples the engine decodes, as a
// stream: what goes in piece by piece comes out as if it had been converted in one go.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kavri::speech {

inline constexpr double kEngineSampleRate = 16000.0;
// Rates outside these are not audio anyone records; a file claiming one is damaged or crafted,
// and converting it would make thousands of samples of each one.
inline constexpr double kMinSampleRate = 1000.0;
inline constexpr double kMaxSampleRate = 768000.0;

class Resampler {
 public:
  // Null, with the reason in `error`, when the rate cannot be converted.
  static std::unique_ptr<Resampler> create(double inputRate, std::string& error);
  virtual ~Resampler() = default;

  double inputRate() const { return inputRate_; }
  // Appends the samples that `count` more input samples yield (may be none yet).
  virtual void process(const float* in, size_t count, std::vector<int16_t>& out) = 0;
  // End of input: appends what the filter still holds. The resampler is spent afterwards.
  virtual void finish(std::vector<int16_t>& out) = 0;

 protected:
  explicit Resampler(double inputRate) : inputRate_(inputRate) {}

 private:
  double inputRate_;
};

}  // namespace kavri::speech
