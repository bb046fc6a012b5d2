// The PocketSphinx engine: one decoder per recogniser, reused across its tasks, loaded ahead of
// time into a pool; every task of a recogniser runs in order on the recogniser's own thread,
// which is also where results are delivered.
#include "speech/speech_service_pocketsphinx.h"

#include <pocketsphinx.h>
#include <sphinxbase/cmd_ln.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <thread>

#include "speech/audio_file.h"
#include "speech/dictation_format.h"
#include "speech/mono_mix.h"
#include "speech/resampler.h"

namespace kavri::speech {

namespace {

// Samples handed to the decoder at a time when reading a file, and so the granularity at which
// the end of an utterance is looked for: the same as the engine's own command-line decoder, so
// that a file splits into the same utterances.
constexpr size_t kSamplesPerStep = 2048;
// How long a buffer-fed task waits for audio before it looks again whether it was cancelled.
constexpr auto kAudioPollInterval = std::chrono::milliseconds(100);

bool isReadableFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool isDirectory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// ---------------------------------------------------------------------------------------------
// Decoder

struct SettingsFree {
  void operator()(cmd_ln_t* settings) const { cmd_ln_free_r(settings); }
};

struct DecoderFree {
  void operator()(ps_decoder_t* decoder) const { ps_free(decoder); }
};

class Decoder {
 public:
  static std::unique_ptr<Decoder> load(const PocketSphinxModel& model, std::string& error) {
    // The engine's libraries keep their log and some tables in globals: load one at a time.
    static std::mutex loading;
    std::lock_guard<std::mutex> hold(loading);
    // The engine logs every setting and every utterance to standard error, which belongs to
    // the fixed fallback line alone.
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
    return std::unique_ptr<Decoder>(new Decoder(decoder, frameRate > 0 ? frameRate : 100));
  }

  ps_decoder_t* get() const { return decoder_.get(); }
  double frameRate() const { return frameRate_; }

  // The decoder learns the recording channel (its cepstral mean) from everything it hears and
  // keeps it across utterances and streams. That helps a live source from one task to the next,
  // but a file must not come out differently for what the decoder heard before it, nor one
  // source for what another one sounded like: those start from the model's own estimate.
  void forgetChannel() {
    cmn_t* channel = channelEstimate(decoder_.get());
    if (!channel || initialMean_.empty()) return;
    std::copy(initialMean_.begin(), initialMean_.end(), channel->cmn_mean);
    std::copy(initialSum_.begin(), initialSum_.end(), channel->sum);
    channel->nframe = initialFrames_;
  }

 private:
  Decoder(ps_decoder_t* decoder, int frameRate) : decoder_(decoder), frameRate_(frameRate) {
    // As the model left it: the same state a freshly loaded decoder starts from.
    if (const cmn_t* channel = channelEstimate(decoder)) {
      initialMean_.assign(channel->cmn_mean, channel->cmn_mean + channel->veclen);
      initialSum_.assign(channel->sum, channel->sum + channel->veclen);
      initialFrames_ = channel->nframe;
    }
  }

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

// Decoders loaded ahead of need, and those that recognisers no longer use. Loading costs about a
// third of a second and 100 MB, so a process loads as few as it can, before it needs them.
class DecoderPool {
 public:
  explicit DecoderPool(PocketSphinxModel model) : model_(std::move(model)) {}

  ~DecoderPool() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (loader_.joinable()) loader_.join();
  }

  void prepare(int count) {
    std::lock_guard<std::mutex> hold(lock_);
    int have = static_cast<int>(idle_.size()) + loading_ + pending_;
    if (count > have) pending_ += count - have;
    if (pending_ > 0 && !loader_.joinable()) loader_ = std::thread([this] { loadAhead(); });
    changed_.notify_all();
  }

  // An idle decoder, else the one being loaded ahead, else a new one loaded on this thread.
  std::unique_ptr<Decoder> take(std::string& error) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      changed_.wait(
          hold, [this] { return !idle_.empty() || (loading_ == 0 && pending_ == 0) || stopping_; });
      if (!idle_.empty()) {
        auto decoder = std::move(idle_.back());
        idle_.pop_back();
        return decoder;
      }
    }
    return Decoder::load(model_, error);
  }

  void giveBack(std::unique_ptr<Decoder> decoder) {
    if (!decoder) return;
    {
      std::lock_guard<std::mutex> hold(lock_);
      idle_.push_back(std::move(decoder));
    }
    changed_.notify_all();
  }

