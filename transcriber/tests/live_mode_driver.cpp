// kavri-transcribe's start-up on fake devices: a microphone and a system-audio capture that each
// play a buffer every 20 ms and a speech service that hears one word per buffer, so that
// process-level tests can drive the real command channel, event output, session and exits without
// audio hardware or a speech model.
//   live_mode_driver [--fake-speech-status N] [--commands-fifo PATH] [--events-fifo PATH]
//                    [--system-audio-fails-after N]
// With --system-audio-fails-after the system capture stops with an error after N buffers, as when
// the audio server dies, and delivers nothing more.
#include <string>
#include <thread>

#include "command_line.h"
#include "fake_audio.h"
#include "transcriber.h"

using namespace kavri;

namespace {

// A task that turns every buffer into one more word, and the end of audio into a final result.
class WordPerBufferTask : public speech::RecognitionTask {
 public:
  WordPerBufferTask(std::shared_ptr<speech::AudioBufferRecognitionRequest> request,
                    speech::ResultHandler handler)
      : request_(std::move(request)), handler_(std::move(handler)) {}

  void run() {
    std::string text;
    while (state_ == speech::TaskState::running) {
      audio::PcmBufferPtr buffer;
      auto next = request_->next(buffer, std::chrono::milliseconds(20));
      if (state_ != speech::TaskState::running) return;
      if (next == speech::AudioBufferRecognitionRequest::Next::buffer) {
        text += text.empty() ? "word" : " word";
        handler_(speech::Result{false, {text, {}}}, std::nullopt);
      } else if (next == speech::AudioBufferRecognitionRequest::Next::ended) {
        handler_(speech::Result{true, {text, {}}}, std::nullopt);
        state_ = speech::TaskState::completed;
      }
    }
  }
  speech::TaskState state() const override { return state_; }
  void cancel() override {
    state_ = speech::TaskState::canceling;
    request_->wake();
  }

 private:
  std::shared_ptr<speech::AudioBufferRecognitionRequest> request_;
  speech::ResultHandler handler_;
  std::atomic<speech::TaskState> state_{speech::TaskState::running};
};

class WordPerBufferRecognizer : public speech::Recognizer {
 public:
  bool isAvailable() const override { return true; }
  bool supportsOnDeviceRecognition() const override { return true; }
  std::shared_ptr<speech::RecognitionTask> recognitionTask(
      std::shared_ptr<speech::AudioBufferRecognitionRequest> request,
      speech::ResultHandler handler) override {
    auto task = std::make_shared<WordPerBufferTask>(std::move(request), std::move(handler));
    std::thread([task] { task->run(); }).detach();
    return task;
  }
  std::shared_ptr<speech::RecognitionTask> recognitionTask(const speech::UrlRecognitionRequest&,
                                                           speech::ResultHandler) override {
    return nullptr;
  }
};

class DriverSpeechService : public speech::SpeechService {
 public:
  explicit DriverSpeechService(int status) : status_(status) {}
  int authorizationStatus() override { return status_; }
  void requestAuthorization(std::function<void(int)> handler) override {
    std::thread([handler, status = status_] { handler(status); }).detach();
  }
  std::shared_ptr<speech::Recognizer> makeRecognizer(const std::string& localeId) override {
    if (localeId != "en-US") return nullptr;
    return std::make_shared<WordPerBufferRecognizer>();
  }

 private:
  int status_;
};

// A microphone that plays one buffer every 20 ms while it runs.
class PlayingEngine : public testing::FakeAudioEngine {
 public:
  std::optional<audio::AudioError> start() override {
    running = true;
    std::thread([this] {
      while (running) {
        play(testing::makeBuffer(320));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }).detach();
    return std::nullopt;
  }
};

// What the computer plays: one buffer every 20 ms, until stopped or, when asked, until it fails.
class PlayingCapture : public testing::FakeSystemAudioCapture {
 public:
  explicit PlayingCapture(std::optional<int> failAfter) : failAfter_(failAfter) {}

  audio::StartedStream startCapture(const audio::CaptureTarget& target,
                                    const audio::StreamConfiguration& config,
                                    audio::StreamCallbacks callbacks) override {
    auto started = FakeSystemAudioCapture::startCapture(target, config, callbacks);
    if (!started.stream) return started;
    auto state = std::make_shared<Playing>();
    std::thread([state, callbacks, failAfter = failAfter_] {
      audio::AudioFormat format{audio::SampleFormat::s16, 16000.0, 1};
      auto buffer = testing::makeBuffer(320, format);
      for (int played = 0;; ++played) {
        {
          // Callbacks run under the lock, so none runs once stopCapture() has returned.
          std::lock_guard<std::mutex> hold(state->lock);
          if (state->stopped) return;
          if (failAfter && played == *failAfter) {
            callbacks.onStoppedWithError(audio::AudioError{"pulse", 6, "Connection terminated"});
            return;
          }
          callbacks.onSampleBuffer(audio::SampleBuffer{
              true, format, 320, std::span<const std::byte>(buffer->data(), buffer->byteLength())});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }).detach();
    return {std::make_unique<Stream>(state), std::nullopt};
  }

 private:
  struct Playing {
    std::mutex lock;
    bool stopped = false;
  };
  class Stream : public audio::CaptureStream {
   public:
    explicit Stream(std::shared_ptr<Playing> state) : state_(std::move(state)) {}
    std::optional<audio::AudioError> stopCapture() override {
      std::lock_guard<std::mutex> hold(state_->lock);
      state_->stopped = true;
      return std::nullopt;
    }

   private:
    std::shared_ptr<Playing> state_;
  };

  std::optional<int> failAfter_;
};

}  // namespace

int main(int argc, char** argv) {
  const CommandLine commandLine(argc, argv);
  int status = speech::kAuthorized;
  if (auto value = commandLine.argValue("--fake-speech-status")) status = std::stoi(*value);
  std::optional<int> systemFailsAfter;
  if (auto value = commandLine.argValue("--system-audio-fails-after")) {
    systemFailsAfter = std::stoi(*value);
  }
  runTranscriber(argc, argv,
                 Platform{std::make_shared<DriverSpeechService>(status),
                          [] { return std::make_shared<PlayingEngine>(); },
                          std::make_shared<PlayingCapture>(systemFailsAfter)});
}
