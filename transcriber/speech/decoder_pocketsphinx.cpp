// The one place that speaks to the PocketSphinx engine itself.
#include "speech/decoder_pocketsphinx.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmd_ln.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>
#include <sphinxbase/logmath.h>
#include <sphinxbase/ngram_model.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "speech/taking_turns.h"

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

struct LanguageModelFree {
  void operator()(ngram_model_t* model) const { ngram_model_free(model); }
};

struct LogMathFree {
  void operator()(logmath_t* logMath) const { logmath_free(logMath); }
};

// The name of the decoder's one search.
constexpr char kSearch[] = "words";

// The engine's libraries keep their log and some tables in globals: decoders are loaded one at a
// time, and freed under the same lock (see SharedLanguageModel).
std::mutex& loadingLock() {
  static std::mutex loading;
  return loading;
}

// The pronunciations of the words a language model knows, in a file that lives as long as this
// object and leaves nothing on disk. The search never enters any other word of the dictionary,
// so the words heard are the same; two in five of the dictionary's entries are such words, and
// leaving them out makes a decoder 13 MB smaller. Lines that are not entries stay.
class ReachableDictionary {
 public:
  ReachableDictionary(const std::string& dictionaryPath, ngram_model_t* languageModel) {
    // The engine matches the dictionary's words to the language model's exactly, letter case
    // included. Sorted views of the model's own strings: no copy of 70 000 words.
    std::vector<std::string_view> known;
    const uint32 count = ngram_model_get_counts(languageModel)[0];
    known.reserve(count);
    for (uint32 id = 0; id < count; ++id) {
      if (const char* word = ngram_word(languageModel, static_cast<int32>(id))) {
        known.emplace_back(word);
      }
    }
    std::sort(known.begin(), known.end());
    std::ifstream in(dictionaryPath, std::ios::binary | std::ios::ate);
    std::string all(static_cast<size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(all.data(), static_cast<std::streamsize>(all.size()));
    if (!in || all.empty()) return;
    std::string text;
    text.reserve(all.size());
    for (size_t at = 0; at < all.size();) {
      size_t end = std::min(all.find('\n', at), all.size());
      std::string_view line(all.data() + at, end - at);
      // "word PHONE PHONE ...", an alternate pronunciation as "word(2) ...".
      std::string_view word = line.substr(0, line.find_first_of(" \t("));
      if (word.empty() || std::binary_search(known.begin(), known.end(), word)) {
        text.append(line).push_back('\n');
      }
      at = end + 1;
    }
    fd_ = ::memfd_create("pronunciations", MFD_CLOEXEC);
    if (fd_ < 0) return;
    for (size_t written = 0; written < text.size();) {
      ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
      if (n <= 0) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
      written += static_cast<size_t>(n);
    }
  }
  ~ReachableDictionary() {
    if (fd_ >= 0) ::close(fd_);
  }
  ReachableDictionary(const ReachableDictionary&) = delete;
  ReachableDictionary& operator=(const ReachableDictionary&) = delete;

  // Empty when the dictionary could not be read or written.
  std::string path() const { return fd_ < 0 ? "" : "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_ = -1;
};

// The language model that every decoder of a process shares: 30 MB that each would otherwise
// read for itself. Its words never change once it is read, and building a search on it reads
// them and takes a reference, but scores nothing. Scoring writes a cache of the last lookup
// inside it, so the decoders that share it take turns at decoding. References are counted
// without atomics, so a search is built or freed only under the loading lock.
struct SharedLanguageModel {
  TakingTurns decoding;
  std::unique_ptr<logmath_t, LogMathFree> logMath;
  std::unique_ptr<ngram_model_t, LanguageModelFree> model;
  // The pronunciations it can reach in the dictionary at `dictionaryPath`, sifted once for every
  // decoder that shares it.
  std::string dictionaryPath;
  std::unique_ptr<ReachableDictionary> reachable;
};

// The language model at `path`, read with `config` unless a decoder still holds it. Called with
// the loading lock held.
std::shared_ptr<SharedLanguageModel> sharedLanguageModel(const std::string& path,
                                                         cmd_ln_t* config) {
  static std::map<std::string, std::weak_ptr<SharedLanguageModel>> loaded;
  if (auto shared = loaded[path].lock()) return shared;
  auto shared = std::make_shared<SharedLanguageModel>();
  // In the units of the log tables the decoder makes for itself from the same settings.
  shared->logMath.reset(logmath_init(cmd_ln_float32_r(config, "-logbase"), 0, TRUE));
  if (!shared->logMath) return nullptr;
  shared->model.reset(ngram_model_read(config, path.c_str(), NGRAM_AUTO, shared->logMath.get()));
  if (!shared->model) return nullptr;
  loaded[path] = shared;
  return shared;
}

class PocketSphinxDecoder : public Decoder {
 public:
  PocketSphinxDecoder(std::shared_ptr<SharedLanguageModel> languageModel, ps_decoder_t* decoder,
                      int frameRate)
      : languageModel_(std::move(languageModel)), decoder_(decoder), frameRate_(frameRate) {
    // As the model left it: the same state a freshly loaded decoder starts from.
    if (const cmn_t* channel = channelEstimate(decoder)) {
      initialMean_.assign(channel->cmn_mean, channel->cmn_mean + channel->veclen);
      initialSum_.assign(channel->sum, channel->sum + channel->veclen);
      initialFrames_ = channel->nframe;
    }
  }

  ~PocketSphinxDecoder() override {
    std::lock_guard<std::mutex> hold(loadingLock());
    decoder_.reset();
    languageModel_.reset();
  }

  bool beginStream() override {
    std::lock_guard<TakingTurns> turn(languageModel_->decoding);
    return ps_start_stream(decoder_.get()) >= 0;
  }
  bool beginUtterance() override {
    std::lock_guard<TakingTurns> turn(languageModel_->decoding);
    return ps_start_utt(decoder_.get()) >= 0;
  }

  Fed feed(const int16_t* samples, size_t count) override {
    std::lock_guard<TakingTurns> turn(languageModel_->decoding);
    if (ps_process_raw(decoder_.get(), samples, count, FALSE, FALSE) < 0) return Fed::refused;
    return ps_get_in_speech(decoder_.get()) != 0 ? Fed::speech : Fed::silence;
  }

  // Frame numbers run from the start of the stream, so word times stay in audio time across
  // utterances.
  std::vector<EngineWord> words() const override {
    std::lock_guard<TakingTurns> turn(languageModel_->decoding);
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

  bool endUtterance() override {
    std::lock_guard<TakingTurns> turn(languageModel_->decoding);
    return ps_end_utt(decoder_.get()) >= 0;
  }

  // The channel estimate is the decoder's own: no turn needed.
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

  std::shared_ptr<SharedLanguageModel> languageModel_;
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
  std::lock_guard<std::mutex> hold(loadingLock());
  // The engine logs every setting and every utterance to standard error, which belongs to the
  // fixed fallback line alone.
  static std::once_flag quiet;
  std::call_once(quiet, [] { err_set_logfp(nullptr); });

  if (!model.isInstalled()) {
    error = "the speech model is not installed (" + model.acousticModel + ")";
    return nullptr;
  }
  // The decoder keeps its own reference to the settings; ours goes at the end of this scope.
  // No second, flat-lexicon pass over each utterance: it runs only once the utterance has ended,
  // where it held the final text back by 80 ms for three seconds of speech and 0.5 s for seven,
  // for no better words on our recordings. The lattice's best path still rescores the first
  // pass. At most 5000 sounds in play per frame instead of 30000: the slowest stretches of
  // speech decode in half the time, so two sources taking turns at one language model keep up
  // with the audio, at the same word error rate on our recordings (3000 gave a worse one).
  std::unique_ptr<cmd_ln_t, SettingsFree> config(
      cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.acousticModel.c_str(), "-fwdflat", "no",
                  "-maxhmmpf", "5000", nullptr));
  if (!config) {
    error = "the speech model settings were refused";
    return nullptr;
  }
  // The language model comes first, to tell which words of the dictionary the search can reach.
  auto languageModel = sharedLanguageModel(model.languageModel, config.get());
  if (!languageModel) {
    error = "the language model could not be loaded (" + model.languageModel + ")";
    return nullptr;
  }
  std::string dictionary = model.dictionary;
  if (!model.loadUnreachableWords) {
    if (!languageModel->reachable || languageModel->dictionaryPath != model.dictionary) {
      languageModel->reachable =
          std::make_unique<ReachableDictionary>(model.dictionary, languageModel->model.get());
      languageModel->dictionaryPath = model.dictionary;
    }
    // Without it (no memory file to be had) the whole dictionary serves, with the same words.
    if (!languageModel->reachable->path().empty()) dictionary = languageModel->reachable->path();
  }
  cmd_ln_set_str_r(config.get(), "-dict", dictionary.c_str());
  int frameRate = static_cast<int>(cmd_ln_int32_r(config.get(), "-frate"));
  std::unique_ptr<ps_decoder_t, DecoderFree> decoder(ps_init(config.get()));
  if (!decoder) {
    error = "the speech model could not be loaded (" + model.acousticModel + ")";
    return nullptr;
  }
  // The search takes its own reference to the language model, and gives it back when it goes.
  if (ps_set_lm(decoder.get(), kSearch, languageModel->model.get()) < 0 ||
      ps_set_search(decoder.get(), kSearch) < 0) {
    error = "the language model was refused (" + model.languageModel + ")";
    return nullptr;
  }
  return std::make_unique<PocketSphinxDecoder>(std::move(languageModel), decoder.release(),
                                               frameRate > 0 ? frameRate : 100);
}

}  // namespace kavri::speech
