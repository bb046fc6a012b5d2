// The transcriber as the host sees it: the real program, its arguments, its output and its exit
// status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "command_line.h"
#include "testing/files.h"
#include "testing/json_lines.h"
#include "testing/process.h"
#include "testing/recordings.h"

namespace kavri {
namespace {

using testing::parseJsonLines;
using testing::runProcess;
using testing::TempDir;

std::vector<std::string> transcribe(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), KAVRI_TRANSCRIBE_PATH);
  return arguments;
}

TEST(CommandLine, ArgValueTakesWhateverFollowsTheFirstOccurrence) {
  CommandLine line({"prog", "--file", "a.wav", "--file", "b.wav", "--locale", "--probe"});
  EXPECT_EQ(line.argValue("--file"), "a.wav");
  EXPECT_EQ(line.argValue("--locale"), "--probe");
  EXPECT_EQ(line.argValue("--probe"), std::nullopt);
  EXPECT_EQ(line.argValue("--events-fifo"), std::nullopt);
  EXPECT_EQ(CommandLine({"prog", "--file", ""}).argValue("--file"), "");
  EXPECT_EQ(CommandLine({"prog", "--file=a.wav"}).argValue("--file"), std::nullopt);
}

TEST(CommandLine, ModesAreTestedInOrderAndFlagsCountAnywhere) {
  EXPECT_EQ(CommandLine({"prog"}).mode(), Mode::live);
  EXPECT_EQ(CommandLine({"prog", "--locale", "en-US"}).mode(), Mode::live);
  EXPECT_EQ(CommandLine({"prog", "--file", "a", "--probe"}).mode(), Mode::probe);
  EXPECT_EQ(CommandLine({"prog", "--locale", "--prime-screen"}).mode(), Mode::primeScreen);
  EXPECT_EQ(CommandLine({"prog", "--prime-screen", "--request-speech"}).mode(),
            Mode::requestSpeech);
  EXPECT_EQ(CommandLine({"prog", "--file"}).mode(), Mode::file);
}

TEST(CommandLine, HelpComesBeforeVersionAndBothOnlyAsWholeArguments) {
  const std::string usage = *CommandLine({"prog", "--help"}).helpOrVersionText();
  EXPECT_TRUE(usage.starts_with("Usage: kavri-transcribe")) << usage;
  for (const char* flag : {"--events-fifo", "--probe", "--request-speech", "--prime-screen",
                           "--file", "--locale", "--commands-fifo", "--help", "--version"}) {
    EXPECT_NE(usage.find(flag), std::string::npos) << flag;
  }
  for (const char* status : {"\n  0  ", "\n  2  ", "\n  3  "}) {
    EXPECT_NE(usage.find(status), std::string::npos) << status;
  }
  const std::string version = *CommandLine({"prog", "--version"}).helpOrVersionText();
  EXPECT_TRUE(std::regex_match(version, std::regex("kavri-transcribe [0-9]+\\.[0-9]+\\.[0-9]+\n")))
      << version;
  EXPECT_EQ(CommandLine({"prog", "--version", "--file", "--help"}).helpOrVersionText(), usage);
  EXPECT_EQ(CommandLine({"prog", "--probe", "--version"}).helpOrVersionText(), version);
  for (auto argv : {std::vector<std::string>{"prog"},
                    {"prog", "--probe"},
                    {"prog", "-h"},
                    {"prog", "--help=1"},
                    {"prog", "--Version"},
                    {"prog", "-v"}}) {
    EXPECT_EQ(CommandLine(argv).helpOrVersionText(), std::nullopt) << argv.back();
  }
  // The flags are new; the mode choice does not know them.
  EXPECT_EQ(CommandLine({"prog", "--help"}).mode(), Mode::live);
}

TEST(CommandLine, StatusWords) {
  EXPECT_EQ(speechStatusString(0), "notDetermined");
  EXPECT_EQ(speechStatusString(1), "denied");
  EXPECT_EQ(speechStatusString(2), "restricted");
  EXPECT_EQ(speechStatusString(3), "authorized");
  EXPECT_EQ(speechStatusString(4), "unknown");
  EXPECT_EQ(speechStatusString(-1), "unknown");
}

class Transcriber : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    goForward_ = *dir_ / "goforward.wav";
    auto input = testing::goForwardInput();
    input.push_back(goForward_);
    ASSERT_TRUE(testing::sox(input));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static TempDir* dir_;
  static std::string goForward_;
};

TempDir* Transcriber::dir_ = nullptr;
std::string Transcriber::goForward_;

TEST_F(Transcriber, FileAsLastArgumentWritesOneErrorAndExitsWithTwo) {
  auto run = runProcess(transcribe({"--file"}));
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(run.out, "{\"event\":\"error\",\"message\":\"missing_file_arg\"}\n");
  EXPECT_EQ(run.err, "");
}

TEST_F(Transcriber, TranscribesThePathAfterTheFirstFileFlag) {
  auto run = runProcess(transcribe({"--file", goForward_, "--file", *dir_ / "missing.wav"}));
  ASSERT_EQ(run.exitStatus, 0) << run.out << run.err;
  auto events = parseJsonLines(run.out);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["event"], "final");
  EXPECT_EQ(events[0]["text"], "Go forward ten meters.");
  EXPECT_EQ(events[0]["language"], "en-US");
  EXPECT_EQ(run.err, "");

  run = runProcess(transcribe({"--file", *dir_ / "missing.wav", "--file", goForward_}));
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(run.out, "{\"event\":\"error\",\"message\":\"file_not_found\"}\n");
}

