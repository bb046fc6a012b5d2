// The speech recognition service the transcriber relies on: authorization, one recogniser per
// locale, buffer-fed and file requests, tasks and their results. Backends live beside this file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/pcm_buffer.h"

namespace kavri::speech {

// Authorization statuses, handed around as plain integers so that values outside the known four
// (the host sees them as "unknown") can pass through.
enum : int { kNotDetermined = 0, kDenied = 1, kRestricted = 2, kAuthorized = 3 };

struct Error {
  int64_t code = 0;
  std::string description;
};

struct Segment {
  std::string substring;
  double timestamp = 0.0;  // seconds from the start of the audio
  double duration = 0.0;   // seconds
};

struct Transcription {
  std::string formattedString;  // the whole text of the task so far
  std::vector<Segment> segments;
};

struct Result {
  bool isFinal = false;
  Transcription bestTranscription;
};

// Called repeatedly with a result or an error, or both; non-final results, then a final result
// or an error. Runs on a thread of the service, never under a lock of the caller's.
using ResultHandler =
    std::function<void(const std::optional<Result>& result, const std::optional<Error>& error)>;

// Values of the task state; only `running` matters to callers.
enum class TaskState : int {
  starting = 0,
  running = 1,
  finishing = 2,
  canceling = 3,
  completed = 4
};

class RecognitionTask {
 public:
  virtual ~RecognitionTask() = default;
  virtual TaskState state() const = 0;
  // Stops recognition; no result follows. Safe from any thread, and more than once.
  virtual void cancel() = 0;
};

// A request fed with audio buffers while it is recognised. append() only queues: it never
// decodes and never waits for the recognising thread, so capture threads can call it.
class AudioBufferRecognitionRequest {
 public:
  bool shouldReportPartialResults = false;
  bool requiresOnDeviceRecognition = false;
  bool addsPunctuation = false;
  // Audio not yet read that the request keeps at most; the oldest goes beyond it. A recogniser
  // kept from reading (its results cannot be written) must not gather audio without end.
  std::chrono::milliseconds maxUnreadAudio = std::chrono::milliseconds::max();

  // False when older audio had to be dropped to keep within maxUnreadAudio.
  bool append(audio::PcmBufferPtr buffer);
  // No more audio; the task goes on to its final result. Buffers appended later are dropped.
  void endAudio();

  // Consumer side, for the recognising thread.
  enum class Next { buffer, ended, timedOut };
  // Waits up to `timeout` for the next buffer (moved into `out`), for the end of audio, or for
  // wake(); timedOut also when woken.
  Next next(audio::PcmBufferPtr& out, std::chrono::milliseconds timeout);
  void wake();
  bool audioEnded() const;
  // The task ends at a pause, before the end of the audio, and leaves the rest to a next task.
  // False when the audio has ended already: the task must then go on to the end of it. One
  // decision under the request's lock, so that an end of audio is either seen here or comes
  // after restHandedOn() turned true.
  bool handOnRest();
  // Whether the task ended at a pause leaving audio behind: a next task is needed to hear it,
  // even when the audio has been ended since.
  bool restHandedOn() const;

 private:
  mutable std::mutex lock_;
  std::condition_variable ready_;
  std::deque<audio::PcmBufferPtr> queue_;
  std::chrono::duration<double> queued_{0};
  bool ended_ = false;
  bool woken_ = false;
  bool restHandedOn_ = false;
};

struct UrlRecognitionRequest {
  std::string path;  // relative paths are taken from the current directory
  bool shouldReportPartialResults = true;
  bool requiresOnDeviceRecognition = false;
  bool addsPunctuation = false;
};

class Recognizer {
 public:
  virtual ~Recognizer() = default;
  virtual bool isAvailable() const = 0;
  virtual bool supportsOnDeviceRecognition() const = 0;
  virtual std::shared_ptr<RecognitionTask> recognitionTask(
      std::shared_ptr<AudioBufferRecognitionRequest> request, ResultHandler handler) = 0;
  virtual std::shared_ptr<RecognitionTask> recognitionTask(const UrlRecognitionRequest& request,
                                                           ResultHandler handler) = 0;
};

class SpeechService {
 public:
  virtual ~SpeechService() = default;
  // The current status, without ever prompting.
  virtual int authorizationStatus() = 0;
  // Calls handler once, later, on a thread of the service, with the status.
  virtual void requestAuthorization(std::function<void(int status)> handler) = 0;
  // A recogniser for the locale identifier, or null when the locale is not supported.
  virtual std::shared_ptr<Recognizer> makeRecognizer(const std::string& localeId) = 0;
  // Starts loading what `count` recognisers for the locale will need, in the background, so that
  // makeRecognizer() is quick later. Never blocks; services with nothing to load ignore it.
  virtual void prepareRecognizers(const std::string& localeId, int count) {
    (void)localeId;
    (void)count;
  }
};

// Answers authorisation requests as requestAuthorization() promises: later, each on a thread of
// its own. Going away waits for the answers, unless it is an answer that lets go of the last owner.
class AuthorizationAnswers {
 public:
  AuthorizationAnswers() = default;
  AuthorizationAnswers(const AuthorizationAnswers&) = delete;
  AuthorizationAnswers& operator=(const AuthorizationAnswers&) = delete;
  ~AuthorizationAnswers();

  void answer(std::function<void(int status)> handler, int status);

 private:
  std::mutex lock_;
  std::vector<std::thread> threads_;
};

// The service of the platform the transcriber was built for.
std::shared_ptr<SpeechService> makePlatformSpeechService();

}  // namespace kavri::speech
