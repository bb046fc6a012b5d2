// The PocketSphinx engine with its real model and real recordings: files of every kind, accuracy,
// errors, and capture audio recognised utterance by utterance. How the worker orders, cancels and
// carries audio over between tasks is tested against a scripted decoder instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "speech/speech_service_pocketsphinx.h"
#include "task_results.h"
#include "testing/files.h"
#include "testing/recordings.h"

namespace kavri::speech {
namespace {

using namespace std::chrono_literals;
using testing::Collector;
using testing::Delivery;
using testing::LiveFeed;
constexpr auto kWait = testing::kResultWait;

std::string lowerWords(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    out.push_back((c >= 'a' && c <= 'z') || c == '\'' ? c : ' ');
  }
  std::istringstream in(out);
  std::string word, joined;
  while (in >> word) joined += (joined.empty() ? "" : " ") + word;
  return joined;
}

size_t wordCount(const std::string& text) {
  std::istringstream in(text);
  size_t count = 0;
  for (std::string word; in >> word;) ++count;
  return count;
}

// The same words at the same times.
void expectSameTranscription(const Transcription& actual, const Transcription& expected,
                             const std::string& what = "") {
  EXPECT_EQ(actual.formattedString, expected.formattedString) << what;
  ASSERT_EQ(actual.segments.size(), expected.segments.size()) << what;
  for (size_t i = 0; i < expected.segments.size(); ++i) {
    EXPECT_EQ(actual.segments[i].timestamp, expected.segments[i].timestamp) << what << " " << i;
    EXPECT_EQ(actual.segments[i].duration, expected.segments[i].duration) << what << " " << i;
  }
}

class PocketSphinxEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!PocketSphinxModel::installed().isInstalled() ||
        !std::filesystem::exists(testing::recording(testing::kGoForwardRaw))) {
      GTEST_SKIP() << "the PocketSphinx model or its test recordings are not installed";
    }
    dir_ = new testing::TempDir;
    service_ = makePocketSphinxSpeechService();
    auto convert = [](std::vector<std::string> output) {
      auto arguments = testing::goForwardInput();
      arguments.insert(arguments.end(), output.begin(), output.end());
      ASSERT_TRUE(testing::sox(arguments)) << output.back();
    };
    convert({*dir_ / "goforward.wav"});
    convert({"-r", "44100", "-c", "2", *dir_ / "goforward.flac"});
    convert({"-r", "44100", "-c", "2", *dir_ / "goforward.mp3"});
    convert({"-r", "48000", "-c", "6", *dir_ / "goforward-6ch.wav"});
    convert({"-r", "96000", "-b", "24", *dir_ / "goforward-24bit.wav"});
    convert({"-r", "22050", *dir_ / "goforward.ogg"});
    convert({*dir_ / "goforward.aiff"});
    ASSERT_TRUE(testing::sox(
        {"-n", "-r", "16000", "-c", "1", "-b", "16", *dir_ / "silence.wav", "trim", "0", "2"}));
    // Two utterances with two seconds of silence between them.
    ASSERT_TRUE(testing::sox({*dir_ / "goforward.wav", *dir_ / "silence.wav",
                              *dir_ / "goforward.wav", *dir_ / "twice.wav"}));
    // The same as capture hardware delivers it: 44.1 kHz stereo float, with a pause at the end
    // long enough for the engine to hear the second utterance end.
    ASSERT_TRUE(testing::sox({*dir_ / "twice.wav", "-r", "44100", "-c", "2", "-e", "floating-point",
                              "-b", "32", "-t", "raw", *dir_ / "twice.f32", "pad", "0", "1"}));
  }

  static void TearDownTestSuite() {
    service_.reset();
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override {
    if (!service_) GTEST_SKIP();
  }

  static std::optional<Delivery> recognizeFile(const std::string& path, bool addsPunctuation = true,
                                               SpeechService& service = *service_) {
    auto recognizer = service.makeRecognizer("en-US");
    UrlRecognitionRequest request;
    request.path = path;
    request.shouldReportPartialResults = false;
    request.addsPunctuation = addsPunctuation;
    Collector collector;
    recognizer->recognitionTask(request, collector.handler());
    auto outcome = collector.outcome();
    if (outcome) {
      EXPECT_NE(outcome->thread, std::this_thread::get_id());
    }
    return outcome;
  }

  static std::string recognizedText(const std::string& path) {
    auto outcome = recognizeFile(path);
    if (!outcome || !outcome->result) {
      ADD_FAILURE() << path << ": "
                    << (outcome && outcome->error ? outcome->error->description : "no outcome");
      return "";
    }
    return outcome->result->bestTranscription.formattedString;
  }

  // 44.1 kHz stereo float buffers of 1024 frames, as a capture tap delivers them.
  static std::vector<audio::PcmBufferPtr> captureBuffers(const std::string& rawFloatPath) {
    std::ifstream in(rawFloatPath, std::ios::binary);
    std::vector<audio::PcmBufferPtr> buffers;
    const audio::AudioFormat format{audio::SampleFormat::float32, 44100.0, 2};
    for (;;) {
      auto buffer = std::make_shared<audio::PcmBuffer>(format, 1024);
      in.read(reinterpret_cast<char*>(buffer->data()),
              static_cast<std::streamsize>(buffer->byteCapacity()));
      auto frames =
          static_cast<uint32_t>(in.gcount() / static_cast<std::streamsize>(format.bytesPerFrame()));
      if (frames == 0) break;
      buffer->setFrameLength(frames);
      buffers.push_back(buffer);
    }
    return buffers;
  }

  static std::shared_ptr<AudioBufferRecognitionRequest> liveRequest() {
    auto request = std::make_shared<AudioBufferRecognitionRequest>();
    request->shouldReportPartialResults = true;
    request->addsPunctuation = true;
    request->requiresOnDeviceRecognition = true;
    return request;
  }

  static testing::TempDir* dir_;
  static std::shared_ptr<SpeechService> service_;
};