 private:
  void loadAhead() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      changed_.wait(hold, [this] { return stopping_ || pending_ > 0; });
      if (stopping_) return;
      --pending_;
      ++loading_;
      hold.unlock();
      std::string error;
      auto decoder = Decoder::load(model_, error);
      hold.lock();
      --loading_;
      if (decoder) {
        idle_.push_back(std::move(decoder));
      } else {
        // The model will not load; whoever needs a decoder tries once more and reports why.
        pending_ = 0;
      }
      changed_.notify_all();
    }
  }

  const PocketSphinxModel model_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Decoder>> idle_;
  int pending_ = 0;  // decoders still to load ahead
  int loading_ = 0;  // decoders being loaded ahead right now
  bool stopping_ = false;
  std::thread loader_;
};

// ---------------------------------------------------------------------------------------------
// Utterances

std::vector<EngineWord> decodedWords(const Decoder& decoder) {
  std::vector<EngineWord> words;
  for (ps_seg_t* seg = ps_seg_iter(decoder.get()); seg; seg = ps_seg_next(seg)) {
    int first = 0;
    int last = 0;
    ps_seg_frames(seg, &first, &last);
    words.push_back(EngineWord{ps_seg_word(seg), first / decoder.frameRate(),
                               (last + 1 - first) / decoder.frameRate()});
  }
  return words;
}

// Feeds 16 kHz audio to a decoder and tells where an utterance ends: when the engine's voice
// activity detection stops hearing speech after it heard some. One utterance over a long
// recording loses words, so audio is decoded utterance by utterance. Frame numbers run from the
// start of the stream, so word times stay in audio time across utterances.
class UtteranceDecoder {
 public:
  explicit UtteranceDecoder(Decoder& decoder) : decoder_(decoder) {}
  ~UtteranceDecoder() { abandon(); }

  bool begin() {
    if (ps_start_stream(decoder_.get()) < 0) return false;
    return startUtterance();
  }

  enum class Step { going, utteranceEnded, failed };
  Step feed(const int16_t* samples, size_t count) {
    if (count == 0) return Step::going;
    if (ps_process_raw(decoder_.get(), samples, count, FALSE, FALSE) < 0) return Step::failed;
    bool inSpeech = ps_get_in_speech(decoder_.get()) != 0;
    if (inSpeech) heardSpeech_ = true;
    return !inSpeech && heardSpeech_ ? Step::utteranceEnded : Step::going;
  }

  bool heardSpeech() const { return heardSpeech_; }

  // The hypothesis of the utterance so far.
  std::vector<EngineWord> partialWords() const { return decodedWords(decoder_); }

  // Closes the utterance and gives its words; none when no speech was heard in it (the decoder
  // then only matched noise).
  std::vector<EngineWord> endUtterance() {
    std::vector<EngineWord> words;
    if (open_ && ps_end_utt(decoder_.get()) >= 0 && heardSpeech_) words = decodedWords(decoder_);
    open_ = false;
    heardSpeech_ = false;
    return words;
  }

  bool startUtterance() {
    open_ = ps_start_utt(decoder_.get()) >= 0;
    heardSpeech_ = false;
    return open_;
  }

  void abandon() {
    if (open_) ps_end_utt(decoder_.get());
    open_ = false;
  }

 private:
  Decoder& decoder_;
  bool open_ = false;
  bool heardSpeech_ = false;
};

// ---------------------------------------------------------------------------------------------
// Tasks

class PocketSphinxTask : public RecognitionTask {
 public:
  PocketSphinxTask(std::thread::id workerThread,
                   std::shared_ptr<AudioBufferRecognitionRequest> request)
      : workerThread_(workerThread), request_(std::move(request)) {}

  TaskState state() const override { return state_.load(); }

  void cancel() override {
    if (std::this_thread::get_id() == workerThread_) {
      // From inside a result handler: the delivery lock is ours already.
      cancelled_ = true;
    } else {
      // Waits for a handler call in progress, so that none starts after cancel() returns.
      std::lock_guard<std::mutex> hold(deliveryLock_);
      cancelled_ = true;
    }
    TaskState running = TaskState::running;
    state_.compare_exchange_strong(running, TaskState::canceling);
    if (request_) request_->wake();
  }

  bool isCancelled() const { return cancelled_.load(); }

  // Calls the handler unless the task was cancelled. A handler is ours and does not throw; if
  // one did, the recogniser's thread would still go on.
  void deliver(const ResultHandler& handler, const std::optional<Result>& result,
               const std::optional<Error>& error) {
    std::lock_guard<std::mutex> hold(deliveryLock_);
    if (cancelled_) return;
    try {
      handler(result, error);
    } catch (...) {
    }
  }

  // The task has delivered all it will deliver.
  void complete() { state_ = TaskState::completed; }

