// The one live dictation of a transcriber process: starts the microphone and/or the system audio
// with one recogniser each, reports each source's text as it grows, and on stop joins the texts
// into the final event.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "event_sink.h"
#include "main_queue.h"
#include "mic_source.h"
#include "platform.h"
#include "source_recognizer.h"
#include "system_audio_source.h"

namespace kavri {

// stop() lets the sources capture this long after the command, so the last word is not cut off.
inline constexpr std::chrono::milliseconds kStopGrace{600};
// How long stop() waits for the system-audio capture to stop.
inline constexpr std::chrono::milliseconds kSystemStopWait{4000};
// How long stop() waits for each recogniser's last result, counted from the end of its audio.
inline constexpr std::chrono::milliseconds kFinalWait{8000};

inline constexpr char kSpeakerMic[] = "mic";
inline constexpr char kSpeakerSystem[] = "system";

struct LiveSessionOptions {
  std::chrono::milliseconds stopGrace = kStopGrace;
  std::chrono::milliseconds systemStopWait = kSystemStopWait;
  std::chrono::milliseconds finalWait = kFinalWait;
  std::chrono::milliseconds maxUnreadAudio = SourceRecognizer::kMaxUnreadAudio;
  EventSink emit = [](const Event& event) { kavri::emit(event); };
  // For the lines the end of the process follows ("final", an error the session ends on): nothing
  // is written after them, not even a result that arrives late.
  EventSink emitLast = [](const Event& event) { kavri::emitLast(event); };
  ExitFunction exit = [](int status) { exitProcess(status); };
  TaskLauncher launch = [](std::function<void()> block) { launchTask(std::move(block)); };
  std::function<std::chrono::steady_clock::time_point()> now = [] {
    return std::chrono::steady_clock::now();
  };
};

// Touched only from the main queue, one operation at a time, so it needs no lock of its own.
class LiveSession {
 public:
  explicit LiveSession(Platform platform, LiveSessionOptions options = {});

  // Starts capture and recognition for "mic", "system" or "both" (or the empty word, meaning
  // both) and emits "started". Set-up failures emit their error and exit with 2.
  //
  // A session runs once: a second start() while it runs is ignored, so the first start's
  // sources, text, locale and start time stay as they are and nothing is left capturing with
  // nobody owning it. The host already holds the "started" of the first start.
  void start(const std::string& localeId, const std::string& source);
  // Stops everything, waits for the last results and emits "final".
  void stop();
  // Stops everything; emits nothing.
  void cancel();

  bool isRunning() const { return startedAt_.has_value(); }
  const std::vector<std::string>& sources() const { return sources_; }
  std::shared_ptr<SourceRecognizer> micRecognizer() const { return micRec_; }
  std::shared_ptr<SourceRecognizer> systemRecognizer() const { return sysRec_; }
  std::shared_ptr<SystemAudioSource> systemSource() const { return sys_; }

  // Each source's text trimmed, empty ones left out, joined by line feeds, microphone first.
  static std::string finalText(const std::string& micText, const std::string& systemText);

 private:
  void fail(const std::string& message);
  // A recogniser for the speaker's source, started and reporting to the host; null when the
  // locale has none.
  std::shared_ptr<SourceRecognizer> startRecognizer(const char* speaker,
                                                    const std::string& localeId);
  SourceRecognizer::PartialCallback partialReporter(const char* speaker) const;
  SourceRecognizer::ErrorCallback errorReporter(const char* speaker) const;
  SourceRecognizer::AudioDroppedCallback backlogReporter(const char* speaker) const;
  EventSink audioThreadReporter() const;

  const Platform platform_;
  const LiveSessionOptions options_;

  std::shared_ptr<MicSource> mic_;
  std::shared_ptr<SystemAudioSource> sys_;
  std::shared_ptr<SourceRecognizer> micRec_;
  std::shared_ptr<SourceRecognizer> sysRec_;
  std::optional<std::chrono::steady_clock::time_point> startedAt_;
  std::string localeId_ = kDefaultLocale;
  std::vector<std::string> sources_;
  // Dropped audio is reported once a session, by the first source that drops some.
  const std::shared_ptr<std::atomic<bool>> backlogReported_ = std::make_shared<std::atomic<bool>>();
};

}  // namespace kavri
