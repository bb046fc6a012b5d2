// The one place that speaks to the PocketSphinx engine itself.
#include "speech/decoder_pocketsphinx.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmd_ln.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>
#include <sys/stat.h>

#include <algorithm>
#include <mutex>

namespace kavri::speech {

namespace {

bool isReadableFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool isDirectory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

struct SettingsFree {
  void operator()(cmd_ln_t* settings) const { cmd_ln_free_r(settings); }
};

struct DecoderFree {
  void operator()(ps_decoder_t* decoder) const { ps_free(decoder); }
};

class PocketSphinxDecoder : public Decoder {
 public:
  PocketSphinxDecoder(ps_decoder_t* decoder, int frameRate)
      : decoder_(decoder), frameRate_(frameRate) {
    // As the model left it: the same state a freshly loaded decoder starts from.
    if (const cmn_t* channel = channelEstimate(decoder)) {
      initialMean_.assign(channel->cmn_mean, channel->cmn_mean + channel->veclen);
      initialSum_.assign(channel->sum, channel->sum + channel->veclen);
      initialFrames_ = channel->nframe;
    }
  }

  bool beginStream() override { return ps_start_stream(decoder_.get()) >= 0; }
  bool beginUtterance() override { return ps_start_utt(decoder_.get()) >= 0; }

  Fed feed(const int16_t* samples, size_t count) override {
    if (ps_process_raw(decoder_.get(), samples, count, FALSE, FALSE) < 0) return Fed::refused;
    return ps_get_in_speech(decoder_.get()) != 0 ? Fed::speech : Fed::silence;
  }

  // Frame numbers run from the start of the stream, so word times stay in audio time across
  // utterances.
  std::vector<EngineWord> words() const override {
    std::vector<EngineWord> words;
    for (ps_seg_t* seg = ps_seg_iter(decoder_.get()); seg; seg = ps_seg_next(seg)) {
      int first = 0;
      int last = 0;
      ps_seg_frames(seg, &first, &last);
      words.push_back(
          EngineWord{ps_seg_word(seg), first / frameRate_, (last + 1 - first) / frameRate_});
    }
    return words;
  }

  bool endUtterance() override { return ps_end_utt(decoder_.get()) >= 0; }

  void forgetChannel() override {
    cmn_t* channel = channelEstimate(decoder_.get());
    if (!channel || initialMean_.empty()) return;
    std::copy(initialMean_.begin(), initialMean_.end(), channel->cmn_mean);
    std::copy(initialSum_.begin(), initialSum_.end(), channel->sum);
    channel->nframe = initialFrames_;
  }

 private:
  static cmn_t* channelEstimate(ps_decoder_t* decoder) {
    feat_t* features = ps_get_feat(decoder);
    cmn_t* channel = features ? features->cmn_struct : nullptr;
    return channel && channel->cmn_mean && channel->sum && channel->veclen > 0 ? channel : nullptr;
  }

  std::unique_ptr<ps_decoder_t, DecoderFree> decoder_;
  double frameRate_;
  std::vector<mfcc_t> initialMean_;
  std::vector<mfcc_t> initialSum_;
  int32 initialFrames_ = 0;
};

}  // namespace

PocketSphinxModel PocketSphinxModel::inDirectory(const std::string& directory) {
  return PocketSphinxModel{directory + "/en-us", directory + "/en-us.lm.bin",
                           directory + "/cmudict-en-us.dict"};
}

bool PocketSphinxModel::isInstalled() const {
  return isDirectory(acousticModel) && isReadableFile(languageModel) && isReadableFile(dictionary);
}

std::unique_ptr<Decoder> loadPocketSphinxDecoder(const PocketSphinxModel& model,
                                                 std::string& error) {
  // The engine's libraries keep their log and some tables in globals: load one at a time.
  static std::mutex loading;
  std::lock_guard<std::mutex> hold(loading);
  // The engine logs every setting and every utterance to standard error, which belongs to the
  // fixed fallback line alone.
  static std::once_flag quiet;
  std::call_once(quiet, [] { err_set_logfp(nullptr); });

  if (!model.isInstalled()) {
    error = "the speech model is not installed (" + model.acousticModel + ")";
    return nullptr;
  }
  // The decoder keeps its own reference to the settings; ours goes at the end of this scope.
  std::unique_ptr<cmd_ln_t, SettingsFree> config(
      cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.acousticModel.c_str(), "-lm",
                  model.languageModel.c_str(), "-dict", model.dictionary.c_str(), nullptr));
  if (!config) {
    error = "the speech model settings were refused";
    return nullptr;
  }
  int frameRate = static_cast<int>(cmd_ln_int32_r(config.get(), "-frate"));
  ps_decoder_t* decoder = ps_init(config.get());
  if (!decoder) {
    error = "the speech model could not be loaded (" + model.acousticModel + ")";
    return nullptr;
  }
  return std::make_unique<PocketSphinxDecoder>(decoder, frameRate > 0 ? frameRate : 100);
}

}  // namespace kavri::speech
