// kavri-transcribe's live mode on fake devices: a microphone that plays a buffer every 20 ms and a
// speech service that hears one word per buffer, so that process-level tests can drive the real
// command channel, session and exits without audio hardware or a speech model.
//   live_mode_driver [--fake-speech-status N] [--commands-fifo PATH]
#include <csignal>
#include <string>
#include <thread>

#include "command_line.h"
#include "dispatch.h"
#include "event_output.h"
#include "fake_audio.h"
#include "modes.h"

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

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  static const CommandLine commandLine(argc, argv);
  static MainQueue mainQueue;
  static EventOutput output(1);
  setEventOutput(&output);
  int status = speech::kAuthorized;
  if (auto value = commandLine.argValue("--fake-speech-status")) status = std::stoi(*value);
  static const Platform platform{std::make_shared<DriverSpeechService>(status),
                                 [] { return std::make_shared<PlayingEngine>(); },
                                 std::make_shared<testing::FakeSystemAudioCapture>()};
  startLiveMode(commandLine, platform, mainQueue);
  mainQueue.runForever();
}
