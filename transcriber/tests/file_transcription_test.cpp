// File mode against a scripted speech service: every outcome line and exit status.
#include "file_mode.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "event_output.h"
#include "last_event.h"
#include "testing/files.h"
#include "testing/json_lines.h"

namespace kavri {
namespace {

using speech::Error;
using speech::Result;
using speech::Segment;
using testing::readFile;

struct Delivery {
  std::optional<Result> result;
  std::optional<Error> error;
};

// A recogniser that answers a file request with a fixed script, on a thread of its own.
class ScriptedRecognizer : public speech::Recognizer {
 public:
  ScriptedRecognizer(std::vector<Delivery> script, bool onDevice)
      : script_(std::move(script)), onDevice_(onDevice) {}
  ~ScriptedRecognizer() override {
    for (auto& thread : threads_) thread.join();
  }

  bool isAvailable() const override { return true; }
  bool supportsOnDeviceRecognition() const override { return onDevice_; }

  std::shared_ptr<speech::RecognitionTask> recognitionTask(
      std::shared_ptr<speech::AudioBufferRecognitionRequest>, speech::ResultHandler) override {
    ADD_FAILURE() << "file mode asked for a buffer-fed task";
    return nullptr;
  }

  std::shared_ptr<speech::RecognitionTask> recognitionTask(
      const speech::UrlRecognitionRequest& request, speech::ResultHandler handler) override {
    requests.push_back(request);
    auto caller = std::this_thread::get_id();
    threads_.emplace_back([this, handler, caller] {
      EXPECT_NE(std::this_thread::get_id(), caller);
      for (const auto& delivery : script_) handler(delivery.result, delivery.error);
    });
    return nullptr;
  }

  std::vector<speech::UrlRecognitionRequest> requests;

 private:
  std::vector<Delivery> script_;
  bool onDevice_;
  std::vector<std::thread> threads_;
};

class ScriptedSpeechService : public speech::SpeechService {
 public:
  explicit ScriptedSpeechService(std::vector<Delivery> script, bool onDevice = true)
      : recognizer(std::make_shared<ScriptedRecognizer>(std::move(script), onDevice)) {}

  int authorizationStatus() override { return speech::kAuthorized; }
  void requestAuthorization(std::function<void(int)> handler) override {
    handler(speech::kAuthorized);
  }
  std::shared_ptr<speech::Recognizer> makeRecognizer(const std::string& localeId) override {
    localesAsked.push_back(localeId);
    if (localeId != "en-US" && localeId != "en_us") return nullptr;
    return recognizer;
  }

  std::shared_ptr<ScriptedRecognizer> recognizer;
  std::vector<std::string> localesAsked;
};

Result finalResult(std::string text, std::vector<Segment> segments) {
  return Result{true, speech::Transcription{std::move(text), std::move(segments)}};
}

Result partialResult(std::string text) {
  return Result{false, speech::Transcription{text, {}}};
}

class FileTranscription : public ::testing::Test {
 protected:
  void SetUp() override {
    existing_ = dir_ / "speech.wav";
    std::ofstream(existing_) << "audio";
    outPath_ = dir_ / "events";
    outFd_ = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    output_ = std::make_unique<EventOutput>(outFd_);
    setEventOutput(output_.get());
  }
  void TearDown() override { ::close(outFd_); }

  std::vector<nlohmann::json> events() { return testing::parseJsonLines(readFile(outPath_)); }

  testing::TempDir dir_;
  std::string existing_;
  std::string outPath_;
  int outFd_ = -1;
  std::unique_ptr<EventOutput> output_;
};

TEST_F(FileTranscription, FinalResultBecomesOneFinalLine) {
  ScriptedSpeechService service(
      {{partialResult("Go"), std::nullopt},
       {finalResult("Go forward.", {{"Go", 0.5, 0.25}, {"forward", 0.75, 0.5}}), std::nullopt}});
  transcribeFile(service, existing_, "en_us");

  auto lines = events();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], nlohmann::json::parse(R"({"event":"final","text":"Go forward.",
      "segments":[{"start":0.5,"end":0.75,"text":"Go"},{"start":0.75,"end":1.25,"text":"forward"}],
      "language":"en_us"})"));
  EXPECT_EQ(service.localesAsked, std::vector<std::string>{"en_us"});
}

