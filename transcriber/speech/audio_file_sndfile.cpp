// Audio files through libsndfile (WAV, FLAC, Ogg/Vorbis, MP3, AIFF and more), brought to the
// engine's rate by the resampler.
#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>

#include "speech/audio_file.h"
#include "speech/mono_mix.h"
#include "speech/resampler.h"

namespace kavri::speech {

namespace {

// About a quarter of a second of audio per read, at most 12288 frames: a file that claims a
// strange rate or many channels still decodes in small pieces.
sf_count_t framesPerRead(const SF_INFO& info) {
  return std::clamp<sf_count_t>(info.samplerate / 4, 1, 12288);
}

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

class SndfileReader : public AudioFileReader {
 public:
  SndfileReader(SndfileHandle file, SF_INFO info, std::unique_ptr<Resampler> resampler)
      : file_(std::move(file)), info_(info), resampler_(std::move(resampler)) {}

  bool read(std::vector<int16_t>& out) override {
    if (done_) return false;
    const sf_count_t wanted = framesPerRead(info_);
    interleaved_.resize(static_cast<size_t>(wanted) * static_cast<size_t>(info_.channels));
    sf_count_t frames = sf_readf_float(file_.get(), interleaved_.data(), wanted);
    mono_.clear();
    if (frames > 0) {
      appendMonoSamples(interleaved_.data(), static_cast<size_t>(frames),
                        static_cast<uint32_t>(info_.channels), mono_);
      resampler_->process(mono_.data(), mono_.size(), out);
    }
    if (frames < wanted) {
      // End of the file, or a read error part-way through a damaged file: what was decoded so
      // far is recognised.
      resampler_->finish(out);
      done_ = true;
      return false;
    }
    return true;
  }

 private:
  SndfileHandle file_;
  SF_INFO info_;
  std::unique_ptr<Resampler> resampler_;
  std::vector<float> interleaved_;
  std::vector<float> mono_;
  bool done_ = false;
};

}  // namespace

std::unique_ptr<AudioFileReader> AudioFileReader::open(const std::string& path,
                                                       std::string& error) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    error = "cannot decode audio: the path is a directory";
    return nullptr;
  }
  SF_INFO info{};
  SndfileHandle file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) {
    error = std::string("cannot decode audio: ") + sf_strerror(nullptr);
    return nullptr;
  }
  if (info.channels <= 0 || info.samplerate <= 0) {
    error = "cannot decode audio: the file names no channels or no sample rate";
    return nullptr;
  }
  if (info.frames == 0) {
    error = "cannot decode audio: the file holds no audio";
    return nullptr;
  }
  std::string resamplerError;
  auto resampler = Resampler::create(static_cast<double>(info.samplerate), resamplerError);
  if (!resampler) {
    error = "cannot decode audio: " + resamplerError;
    return nullptr;
  }
  return std::make_unique<SndfileReader>(std::move(file), info, std::move(resampler));
}

}  // namespace kavri::speech