 private:
  const std::thread::id workerThread_;
  const std::shared_ptr<AudioBufferRecognitionRequest> request_;
  // Queued tasks count as running: a caller that ends the audio and waits for the task to stop
  // running must also wait for a task that has not begun yet.
  std::atomic<TaskState> state_{TaskState::running};
  std::atomic<bool> cancelled_{false};
  std::mutex deliveryLock_;
};

struct Job {
  std::shared_ptr<PocketSphinxTask> task;
  std::shared_ptr<AudioBufferRecognitionRequest> buffers;  // a buffer-fed request, or
  std::optional<UrlRecognitionRequest> file;               // a file request
  ResultHandler handler;
  // Audio that earlier tasks' requests still held when those tasks ended at the end of an
  // utterance, oldest first; it was spoken before anything in this task's own request.
  std::deque<std::shared_ptr<AudioBufferRecognitionRequest>> carriedOver;
};

// The recogniser's thread: runs its tasks one after another with its one decoder.
class Worker : public std::enable_shared_from_this<Worker> {
 public:
  explicit Worker(std::shared_ptr<DecoderPool> pool) : pool_(std::move(pool)) {}

  void start() {
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
    threadId_ = thread_.get_id();
  }

  std::thread::id threadId() const { return threadId_; }

  void submit(Job job) {
    // A buffer-fed task started from the handler of a final result that ended an utterance
    // continues where the last one stopped, so that audio queued after the pause is not lost.
    if (std::this_thread::get_id() == threadId_ && !unreadRequests_.empty() && job.buffers) {
      job.carriedOver = std::move(unreadRequests_);
      unreadRequests_.clear();
    }
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (!stopping_) {
        jobs_.push_back(std::move(job));
        job = Job{};
      }
    }
    if (job.task) {
      // The recogniser is going away: the task ends before it begins.
      job.task->cancel();
      job.task->complete();
      return;
    }
    changed_.notify_one();
  }

  // Stops the thread: queued tasks and the running one are cancelled. Joins, unless it is the
  // worker itself that lets go of its recogniser (from a result handler); it then finishes on its
  // own, keeping what it uses alive.
  void shutdown() {
    std::deque<Job> dropped;
    std::shared_ptr<PocketSphinxTask> running;
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
      dropped.swap(jobs_);
      running = current_;
    }
    changed_.notify_all();
    for (auto& job : dropped) {
      job.task->cancel();
      job.task->complete();
    }
    if (running) running->cancel();
    if (std::this_thread::get_id() == threadId_) {
      thread_.detach();
    } else if (thread_.joinable()) {
      thread_.join();
    }
  }

 private:
  void run() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) break;
        job = std::move(jobs_.front());
        jobs_.pop_front();
        current_ = job.task;
      }
      if (!job.task->isCancelled()) {
        if (job.buffers) {
          runBufferJob(job);
        } else if (job.file) {
          runFileJob(job);
        } else {
          fail(job, kErrorAudioFormat, "the recognition request is missing");
        }
      }
      job.task->complete();
      {
        std::lock_guard<std::mutex> hold(lock_);
        current_.reset();
      }
      unreadRequests_.clear();
      // The job (and with it the handler) goes here, outside the lock: a handler may hold the
      // last reference to the recogniser.
    }
    pool_->giveBack(std::move(decoder_));
  }

  void fail(Job& job, int64_t code, std::string description) {
    job.task->deliver(job.handler, std::nullopt, Error{code, std::move(description)});
  }

  bool haveDecoder(Job& job) {
    if (decoder_) return true;
    std::string error;
    decoder_ = pool_->take(error);
    if (!decoder_) {
      fail(job, kErrorModelUnavailable, error);
      return false;
    }
    // A decoder that served another recogniser learnt another source's channel.
    decoder_->forgetChannel();
    return true;
  }

  void runFileJob(Job& job) {
    const UrlRecognitionRequest& request = *job.file;
    std::string error;
    auto reader = AudioFileReader::open(request.path, error);
    if (!reader) return fail(job, kErrorAudioUnreadable, error);
    if (!haveDecoder(job)) return;
    decoder_->forgetChannel();
    UtteranceDecoder decoder(*decoder_);
    if (!decoder.begin()) return fail(job, kErrorDecoder, "the decoder could not start");

    std::vector<std::vector<EngineWord>> utterances;
    std::vector<int16_t> samples;
    size_t used = 0;
    bool more = true;
    while (more || used < samples.size()) {
      if (job.task->isCancelled()) return;
      if (more && samples.size() - used < kSamplesPerStep) {
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(used));
        used = 0;
        more = reader->read(samples);
        continue;
      }
      size_t count = std::min(kSamplesPerStep, samples.size() - used);
      auto step = decoder.feed(samples.data() + used, count);
      used += count;
      if (step == UtteranceDecoder::Step::failed) {
        return fail(job, kErrorDecoder, "the decoder refused the audio");
      }
      if (step == UtteranceDecoder::Step::utteranceEnded) {
        utterances.push_back(decoder.endUtterance());
        if (!decoder.startUtterance()) return fail(job, kErrorDecoder, "the decoder stopped");
        if (request.shouldReportPartialResults) {
          job.task->deliver(
              job.handler,
              Result{false, dictationTranscription(utterances, request.addsPunctuation)},
              std::nullopt);
        }
      }
    }
    utterances.push_back(decoder.endUtterance());
    job.task->deliver(job.handler,
                      Result{true, dictationTranscription(utterances, request.addsPunctuation)},
                      std::nullopt);
  }

  void runBufferJob(Job& job) {
    if (!haveDecoder(job)) return;
    AudioBufferRecognitionRequest& request = *job.buffers;
    UtteranceDecoder decoder(*decoder_);
    if (!decoder.begin()) return fail(job, kErrorDecoder, "the decoder could not start");

    std::unique_ptr<Resampler> resampler;
    std::vector<float> mono;
    std::vector<int16_t> samples;
    std::string lastPartial;
    std::vector<std::vector<EngineWord>> heard;  // utterances ended before the last one
    for (;;) {
      if (job.task->isCancelled()) return;
      audio::PcmBufferPtr buffer;
      auto next = AudioBufferRecognitionRequest::Next::timedOut;
      if (!job.carriedOver.empty()) {
        next = job.carriedOver.front()->next(buffer, std::chrono::milliseconds(0));
        if (next != AudioBufferRecognitionRequest::Next::buffer) {
          job.carriedOver.pop_front();
          continue;
        }
      } else {
        next = request.next(buffer, kAudioPollInterval);
      }
      if (next == AudioBufferRecognitionRequest::Next::timedOut) continue;
      if (next == AudioBufferRecognitionRequest::Next::buffer) {
        const auto& format = buffer->format();
        if (!resampler || resampler->inputRate() != format.sampleRate) {
          if (resampler) resampler->finish(samples);
          std::string error;
          resampler = format.channels > 0 ? Resampler::create(format.sampleRate, error) : nullptr;
          if (!resampler) {
            return fail(job, kErrorAudioFormat,
                        "unsupported audio format (" + std::to_string(format.channels) +
                            " channels at " + std::to_string(format.sampleRate) + " Hz)");
          }
        }
        mono.clear();
        appendMonoSamples(*buffer, mono);
        resampler->process(mono.data(), mono.size(), samples);
      } else if (resampler) {
        resampler->finish(samples);
      }

      auto step = decoder.feed(samples.data(), samples.size());
      samples.clear();
      if (step == UtteranceDecoder::Step::failed) {
        return fail(job, kErrorDecoder, "the decoder refused the audio");
      }
      const bool audioEnded = next == AudioBufferRecognitionRequest::Next::ended;
      if (step == UtteranceDecoder::Step::utteranceEnded && !audioEnded) {
        auto words = decoder.endUtterance();
        const bool spoken = std::any_of(words.begin(), words.end(), [](const EngineWord& word) {
          return spokenWord(word.word).has_value();
        });
        // A stretch of noise or breath with no word in it ends no task. And once the caller has
        // ended the audio it waits for the final result of all of it: what is still queued
        // becomes more sentences of this task rather than being dropped with it.
        if (!spoken || request.audioEnded()) {
          if (spoken) heard.push_back(std::move(words));
          if (!decoder.startUtterance()) return fail(job, kErrorDecoder, "the decoder stopped");
          continue;
        }
        heard.push_back(std::move(words));
        // Whatever is still unread, in the older requests first, belongs to the next task.
        unreadRequests_ = std::move(job.carriedOver);
        unreadRequests_.push_back(job.buffers);
        job.task->deliver(job.handler,
                          Result{true, dictationTranscription(heard, request.addsPunctuation)},
                          std::nullopt);
        return;
      }
      if (audioEnded) {
        heard.push_back(decoder.endUtterance());
        job.task->deliver(job.handler,
                          Result{true, dictationTranscription(heard, request.addsPunctuation)},
                          std::nullopt);
        return;
      }
      if (request.shouldReportPartialResults && decoder.heardSpeech()) {
        heard.push_back(decoder.partialWords());
        // The sentence being spoken has no full stop yet.
        Result partial{false, dictationTranscription(heard, request.addsPunctuation, true)};
        heard.pop_back();
        if (partial.bestTranscription.formattedString != lastPartial) {
          lastPartial = partial.bestTranscription.formattedString;
          job.task->deliver(job.handler, partial, std::nullopt);
        }
      }
    }
  }

  const std::shared_ptr<DecoderPool> pool_;
  std::thread thread_;
  std::thread::id threadId_;

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Job> jobs_;
  std::shared_ptr<PocketSphinxTask> current_;
  bool stopping_ = false;

  // Touched only on the worker thread.
  std::unique_ptr<Decoder> decoder_;
  std::deque<std::shared_ptr<AudioBufferRecognitionRequest>> unreadRequests_;
};