testing::TempDir* PocketSphinxEngine::dir_ = nullptr;
std::shared_ptr<SpeechService> PocketSphinxEngine::service_;

TEST_F(PocketSphinxEngine, RecognisesTheSampleRecordingWithWordTimes) {
  auto outcome = recognizeFile(*dir_ / "goforward.wav");
  ASSERT_TRUE(outcome && outcome->result);
  const auto& transcription = outcome->result->bestTranscription;
  EXPECT_TRUE(outcome->result->isFinal);
  EXPECT_EQ(transcription.formattedString, "Go forward ten meters.");
  std::vector<std::string> words;
  for (const auto& segment : transcription.segments) words.push_back(segment.substring);
  EXPECT_EQ(words, (std::vector<std::string>{"Go", "forward", "ten", "meters"}));
  ASSERT_EQ(transcription.segments.size(), 4u);
  // "go" begins about half a second in; the words follow each other within the recording.
  EXPECT_NEAR(transcription.segments[0].timestamp, 0.46, 0.1);
  for (size_t i = 1; i < 4; ++i) {
    const auto& before = transcription.segments[i - 1];
    EXPECT_GT(before.duration, 0.0);
    EXPECT_LE(before.timestamp + before.duration, transcription.segments[i].timestamp + 1e-9);
  }
  EXPECT_LT(transcription.segments[3].timestamp + transcription.segments[3].duration, 2.8);
}

TEST_F(PocketSphinxEngine, WithoutPunctuationThereIsNoFullStop) {
  auto outcome = recognizeFile(*dir_ / "goforward.wav", false);
  ASSERT_TRUE(outcome && outcome->result);
  EXPECT_EQ(outcome->result->bestTranscription.formattedString, "Go forward ten meters");
}

TEST_F(PocketSphinxEngine, OtherRatesChannelsAndFormatsGiveTheSameWords) {
  for (const char* name : {"goforward.flac", "goforward.mp3", "goforward-6ch.wav",
                           "goforward-24bit.wav", "goforward.ogg", "goforward.aiff"}) {
    EXPECT_EQ(lowerWords(recognizedText(*dir_ / name)), "go forward ten meters") << name;
  }
}

TEST_F(PocketSphinxEngine, ResampledAudioDecodesTheSameEveryTime) {
  auto first = recognizeFile(*dir_ / "goforward.flac");
  auto second = recognizeFile(*dir_ / "goforward.flac");
  ASSERT_TRUE(first && first->result && second && second->result);
  expectSameTranscription(second->result->bestTranscription, first->result->bestTranscription);
}