TEST_F(Transcriber, FinalSegmentsEndWhereTheirDurationEnds) {
  auto run = runProcess(transcribe({"--file", goForward_, "--locale", "en_US"}));
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  auto event = parseJsonLines(run.out).at(0);
  EXPECT_EQ(event["language"], "en_US");
  std::vector<std::string> words;
  double previousEnd = 0.0;
  for (const auto& segment : event["segments"]) {
    words.push_back(segment["text"]);
    EXPECT_GE(segment["start"].get<double>(), previousEnd - 1e-9);
    EXPECT_GT(segment["end"].get<double>(), segment["start"].get<double>());
    previousEnd = segment["end"];
  }
  EXPECT_EQ(words, (std::vector<std::string>{"Go", "forward", "ten", "meters"}));
  EXPECT_LT(previousEnd, 2.8);  // the recording is 2.79 s long
}

TEST_F(Transcriber, LocaleWithoutValueFallsBackToEnglish) {
  auto run = runProcess(transcribe({"--file", goForward_, "--locale"}));
  ASSERT_EQ(run.exitStatus, 0);
  EXPECT_EQ(parseJsonLines(run.out).at(0)["language"], "en-US");
}

TEST_F(Transcriber, UnsupportedLocaleIsReportedBeforeAMissingFile) {
  // A locale that is not UTF-8 could never be told back to the host as "language": it is not
  // supported, whatever the engine would make of it.
  const std::pair<std::string, std::string> cases[] = {{"de-DE", *dir_ / "missing.wav"},
                                                       {"en_US.\xff", goForward_}};
  for (const auto& [locale, file] : cases) {
    SCOPED_TRACE(locale);
    auto run = runProcess(transcribe({"--file", file, "--locale", locale}));
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.out, "{\"event\":\"error\",\"message\":\"recognizer_unsupported_locale\"}\n");
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(Transcriber, UndecodableFileIsARecognitionFailureWithStatusZero) {
  std::string garbage = *dir_ / "garbage.wav";
  {
    int fd = ::open(garbage.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "not audio at all, only text\n", 28), 28);
    ::close(fd);
  }
  for (const auto& path : {garbage, dir_->path()}) {
    auto run = runProcess(transcribe({"--file", path}));
    EXPECT_EQ(run.exitStatus, 0);
    auto events = parseJsonLines(run.out);
    ASSERT_EQ(events.size(), 1u) << run.out;
    EXPECT_EQ(events[0]["message"], "recognition_failed");
    EXPECT_TRUE(events[0]["code"].is_number_integer());
    EXPECT_FALSE(events[0]["description"].get<std::string>().empty());
  }
}

TEST_F(Transcriber, AModeFlagAsAnotherFlagsValueStillChoosesTheMode) {
  for (auto arguments : {std::vector<std::string>{"--file", "--probe"},
                         std::vector<std::string>{"--locale", "--probe", "--file", "x.wav"},
                         std::vector<std::string>{"--file", goForward_, "--probe"}}) {
    auto run = runProcess(transcribe(arguments));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, "{\"speech\":\"authorized\"}\n");
  }
}

TEST_F(Transcriber, EventsGoToStandardOutputWhenTheFifoCannotBeOpened) {
  auto run = runProcess(transcribe({"--probe", "--events-fifo", *dir_ / "no-such-fifo"}));
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "{\"speech\":\"authorized\"}\n");
  EXPECT_FALSE(std::filesystem::exists(*dir_ / "no-such-fifo"));

  run = runProcess(transcribe({"--probe", "--events-fifo"}));
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "{\"speech\":\"authorized\"}\n");
}

TEST_F(Transcriber, EventsGoToTheFifo) {
  std::string fifo = *dir_ / "events";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Open the reading end without waiting, so the program's blocking open can complete.
  int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  std::string received;
  std::thread collect([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool writerSeen = false;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd fd{reader, POLLIN, 0};
      ::poll(&fd, 1, 100);
      char chunk[256];
      ssize_t n = ::read(reader, chunk, sizeof chunk);
      if (n > 0) {
        received.append(chunk, static_cast<size_t>(n));
        writerSeen = true;
      } else if (n == 0 && writerSeen) {
        break;
      }
    }
  });
  auto run = runProcess(transcribe({"--events-fifo", fifo, "--file", goForward_}));
  collect.join();
  ::close(reader);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "");
  auto events = parseJsonLines(received);
  ASSERT_EQ(events.size(), 1u) << received;
  EXPECT_EQ(events[0]["text"], "Go forward ten meters.");
}

TEST_F(Transcriber, HelpAndVersionGoToStandardOutputBeforeAnyModeOrFifo) {
  // Nobody ever reads this FIFO: opening it for events would wait as long as we live.
  std::string fifo = *dir_ / "unread-events";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string usage = *CommandLine({"prog", "--help"}).helpOrVersionText();
  const std::string version = *CommandLine({"prog", "--version"}).helpOrVersionText();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--help"}, usage},
      {{"--file", goForward_, "--help"}, usage},
      {{"--version"}, version},
      {{"--events-fifo", fifo, "--version", "--probe"}, version},
  };
  for (const auto& [arguments, expected] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    auto run = runProcess(transcribe(arguments), {.timeout = std::chrono::seconds(20)});
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(Transcriber, AHostThatClosesTheOutputEndsTheProgramWithStatusTwoNotASignal) {
  for (auto arguments :
       {std::vector<std::string>{"--probe"}, std::vector<std::string>{"--file", goForward_},
        std::vector<std::string>{"--file"}}) {
    auto run = runProcess(transcribe(arguments), {.closedStdout = true});
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.signal, std::nullopt);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.err, "");
  }
}

}  // namespace
}  // namespace kavri