TEST_F(FileTranscription, RequestAsksForPunctuationNoPartialsAndOnDeviceWhenSupported) {
  for (bool onDevice : {true, false}) {
    ScriptedSpeechService service({{finalResult("", {}), std::nullopt}}, onDevice);
    transcribeFile(service, existing_, "en-US");
    ASSERT_EQ(service.recognizer->requests.size(), 1u);
    const auto& request = service.recognizer->requests[0];
    EXPECT_EQ(request.path, existing_);
    EXPECT_FALSE(request.shouldReportPartialResults);
    EXPECT_TRUE(request.addsPunctuation);
    EXPECT_EQ(request.requiresOnDeviceRecognition, onDevice);
  }
}

TEST_F(FileTranscription, FinalWithoutSegmentsHasAnEmptyList) {
  ScriptedSpeechService service({{finalResult("", {}), std::nullopt}});
  transcribeFile(service, existing_, "en-US");
  auto lines = events();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0]["segments"].is_array());
  EXPECT_TRUE(lines[0]["segments"].empty());
  EXPECT_EQ(lines[0]["text"], "");
}

TEST_F(FileTranscription, OnlyTheFirstOutcomeIsWritten) {
  {
    ScriptedSpeechService service(
        {{finalResult("Done.", {}), std::nullopt}, {std::nullopt, Error{7, "late"}}});
    transcribeFile(service, existing_, "en-US");
  }
  {
    ScriptedSpeechService service({{std::nullopt, Error{7, "first"}},
                                   {finalResult("Late.", {}), std::nullopt},
                                   {std::nullopt, Error{8, "second"}}});
    transcribeFile(service, existing_, "en-US");
  }
  auto lines = events();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["event"], "final");
  EXPECT_EQ(
      lines[1],
      nlohmann::json::parse(
          R"({"event":"error","message":"recognition_failed","code":7,"description":"first"})"));
}

TEST_F(FileTranscription, AnErrorThatComesWithAResultIsTheOutcome) {
  ScriptedSpeechService service({{finalResult("Half.", {}), Error{3, "broke"}}});
  transcribeFile(service, existing_, "en-US");
  auto lines = events();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["message"], "recognition_failed");
  EXPECT_EQ(lines[0]["code"], 3);
}

TEST_F(FileTranscription, ADirectoryPassesTheExistenceTestAndReachesTheRecogniser) {
  ScriptedSpeechService service({{std::nullopt, Error{1, "is a directory"}}});
  transcribeFile(service, dir_.path(), "en-US");
  ASSERT_EQ(service.recognizer->requests.size(), 1u);
  EXPECT_EQ(events().at(0)["message"], "recognition_failed");
}

TEST_F(FileTranscription, RelativePathsAreTakenFromTheCurrentDirectory) {
  auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  ScriptedSpeechService service({{finalResult("Yes.", {}), std::nullopt}});
  transcribeFile(service, "speech.wav", "en-US");
  std::filesystem::current_path(previous);
  EXPECT_EQ(events().at(0)["event"], "final");
}

// The handler has taken the outcome but its line is stuck behind a full pipe when the wait runs
// out: the line must still be written whole, and the process must not end with a timeout.
TEST_F(FileTranscription, AnOutcomeTakenAsTimeRunsOutIsStillWritten) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
  std::string filler(4096, 'f');
  size_t filled = 0;
  for (;;) {
    ssize_t n = ::write(ends[1], filler.data(), filler.size());
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  ::fcntl(ends[1], F_SETFL, 0);
  EventOutput blocked(ends[1]);
  setEventOutput(&blocked);

  ScriptedSpeechService service({{finalResult("Made it.", {}), std::nullopt}});
  std::thread transcribing(
      [&] { transcribeFile(service, existing_, "en-US", std::chrono::milliseconds(50)); });
  // Long after the 50 ms wait has run out, make room for the line.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string drained;
  char chunk[4096];
  while (drained.size() < filled) {
    ssize_t n = ::read(ends[0], chunk, sizeof chunk);
    ASSERT_GT(n, 0);
    drained.append(chunk, static_cast<size_t>(n));
  }
  transcribing.join();
  ::close(ends[1]);
  std::string line;
  for (ssize_t n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;)
    line.append(chunk, static_cast<size_t>(n));
  ::close(ends[0]);
  drained += line;
  EXPECT_EQ(drained.substr(filled),
            "{\"event\":\"final\",\"language\":\"en-US\",\"segments\":[],\"text\":\"Made it.\"}\n");
}