TEST_F(PocketSphinxEngine, AFileComesOutTheSameWhateverTheRecogniserHeardBefore) {
  const std::string file =
      testing::recording("librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
  auto service = makePocketSphinxSpeechService();  // a decoder of its own, fresh from the model
  auto recognizer = service->makeRecognizer("en-US");
  auto decode = [&] {
    UrlRecognitionRequest request;
    request.path = file;
    request.shouldReportPartialResults = false;
    Collector collector;
    recognizer->recognitionTask(request, collector.handler());
    auto outcome = collector.outcome();
    EXPECT_TRUE(outcome && outcome->result);
    return outcome && outcome->result ? outcome->result->bestTranscription : Transcription{};
  };
  auto fresh = decode();
  // Live audio in between moves the decoder's estimate of the channel.
  auto request = liveRequest();
  for (const auto& buffer : captureBuffers(*dir_ / "twice.f32")) request->append(buffer);
  request->endAudio();
  Collector live;
  recognizer->recognitionTask(request, live.handler());
  ASSERT_TRUE(live.outcome());
  auto again = decode();

  expectSameTranscription(again, fresh);
}

TEST_F(PocketSphinxEngine, LeavingOutTheWordsNoSearchReachesChangesNoWordAndNoTime) {
  PocketSphinxModel whole = PocketSphinxModel::installed();
  whole.loadUnreachableWords = true;
  auto wholeDictionary = makePocketSphinxSpeechService(whole);
  for (const std::string& file :
       {std::string(*dir_ / "twice.wav"),
        testing::recording("librivox/sense_and_sensibility_01_austen_64kb-0870.wav")}) {
    auto expected = recognizeFile(file, true, *wholeDictionary);
    auto actual = recognizeFile(file);
    ASSERT_TRUE(expected && expected->result && actual && actual->result) << file;
    expectSameTranscription(actual->result->bestTranscription, expected->result->bestTranscription,
                            file);
  }
}

// The recognisers of a process share the language model, which keeps a lookup cache of its own.
TEST_F(PocketSphinxEngine, TwoRecognisersAtOnceHearWhatEachHearsAlone) {
  const std::string mine =
      testing::recording("librivox/sense_and_sensibility_01_austen_64kb-0870.wav");
  const std::string other =
      testing::recording("librivox/sense_and_sensibility_01_austen_64kb-0880.wav");
  auto alone = recognizeFile(mine);
  auto meanwhile = std::async(std::launch::async, [&] { return recognizeFile(other); });
  auto together = recognizeFile(mine);
  ASSERT_TRUE(meanwhile.get());
  ASSERT_TRUE(alone && alone->result && together && together->result);
  expectSameTranscription(together->result->bestTranscription, alone->result->bestTranscription);
}

TEST_F(PocketSphinxEngine, EachUtteranceIsASentenceAndTimesStayInFileTime) {
  auto outcome = recognizeFile(*dir_ / "twice.wav");
  ASSERT_TRUE(outcome && outcome->result);
  const auto& transcription = outcome->result->bestTranscription;
  EXPECT_EQ(transcription.formattedString, "Go forward ten meters. Go forward ten meters.");
  ASSERT_EQ(transcription.segments.size(), 8u);
  // The second "go" comes 2.79 s of recording and 2 s of silence after the first.
  EXPECT_NEAR(transcription.segments[4].timestamp - transcription.segments[0].timestamp, 4.79,
              0.05);
}

// Word error rate over the five LibriVox recordings, against their reference transcripts. The
// engine's own command-line decoder gets 26 errors in 71 words (36.6 %) on them.
TEST_F(PocketSphinxEngine, LibriVoxRecordingsStayUnderTheWordErrorRateOfTheStockDecoder) {
  size_t errors = 0, referenceWords = 0, files = 0;
  for (const auto& clip : testing::librivoxClips()) {
    const std::vector<std::string>& reference = clip.words;
    std::vector<std::string> hypothesis;
    std::istringstream h(lowerWords(recognizedText(clip.path)));
    for (std::string w; h >> w;) hypothesis.push_back(w);
    // Levenshtein distance over words.
    std::vector<size_t> row(hypothesis.size() + 1);
    for (size_t j = 0; j <= hypothesis.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= reference.size(); ++i) {
      size_t diagonal = row[0];
      row[0] = i;
      for (size_t j = 1; j <= hypothesis.size(); ++j) {
        size_t above = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                           diagonal + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1)});
        diagonal = above;
      }
    }
    errors += row[hypothesis.size()];
    referenceWords += reference.size();
    ++files;
  }
  ASSERT_EQ(files, 5u);
  double wordErrorRate = static_cast<double>(errors) / static_cast<double>(referenceWords);
  RecordProperty("word_error_rate", std::to_string(wordErrorRate));
  EXPECT_LE(wordErrorRate, 0.40) << errors << " errors in " << referenceWords << " words";
}

TEST_F(PocketSphinxEngine, FilesThatCannotBeDecodedAreErrorsNamingTheCause) {
  std::string garbage = *dir_ / "garbage.wav";
  std::ofstream(garbage) << "RIFF but not really a wave file at all";
  std::string empty = *dir_ / "empty.wav";
  std::ofstream{empty};
  std::string noFrames = *dir_ / "noframes.wav";
  ASSERT_TRUE(testing::sox({*dir_ / "goforward.wav", noFrames, "trim", "0", "0"}));

  const std::pair<std::string, std::string> cases[] = {
      {dir_->path(), "directory"}, {garbage, ""}, {empty, ""}, {noFrames, "no audio"}};
  for (const auto& [path, cause] : cases) {
    auto outcome = recognizeFile(path);
    ASSERT_TRUE(outcome) << path;
    ASSERT_TRUE(outcome->error) << path;
    EXPECT_EQ(outcome->error->code, kErrorAudioUnreadable) << path;
    EXPECT_NE(outcome->error->description.find(cause), std::string::npos)
        << path << ": " << outcome->error->description;
    EXPECT_GT(outcome->error->description.size(), std::string("cannot decode audio: ").size());
  }
}

