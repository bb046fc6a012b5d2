#include "speech/recognition_job.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "speech/dictation_format.h"
#include "speech/mono_mix.h"

namespace kavri::speech {

namespace {

// Samples handed to the decoder at a time when reading a file, and so the granularity at which
// the end of an utterance is looked for: the same as the engine's own command-line decoder, so
// that a file splits into the same utterances.
constexpr size_t kSamplesPerStep = 2048;
// How long a buffer-fed task waits for audio before it looks again whether it was cancelled.
constexpr auto kAudioPollInterval = std::chrono::milliseconds(100);

// Tells where an utterance ends: when the engine's voice activity detection stops hearing
// speech after it heard some. One utterance over a long recording loses words, so audio is
// decoded utterance by utterance, in one stream so that word times stay in audio time.
class Utterances {
 public:
  explicit Utterances(Decoder& decoder) : decoder_(decoder) {}
  ~Utterances() { abandon(); }

  bool begin() { return decoder_.beginStream() && startUtterance(); }

  enum class Step { going, utteranceEnded, failed };
  Step feed(const int16_t* samples, size_t count) {
    if (count == 0) return Step::going;
    auto fed = decoder_.feed(samples, count);
    if (fed == Decoder::Fed::refused) return Step::failed;
    if (fed == Decoder::Fed::speech) heardSpeech_ = true;
    return fed == Decoder::Fed::silence && heardSpeech_ ? Step::utteranceEnded : Step::going;
  }

  bool heardSpeech() const { return heardSpeech_; }
  std::vector<EngineWord> partialWords() const { return decoder_.words(); }

  // Closes the utterance and gives its words; none when no speech was heard in it (the decoder
  // then only matched noise).
  std::vector<EngineWord> endUtterance() {
    std::vector<EngineWord> words;
    if (open_ && decoder_.endUtterance() && heardSpeech_) words = decoder_.words();
    open_ = false;
    heardSpeech_ = false;
    return words;
  }

  bool startUtterance() {
    open_ = decoder_.beginUtterance();
    heardSpeech_ = false;
    return open_;
  }

 private:
  void abandon() {
    if (open_) decoder_.endUtterance();
    open_ = false;
  }

  Decoder& decoder_;
  bool open_ = false;
  bool heardSpeech_ = false;
};

void deliverText(RecognitionJob& job, bool isFinal,
                 const std::vector<std::vector<EngineWord>>& utterances, bool addsPunctuation) {
  job.task->deliver(job.handler,
                    Result{isFinal, dictationTranscription(utterances, addsPunctuation)},
                    std::nullopt);
}

}  // namespace

void WorkerTask::cancel() {
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

void WorkerTask::deliver(const ResultHandler& handler, const std::optional<Result>& result,
                         const std::optional<Error>& error) {
  std::lock_guard<std::mutex> hold(deliveryLock_);
  if (cancelled_) return;
  // A handler is ours and does not throw; if one did, the recogniser's thread would still go on.
  try {
    handler(result, error);
  } catch (...) {
  }
}

void decodeFile(Decoder& decoder, AudioFileReader& reader, RecognitionJob& job) {
  const UrlRecognitionRequest& request = *job.file;
  Utterances utterances(decoder);
  if (!utterances.begin()) return job.fail(kErrorDecoder, "the decoder could not start");

  std::vector<std::vector<EngineWord>> heard;
  std::vector<int16_t> samples;
  size_t used = 0;
  bool more = true;
  while (more || used < samples.size()) {
    if (job.task->isCancelled()) return;
    if (more && samples.size() - used < kSamplesPerStep) {
      samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(used));
      used = 0;
      more = reader.read(samples);
      continue;
    }
    size_t count = std::min(kSamplesPerStep, samples.size() - used);
    auto step = utterances.feed(samples.data() + used, count);
    used += count;
    if (step == Utterances::Step::failed) {
      return job.fail(kErrorDecoder, "the decoder refused the audio");
    }
    if (step == Utterances::Step::utteranceEnded) {
      heard.push_back(utterances.endUtterance());
      if (!utterances.startUtterance()) return job.fail(kErrorDecoder, "the decoder stopped");
      if (request.shouldReportPartialResults) {
        deliverText(job, false, heard, request.addsPunctuation);
      }
    }
  }
  heard.push_back(utterances.endUtterance());
  deliverText(job, true, heard, request.addsPunctuation);
}

void decodeBuffers(Decoder& decoder, const ResamplerFactory& makeResampler, RecognitionJob& job,
                   RequestQueue& unread) {
  AudioBufferRecognitionRequest& request = *job.buffers;
  Utterances utterances(decoder);
  if (!utterances.begin()) return job.fail(kErrorDecoder, "the decoder could not start");

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
        resampler = format.channels > 0 ? makeResampler(format.sampleRate, error) : nullptr;
        if (!resampler) {
          return job.fail(kErrorAudioFormat, "unsupported audio format (" +
                                                 std::to_string(format.channels) + " channels at " +
                                                 std::to_string(format.sampleRate) + " Hz)");
        }
      }
      mono.clear();
      appendMonoSamples(*buffer, mono);
      resampler->process(mono.data(), mono.size(), samples);
    } else if (resampler) {
      resampler->finish(samples);
    }

    auto step = utterances.feed(samples.data(), samples.size());
    samples.clear();
    if (step == Utterances::Step::failed) {
      return job.fail(kErrorDecoder, "the decoder refused the audio");
    }
    const bool audioEnded = next == AudioBufferRecognitionRequest::Next::ended;
    if (step == Utterances::Step::utteranceEnded && !audioEnded) {
      auto words = utterances.endUtterance();
      const bool spoken = std::any_of(words.begin(), words.end(), [](const EngineWord& word) {
        return spokenWord(word.word).has_value();
      });
      // A stretch of noise or breath with no word in it ends no task. And once the caller has
      // ended the audio it waits for the final result of all of it: what is still queued
      // becomes more sentences of this task rather than being dropped with it. A caller that
      // ends the audio only after this finds the rest handed on, and starts the task for it.
      if (!spoken || !request.handOnRest()) {
        if (spoken) heard.push_back(std::move(words));
        if (!utterances.startUtterance()) return job.fail(kErrorDecoder, "the decoder stopped");
        continue;
      }
      heard.push_back(std::move(words));
      // Whatever is still unread, in the older requests first, belongs to the next task.
      unread = std::move(job.carriedOver);
      unread.push_back(job.buffers);
      return deliverText(job, true, heard, request.addsPunctuation);
    }
    if (audioEnded) {
      heard.push_back(utterances.endUtterance());
      return deliverText(job, true, heard, request.addsPunctuation);
    }
    if (request.shouldReportPartialResults && utterances.heardSpeech()) {
      heard.push_back(utterances.partialWords());
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

}  // namespace kavri::speech