using FileTranscriptionDeathTest = FileTranscription;

TEST_F(FileTranscriptionDeathTest, PermissionNotGrantedIsReportedWithItsStatusWord) {
  const std::pair<int, const char*> cases[] = {
      {0, "notDetermined"}, {1, "denied"}, {2, "restricted"}, {9, "unknown"}};
  for (auto [status, word] : cases) {
    ScriptedSpeechService service({{finalResult("No.", {}), std::nullopt}});
    EXPECT_ENDS_WITH(
        handleFilePermission(status, service, existing_, "en-US"), 2,
        std::string("\\{\"event\":\"error\",\"message\":\"speech_authorization_") + word + "\"\\}");
  }
}

TEST_F(FileTranscriptionDeathTest, PermissionGrantedTranscribesAndExitsWithZero) {
  ScriptedSpeechService service({{finalResult("Hi.", {}), std::nullopt}});
  EXPECT_ENDS_WITH(
      handleFilePermission(speech::kAuthorized, service, existing_, "en-US"), 0,
      "\\{\"event\":\"final\",\"language\":\"en-US\",\"segments\":\\[\\],\"text\":\"Hi.\"\\}");
}

TEST_F(FileTranscriptionDeathTest, RecognitionFailureExitsWithZero) {
  ScriptedSpeechService service({{std::nullopt, Error{42, "no audio"}}});
  EXPECT_ENDS_WITH(handleFilePermission(speech::kAuthorized, service, existing_, "en-US"), 0,
                   "\\{\"code\":42,\"description\":\"no "
                   "audio\",\"event\":\"error\",\"message\":\"recognition_failed\"\\}");
}

TEST_F(FileTranscriptionDeathTest, UnsupportedLocaleIsReportedBeforeAMissingFile) {
  ScriptedSpeechService service({});
  EXPECT_ENDS_WITH(transcribeFile(service, dir_ / "missing.wav", "fr-FR"), 2,
                   "\\{\"event\":\"error\",\"message\":\"recognizer_unsupported_locale\"\\}");
}

TEST_F(FileTranscriptionDeathTest, MissingFileIsReportedWithoutStartingATask) {
  ScriptedSpeechService service({{finalResult("Never.", {}), std::nullopt}});
  EXPECT_ENDS_WITH(transcribeFile(service, dir_ / "missing.wav", "en-US"), 2,
                   "\\{\"event\":\"error\",\"message\":\"file_not_found\"\\}");
  // A dangling symbolic link names nothing that exists either.
  std::filesystem::create_symlink(dir_ / "nowhere", dir_ / "link.wav");
  EXPECT_ENDS_WITH(transcribeFile(service, dir_ / "link.wav", "en-US"), 2,
                   "\\{\"event\":\"error\",\"message\":\"file_not_found\"\\}");
}

TEST_F(FileTranscriptionDeathTest, NoOutcomeInTimeIsATimeout) {
  // Partial results alone, or nothing at all, are no outcome.
  for (auto script :
       {std::vector<Delivery>{},
        std::vector<Delivery>{{partialResult("Go"), std::nullopt}, {std::nullopt, std::nullopt}}}) {
    ScriptedSpeechService service(script);
    EXPECT_ENDS_WITH(transcribeFile(service, existing_, "en-US", std::chrono::milliseconds(50)), 2,
                     "\\{\"event\":\"error\",\"message\":\"recognition_timeout\"\\}");
  }
}

}  // namespace
}  // namespace kavri