TEST_F(PocketSphinxEngine, OnlyAmericanEnglishHasARecogniser) {
  for (const char* id : {"en-US", "en_US", "en-us", "EN_us", "en_US.UTF-8", "en_US@posix"}) {
    EXPECT_TRUE(isSupportedLocale(id)) << id;
    auto recognizer = service_->makeRecognizer(id);
    ASSERT_NE(recognizer, nullptr) << id;
    EXPECT_TRUE(recognizer->isAvailable());
    EXPECT_TRUE(recognizer->supportsOnDeviceRecognition());
  }
  for (const char* id : {"en", "en-GB", "fr-FR", "", "en-USA", "en-US-x", "us-EN", "enUS"}) {
    EXPECT_FALSE(isSupportedLocale(id)) << id;
    EXPECT_EQ(service_->makeRecognizer(id), nullptr) << id;
  }
}

TEST_F(PocketSphinxEngine, AuthorizedWhenTheModelIsInstalledAnsweredOnAnotherThread) {
  EXPECT_EQ(service_->authorizationStatus(), kAuthorized);
  std::promise<std::pair<int, std::thread::id>> answer;
  service_->requestAuthorization([&](int status) {
    answer.set_value({status, std::this_thread::get_id()});
  });
  auto future = answer.get_future();
  ASSERT_EQ(future.wait_for(kWait), std::future_status::ready);
  auto [status, thread] = future.get();
  EXPECT_EQ(status, kAuthorized);
  EXPECT_NE(thread, std::this_thread::get_id());
}

TEST_F(PocketSphinxEngine, AMissingModelIsRestrictedAndTasksReportIt) {
  auto service = makePocketSphinxSpeechService(PocketSphinxModel::inDirectory(dir_->path()));
  EXPECT_EQ(service->authorizationStatus(), kRestricted);
  std::promise<int> answer;
  service->requestAuthorization([&](int status) { answer.set_value(status); });
  EXPECT_EQ(answer.get_future().get(), kRestricted);
  service->prepareRecognizers("en-US", 2);

  auto recognizer = service->makeRecognizer("en-US");
  ASSERT_NE(recognizer, nullptr);
  EXPECT_FALSE(recognizer->isAvailable());
  Collector collector;
  UrlRecognitionRequest request;
  request.path = *dir_ / "goforward.wav";
  recognizer->recognitionTask(request, collector.handler());
  auto outcome = collector.outcome();
  ASSERT_TRUE(outcome && outcome->error);
  EXPECT_EQ(outcome->error->code, kErrorModelUnavailable);
}

// ---------------------------------------------------------------------------------------------
// Buffer-fed recognition

TEST_F(PocketSphinxEngine, CaptureBuffersGiveGrowingPartialsAndAFinalPerUtterance) {
  auto buffers = captureBuffers(*dir_ / "twice.f32");
  ASSERT_GT(buffers.size(), 300u);
  LiveFeed live(service_->makeRecognizer("en-US"));
  // All at once, faster than anyone speaks: audio queued behind the end of an utterance must
  // reach the next task.
  for (const auto& buffer : buffers) live.feed(buffer);
  ASSERT_TRUE(live.waitForSpokenFinals(2)) << live.shown();
  live.endAudio();
  ASSERT_TRUE(live.waitForEnd());

  EXPECT_FALSE(live.deliveredOnCallerThread());
  std::vector<std::string> spoken;
  for (const auto& final : live.finalsOfEndedTasks()) {
    if (!final.empty()) spoken.push_back(final);
  }
  EXPECT_EQ(spoken, (std::vector<std::string>{"Go forward ten meters.", "Go forward ten meters."}));

  const auto first = live.log().at(0);
  ASSERT_GE(first.partials.size(), 2u);
  EXPECT_LT(wordCount(first.partials.front()), wordCount(first.partials.back()));
  EXPECT_EQ(first.partials.back() + ".", first.finals[0]);
  for (size_t i = 1; i < first.partials.size(); ++i) {
    EXPECT_NE(first.partials[i], first.partials[i - 1]) << "partials come only on a change";
  }
}

TEST_F(PocketSphinxEngine, AServiceCanGoWhileItLoadsAhead) {
  auto service = makePocketSphinxSpeechService();
  service->prepareRecognizers("en-US", 1);
  service->prepareRecognizers("fr-FR", 1);  // nothing to load for a locale without a model
  service.reset();
  SUCCEED() << "destroying the service joined its loader";
}

}  // namespace
}  // namespace kavri::speech