// ---------------------------------------------------------------------------------------------
// Recogniser and service

class PocketSphinxRecognizer : public Recognizer {
 public:
  PocketSphinxRecognizer(std::shared_ptr<DecoderPool> pool, bool available)
      : available_(available), worker_(std::make_shared<Worker>(std::move(pool))) {
    worker_->start();
  }
  ~PocketSphinxRecognizer() override { worker_->shutdown(); }

  bool isAvailable() const override { return available_; }
  bool supportsOnDeviceRecognition() const override { return true; }

  std::shared_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<AudioBufferRecognitionRequest> request, ResultHandler handler) override {
    auto task = std::make_shared<PocketSphinxTask>(worker_->threadId(), request);
    Job job{task, std::move(request), std::nullopt, std::move(handler), {}};
    worker_->submit(std::move(job));
    return task;
  }

  std::shared_ptr<RecognitionTask> recognitionTask(const UrlRecognitionRequest& request,
                                                   ResultHandler handler) override {
    auto task = std::make_shared<PocketSphinxTask>(worker_->threadId(), nullptr);
    worker_->submit(Job{task, nullptr, request, std::move(handler), {}});
    return task;
  }

 private:
  const bool available_;
  const std::shared_ptr<Worker> worker_;
};

class PocketSphinxSpeechService : public SpeechService {
 public:
  explicit PocketSphinxSpeechService(PocketSphinxModel model)
      : model_(std::move(model)), pool_(std::make_shared<DecoderPool>(model_)) {}

