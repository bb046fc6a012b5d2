#include "live_session.h"

#include <future>
#include <thread>

#include "unicode_text.h"

namespace kavri {

LiveSession::LiveSession(Platform platform, LiveSessionOptions options)
    : platform_(std::move(platform)), options_(std::move(options)) {}

void LiveSession::fail(const std::string& message) {
  options_.emitLast(Event{{"event", "error"}, {"message", message}});
  options_.exit(2);
}

SourceRecognizer::PartialCallback LiveSession::partialReporter(const char* speaker) const {
  // Reporters capture only what they write with, never the session.
  return [emit = options_.emit, speaker](const std::string& text) {
    emit(Event{{"event", "partial"}, {"speaker", speaker}, {"text", text}});
  };
}

SourceRecognizer::ErrorCallback LiveSession::errorReporter(const char* speaker) const {
  return [emit = options_.emit, speaker](const speech::Error& error) {
    emit(Event{{"event", "error"},
               {"speaker", speaker},
               {"message", "recognition_failed"},
               {"description", error.description},
               {"code", error.code}});
  };
}

// Lines that audio threads report are written by a task of their own: a write waits for the
// host, and a capture or audio-library thread must not wait with it (the library's own stop would
// then wait for the host too).
EventSink LiveSession::audioThreadReporter() const {
  return [emit = options_.emit, launch = options_.launch](const Event& event) {
    launch([emit, event] { emit(event); });
  };
}

SourceRecognizer::AudioDroppedCallback LiveSession::backlogReporter(const char* speaker) const {
  // Audio piles up when the host stops reading, so this line waits for the host.
  return [emit = audioThreadReporter(), reported = backlogReported_, speaker] {
    if (reported->exchange(true)) return;
    emit(Event{{"event", "error"}, {"message", "audio_backlog_dropped"}, {"speaker", speaker}});
  };
}

void LiveSession::start(const std::string& localeId, const std::string& source) {
  if (isRunning()) return;

  std::vector<std::string> sources;
  if (source == "mic") {
    sources = {kSpeakerMic};
  } else if (source == "system") {
    sources = {kSpeakerSystem};
  } else if (source == "both" || source.empty()) {
    sources = {kSpeakerMic, kSpeakerSystem};
  } else {
    return fail("unsupported_source:" + source);
  }
  localeId_ = localeId;
  sources_ = sources;
  const bool wantsMic = sources.front() == kSpeakerMic;
  const bool wantsSystem = sources.back() == kSpeakerSystem;

  if (wantsMic) {
    auto recognizer = startRecognizer(kSpeakerMic, localeId);
    if (!recognizer) return fail("recognizer_unsupported_locale_mic");
    micRec_ = recognizer;
    auto mic = std::make_shared<MicSource>(
        platform_.makeAudioEngine ? platform_.makeAudioEngine() : nullptr, audioThreadReporter());
    mic->setSink(recognizer);
    if (auto error = mic->start()) return fail("audio_engine_start_failed:" + error->description);
    mic_ = mic;
  }

  if (wantsSystem) {
    auto recognizer = startRecognizer(kSpeakerSystem, localeId);
    if (!recognizer) return fail("recognizer_unsupported_locale_system");
    sysRec_ = recognizer;
    auto sys = std::make_shared<SystemAudioSource>(platform_.systemAudio, audioThreadReporter());
    sys->setSink(recognizer);
    sys_ = sys;
    // Asking the capture service can take a while; the microphone is already listening and the
    // host should hear "started" without waiting for it.
    options_.launch([sys, stops = sys->stopsSoFar(), emit = options_.emit] {
      if (auto error = sys->start(stops)) {
        emit(Event{{"event", "error"},
                   {"speaker", kSpeakerSystem},
                   {"message", "system_audio_start_failed"},
                   {"description", error->description}});
      }
    });
  }

  startedAt_ = options_.now();
  options_.emit(Event{{"event", "started"}, {"locale", localeId}, {"source", source}});
}

std::shared_ptr<SourceRecognizer> LiveSession::startRecognizer(const char* speaker,
                                                               const std::string& localeId) {
  if (!platform_.speech) return nullptr;
  auto recognizer =
      SourceRecognizer::make(*platform_.speech, speaker, localeId, options_.maxUnreadAudio);
  if (recognizer) {
    recognizer->start(partialReporter(speaker), errorReporter(speaker), backlogReporter(speaker));
  }
  return recognizer;
}

void LiveSession::stop() {
  std::this_thread::sleep_for(options_.stopGrace);
  if (mic_) mic_->stop();
  if (sys_) {
    // The stop runs elsewhere so that a capture service that never answers cannot hold the
    // final event back for longer than the wait.
    auto stopped = std::make_shared<std::promise<void>>();
    auto done = stopped->get_future();
    options_.launch([sys = sys_, stopped] {
      sys->stop();
      stopped->set_value();
    });
    done.wait_for(options_.systemStopWait);
  }
  // Both recognisers finish their last audio at once, rather than the second only once the first
  // is done; each still has the whole wait from the end of its audio.
  if (micRec_) micRec_->endAudio();
  if (sysRec_) sysRec_->endAudio();
  const auto deadline = std::chrono::steady_clock::now() + options_.finalWait;
  std::string micText = micRec_ ? micRec_->waitForLastTask(deadline) : std::string();
  std::string systemText = sysRec_ ? sysRec_->waitForLastTask(deadline) : std::string();

  int64_t duration = 0;
  if (startedAt_) {
    duration =
        std::chrono::duration_cast<std::chrono::seconds>(options_.now() - *startedAt_).count();
  }
  // A recogniser whose last task outlived the wait may still deliver a result: it must not
  // follow the final event, which the host takes for the end.
  options_.emitLast(Event{{"event", "final"},
                          {"text", finalText(micText, systemText)},
                          {"segments", Event::array()},
                          {"language", localeId_},
                          {"duration_seconds", duration},
                          {"sources", sources_}});
}

void LiveSession::cancel() {
  if (mic_) mic_->stop();
  if (sys_) options_.launch([sys = sys_] { sys->stop(); });
  if (micRec_) micRec_->cancel();
  if (sysRec_) sysRec_->cancel();
}

std::string LiveSession::finalText(const std::string& micText, const std::string& systemText) {
  std::string text;
  for (const std::string* part : {&micText, &systemText}) {
    std::string_view trimmed = text::trimSpaceAndNewlines(*part);
    if (trimmed.empty()) continue;
    if (!text.empty()) text += '\n';
    text += trimmed;
  }
  return text;
}

}  // namespace kavri
