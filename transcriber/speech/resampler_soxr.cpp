// Resampling with libsoxr.
#include <soxr.h>

#include <algorithm>
#include <cmath>

#include "speech/mono_mix.h"
#include "speech/resampler.h"

namespace kavri::speech {

namespace {

constexpr size_t kMaxOutputPerCall = 65536;

// Audio already at the engine's rate only needs its samples rounded.
class PassThrough : public Resampler {
 public:
  PassThrough() : Resampler(kEngineSampleRate) {}
  void process(const float* in, size_t count, std::vector<int16_t>& out) override {
    out.reserve(out.size() + count);
    for (size_t i = 0; i < count; ++i) out.push_back(toSample16(in[i]));
  }
  void finish(std::vector<int16_t>&) override {}
};

struct SoxrDeleter {
  void operator()(soxr_t soxr) const { soxr_delete(soxr); }
};

class SoxrResampler : public Resampler {
 public:
  SoxrResampler(double inputRate, soxr_t soxr) : Resampler(inputRate), soxr_(soxr) {}

  void process(const float* in, size_t count, std::vector<int16_t>& out) override {
    // In slices whose output fits in a modest buffer, however far the rate is from ours.
    const size_t slice =
        std::max<size_t>(1, static_cast<size_t>(static_cast<double>(kMaxOutputPerCall) *
                                                inputRate() / kEngineSampleRate));
    while (count > 0) {
      size_t used = 0;
      size_t made = run(in, std::min(count, slice), &used, out);
      in += used;
      count -= used;
      if (used == 0 && made == 0) break;
    }
  }

  void finish(std::vector<int16_t>& out) override {
    // A null input tells soxr that the stream has ended; it then drains its filter.
    while (run(nullptr, 0, nullptr, out) > 0) {
    }
  }

 private:
  size_t run(const float* in, size_t count, size_t* used, std::vector<int16_t>& out) {
    const size_t room = static_cast<size_t>(std::ceil(static_cast<double>(count) *
                                                      kEngineSampleRate / inputRate())) +
                        256;
    const size_t before = out.size();
    out.resize(before + room);
    size_t made = 0;
    soxr_error_t error =
        soxr_process(soxr_.get(), in, count, used, out.data() + before, room, &made);
    if (error) made = 0;
    out.resize(before + made);
    return made;
  }

  std::unique_ptr<struct soxr, SoxrDeleter> soxr_;
};

}  // namespace

std::unique_ptr<Resampler> Resampler::create(double inputRate, std::string& error) {
  if (!(inputRate >= kMinSampleRate && inputRate <= kMaxSampleRate)) {
    error = "unsupported sample rate " + std::to_string(inputRate);
    return nullptr;
  }
  if (inputRate == kEngineSampleRate) return std::make_unique<PassThrough>();
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
  // soxr dithers by default when it produces integers, from a randomly seeded generator: the
  // same audio would then decode differently from run to run.
  io.flags |= SOXR_NO_DITHER;
  soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t failure = nullptr;
  soxr_t soxr = soxr_create(inputRate, kEngineSampleRate, 1, &failure, &io, &quality, &runtime);
  if (!soxr || failure) {
    if (soxr) soxr_delete(soxr);
    error = std::string("cannot resample: ") + (failure ? failure : "unknown error");
    return nullptr;
  }
  return std::make_unique<SoxrResampler>(inputRate, soxr);
}

}  // namespace kavri::speech
