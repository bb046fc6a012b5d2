// The permission modes with fake services: the one line each writes and the exit that follows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "event_output.h"
#include "permission_modes.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;

class FakeSystemAudioCapture : public audio::SystemAudioCapture {
 public:
  std::optional<audio::AudioError> error;
  std::vector<audio::CaptureTarget> targets;
  int asked = 0;

  std::optional<audio::AudioError> shareableContent(audio::ShareableContent& content) override {
    ++asked;
    if (error) return error;
    content.targets = targets;
    return std::nullopt;
  }
  audio::StartedStream startCapture(const audio::CaptureTarget&, const audio::StreamConfiguration&,
                                    audio::StreamCallbacks) override {
    ADD_FAILURE() << "priming must not start a capture";
    return audio::StartedStream{nullptr, audio::AudioError{"fake", 1, "not here"}};
  }
};

class FakeSpeechService : public speech::SpeechService {
 public:
  explicit FakeSpeechService(int current, int answer) : current_(current), answer_(answer) {}
  int authorizationStatus() override { return current_; }
  // Answers later, from a thread of its own, as the platform does.
  void requestAuthorization(std::function<void(int)> handler) override {
    std::thread([handler, answer = answer_] {
      std::this_thread::sleep_for(20ms);
      handler(answer);
    }).detach();
  }
  std::shared_ptr<speech::Recognizer> makeRecognizer(const std::string&) override {
    return nullptr;
  }

 private:
  int current_;
  int answer_;
};

TEST(PrimeScreenLine, AnAnswerPrimesEvenWithNothingToCapture) {
  FakeSystemAudioCapture capture;
  capture.targets = {audio::CaptureTarget{"kavri_out.monitor"}};
  EXPECT_EQ(primeScreenLine(&capture), (Event{{"screen", "primed"}}));
  capture.targets.clear();
  EXPECT_EQ(primeScreenLine(&capture), (Event{{"screen", "primed"}}));
  EXPECT_EQ(capture.asked, 2);
}

TEST(PrimeScreenLine, AFailureIsDeniedWithTheServicesDescription) {
  FakeSystemAudioCapture capture;
  capture.error = audio::AudioError{"pulse", 6, "Connection refused"};
  EXPECT_EQ(primeScreenLine(&capture),
            (Event{{"screen", "denied"}, {"description", "Connection refused"}}));
  EXPECT_EQ(primeScreenLine(nullptr),
            (Event{{"screen", "denied"}, {"description", kNoSystemAudioServiceDescription}}));
}

// Each mode runs in a child process (it ends its process) that writes its lines to a file.
class PermissionModeProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");
    path_ = std::filesystem::temp_directory_path() /
            ("kavri-permission-" + std::to_string(::getpid()) + ".out");
    std::filesystem::remove(path_);
  }
  void TearDown() override { std::filesystem::remove(path_); }

  // In the child: sends events to the file.
  void routeOutput() {
    FILE* file = std::fopen(path_.c_str(), "w");
    static EventOutput output(::fileno(file));
    setEventOutput(&output);
  }

  std::vector<Event> lines() {
    std::vector<Event> result;
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) result.push_back(Event::parse(line));
    return result;
  }

  [[noreturn]] static void waitForExit() {
    for (;;) ::pause();
  }

  std::string path_;
};

TEST_F(PermissionModeProcess, ProbeWritesTheCurrentStatusAndExitsZero) {
  Platform platform{std::make_shared<FakeSpeechService>(speech::kNotDetermined, speech::kDenied),
                    nullptr, nullptr};
  EXPECT_EXIT(
      {
        routeOutput();
        runProbe(platform);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(lines(), (std::vector<Event>{Event{{"speech", "notDetermined"}}}));
}

TEST_F(PermissionModeProcess, RequestSpeechWritesTheAnswerEvenARefusalAndExitsZero) {
  Platform platform{std::make_shared<FakeSpeechService>(speech::kNotDetermined, speech::kDenied),
                    nullptr, nullptr};
  EXPECT_EXIT(
      {
        routeOutput();
        startRequestSpeech(platform);
        waitForExit();
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(lines(), (std::vector<Event>{Event{{"speech", "denied"}}}));
}

TEST_F(PermissionModeProcess, PrimeScreenWritesOneLineFromAnotherThreadAndExitsZero) {
  auto capture = std::make_shared<FakeSystemAudioCapture>();
  capture->error = audio::AudioError{"pulse", 6, "Connection refused"};
  Platform platform{nullptr, nullptr, capture};
  EXPECT_EXIT(
      {
        routeOutput();
        startPrimeScreen(platform);
        waitForExit();
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(
      lines(),
      (std::vector<Event>{Event{{"screen", "denied"}, {"description", "Connection refused"}}}));
}

}  // namespace
}  // namespace kavri