  ~PocketSphinxSpeechService() override {
    std::vector<std::thread> answering;
    {
      std::lock_guard<std::mutex> hold(lock_);
      answering.swap(answering_);
    }
    for (auto& thread : answering) {
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
      } else {
        thread.join();
      }
    }
  }

  // There is no speech permission to ask for on this platform: recognition is possible exactly
  // when the model is installed.
  int authorizationStatus() override { return model_.isInstalled() ? kAuthorized : kRestricted; }

  void requestAuthorization(std::function<void(int status)> handler) override {
    int status = authorizationStatus();
    std::lock_guard<std::mutex> hold(lock_);
    answering_.emplace_back([handler = std::move(handler), status] { handler(status); });
  }

  std::shared_ptr<Recognizer> makeRecognizer(const std::string& localeId) override {
    if (!isSupportedLocale(localeId)) return nullptr;
    return std::make_shared<PocketSphinxRecognizer>(pool_, model_.isInstalled());
  }

  void prepareRecognizers(const std::string& localeId, int count) override {
    if (count > 0 && isSupportedLocale(localeId) && model_.isInstalled()) pool_->prepare(count);
  }

 private:
  const PocketSphinxModel model_;
  const std::shared_ptr<DecoderPool> pool_;
  std::mutex lock_;
  std::vector<std::thread> answering_;
};

}  // namespace

PocketSphinxModel PocketSphinxModel::inDirectory(const std::string& directory) {
  return PocketSphinxModel{directory + "/en-us", directory + "/en-us.lm.bin",
                           directory + "/cmudict-en-us.dict"};
}

bool PocketSphinxModel::isInstalled() const {
  return isDirectory(acousticModel) && isReadableFile(languageModel) && isReadableFile(dictionary);
}

bool isSupportedLocale(const std::string& localeId) {
  std::string_view id = localeId;
  id = id.substr(0, id.find_first_of(".@"));
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return id.size() == 5 && lower(id[0]) == 'e' && lower(id[1]) == 'n' &&
         (id[2] == '-' || id[2] == '_') && lower(id[3]) == 'u' && lower(id[4]) == 's';
}

std::shared_ptr<SpeechService> makePocketSphinxSpeechService(PocketSphinxModel model) {
  return std::make_shared<PocketSphinxSpeechService>(std::move(model));
}

std::shared_ptr<SpeechService> makePlatformSpeechService() {
  return makePocketSphinxSpeechService();
}

}  // namespace kavri::speech
