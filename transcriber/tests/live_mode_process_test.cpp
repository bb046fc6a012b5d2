// The live command channel end to end: the real reader, grammar, main queue, session and exits in
// a child process, over fake devices (see live_mode_driver.cpp).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "testing/files.h"
#include "testing/hosted_program.h"
#include "testing/json_lines.h"
#include "testing/process.h"
#include "testing/wait.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using testing::JsonLinesChild;
using testing::runUntilTheHostIsGone;
using testing::TempDir;
using Json = nlohmann::json;

JsonLinesChild driver(std::vector<std::string> args = {}) {
  args.insert(args.begin(), LIVE_MODE_DRIVER_PATH);
  return JsonLinesChild(args);
}

Json parse(const std::optional<std::string>& line) {
  if (!line) return Json();
  return Json::parse(*line, nullptr, false);
}

// The host's reading end of an events FIFO. Opened without waiting for a writer, so that the
// program's own (blocking) open of the FIFO can complete; read one JSON line at a time.
class EventsFifoReader {
 public:
  explicit EventsFifoReader(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
  ~EventsFifoReader() { close(); }
  EventsFifoReader(const EventsFifoReader&) = delete;
  EventsFifoReader& operator=(const EventsFifoReader&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // The next line (a discarded value when it is no JSON), or none at the deadline.
  std::optional<Json> next(std::chrono::milliseconds timeout = testing::kLineTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t lineFeed;
    while ((lineFeed = pending_.find('\n')) == std::string::npos) {
      if (fd_ < 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      pollfd fd{fd_, POLLIN, 0};
      char chunk[4096];
      // Between writers poll reports a hang-up at once; the slice keeps that from spinning.
      if (::poll(&fd, 1, kReadSlice) <= 0) continue;
      ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n > 0) {
        pending_.append(chunk, static_cast<size_t>(n));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(kReadSlice));
      }
    }
    Json line = Json::parse(pending_.substr(0, lineFeed), nullptr, false);
    pending_.erase(0, lineFeed + 1);
    return line;
  }
  // Reads lines until one with the given "event"; none at the deadline.
  std::optional<Json> until(const std::string& name,
                            std::chrono::milliseconds timeout = testing::kLineTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto line = next(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now()))) {
      if (line->is_object() && line->value("event", "") == name) return line;
    }
    return std::nullopt;
  }

 private:
  static constexpr int kReadSlice = 20;  // milliseconds
  int fd_;
  std::string pending_;
};

// Opens the commands FIFO as a host does for one command, writes it and closes it again, which
// leaves the program's input at its end. False when the program has not opened the FIFO in time
// (or no longer has it open).
bool sendThroughFifo(const std::string& path, const std::string& line,
                     std::chrono::milliseconds timeout = testing::kLineTimeout) {
  int writer = -1;
  testing::waitUntil(
      [&] { return (writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; },
      timeout);
  if (writer < 0) return false;
  bool written = ::write(writer, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(writer);
  return written;
}

// Reads lines until one with the given "event" (or the output ends).
Json waitForEvent(JsonLinesChild& child, const std::string& name) {
  return child.until(name, testing::kRunTimeout).value_or(Json());
}

TEST(LiveModeProcess, StartPartialsStopFinalAndExitZero) {
  auto child = driver();
  child.write("start\n");
  // Partials may come before "started": nothing holds them back.
  EXPECT_EQ(waitForEvent(child, "started"),
            (Json{{"event", "started"}, {"locale", "en-US"}, {"source", "both"}}));
  // Both sources talk.
  std::set<std::string> speakers;
  while (speakers.size() < 2) {
    Json partial = waitForEvent(child, "partial");
    ASSERT_TRUE(partial.is_object());
    speakers.insert(partial.value("speaker", ""));
  }
  EXPECT_EQ(speakers, (std::set<std::string>{"mic", "system"}));
  child.write("  stop \t\n");
  Json final = waitForEvent(child, "final");
  EXPECT_EQ(final["sources"], (Json{"mic", "system"}));
  EXPECT_EQ(final["language"], "en-US");
  EXPECT_EQ(final["segments"], Json::array());
  std::string text = final["text"];
  EXPECT_EQ(text.substr(0, 4), "word");
  EXPECT_NE(text.find("\nword"), std::string::npos) << "no system line: " << text;
  EXPECT_EQ(child.readAllLines(), std::vector<std::string>{});  // final is the last line
  EXPECT_EQ(child.waitForExit(), 0);
}

TEST(LiveModeProcess, CancelExitsWithThreeAndWritesNothing) {
  auto child = driver();
  child.write("cancel\n");
  EXPECT_EQ(child.readAllLines(), std::vector<std::string>{});
  EXPECT_EQ(child.waitForExit(), 3);
}

TEST(LiveModeProcess, QuitDuringASessionExitsWithZeroAndWritesNoMore) {
  auto child = driver();
  child.write("start en-US mic\n");
  EXPECT_EQ(waitForEvent(child, "started")["source"], "mic");
  child.write("quit\n");
  for (const std::string& line : child.readAllLines()) {
    EXPECT_EQ(parse(line)["event"], "partial");
  }
  EXPECT_EQ(child.waitForExit(), 0);
}

TEST(LiveModeProcess, CommandSplitAcrossWritesAndTwoCommandsInOneWrite) {
  auto child = driver();
  child.write("\xff\xfe\n");                // invalid UTF-8: ignored
  child.write("STOP\nstop now\nstop\r\n");  // none of these is a stop
  child.write("st");
  std::this_thread::sleep_for(50ms);
  child.write("op\nstart\n");  // stop runs; the start after it never does
  auto lines = child.readAllLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(parse(lines[0]), (Json{{"event", "final"},
                                   {"text", ""},
                                   {"segments", Json::array()},
                                   {"language", "en-US"},
                                   {"duration_seconds", 0},
                                   {"sources", Json::array()}}));
  EXPECT_EQ(child.waitForExit(), 0);
}

TEST(LiveModeProcess, RefusedPermissionIsReportedWithExitTwo) {
  for (auto [status, word] :
       {std::pair{"1", "denied"}, {"0", "notDetermined"}, {"2", "restricted"}, {"7", "unknown"}}) {
    auto child = driver({"--fake-speech-status", status});
    child.write("start\n");
    Json expected{{"event", "error"}, {"message", std::string("speech_authorization_") + word}};
    auto lines = child.readAllLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(parse(lines[0]), expected);
    EXPECT_EQ(child.waitForExit(), 2);
  }
}

TEST(LiveModeProcess, UnsupportedSourceAndLocaleExitWithTwo) {
  auto child = driver();
  child.write("start en-US speakers\n");
  EXPECT_EQ(parse(child.readLine()),
            (Json{{"event", "error"}, {"message", "unsupported_source:speakers"}}));
  EXPECT_EQ(child.waitForExit(), 2);
  auto other = driver();
  other.write("start xx-XX\n");
  EXPECT_EQ(parse(other.readLine()),
            (Json{{"event", "error"}, {"message", "recognizer_unsupported_locale_mic"}}));
  EXPECT_EQ(other.waitForExit(), 2);
}

TEST(LiveModeProcess, EndOfStandardInputKeepsTheProcessListening) {
  auto child = driver();
  child.write("start en-US mic\n");
  EXPECT_EQ(waitForEvent(child, "started")["source"], "mic");
  child.closeStdin();
  // Still running and still recognising well after the end of its input.
  EXPECT_EQ(child.waitForExit(300ms), std::nullopt);
  EXPECT_EQ(waitForEvent(child, "partial")["speaker"], "mic");
}

TEST(LiveModeProcess, CommandsFromTheFifoAndAfterItsWriterReturns) {
  TempDir temp;
  std::string fifo = temp / "commands";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto child = driver({"--commands-fifo", fifo});
  child.write("cancel\n");  // standard input is not read when the FIFO opens
  int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "start en-US mic\n", 16), 16);
  ::close(writer);
  EXPECT_EQ(waitForEvent(child, "started")["source"], "mic");
  writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "stop\n", 5), 5);
  EXPECT_EQ(waitForEvent(child, "final")["sources"], Json{"mic"});
  EXPECT_EQ(child.waitForExit(), 0);
  ::close(writer);
}

TEST(LiveModeProcess, UnopenableFifoFallsBackToStandardInput) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--commands-fifo", "/nonexistent/fifo"},
        std::vector<std::string>{"--commands-fifo"}}) {
    auto child = driver(args);
    child.write("quit\n");
    EXPECT_EQ(child.waitForExit(), 0);
  }
}

// A host that lets go of both pipes while the session has nothing to say: nothing ever writes to
// the closed output, so only the program's own check can end it.
TEST(LiveModeProcess, EndsOnceItsHostIsGoneAndNobodyHoldsItsPipes) {
  auto outcome = runUntilTheHostIsGone(LIVE_MODE_DRIVER_PATH, "start en-US mic\n");
  EXPECT_TRUE(outcome.sawStarted) << outcome.output;
  EXPECT_TRUE(outcome.outlivedItsHost) << outcome.output;
  EXPECT_EQ(outcome.exitStatus, 2);
  // Cancelled, not stopped: no final event.
  EXPECT_EQ(outcome.output.find("\"final\""), std::string::npos);
}

// The real program: neither the end of its input nor the end of the process that started it ends
// it; once nobody reads its output either, it ends with status 2 and writes nothing.
TEST(LiveModeProcess, TheProgramOutlivesItsClosedInputAndItsLauncherButNotItsHost) {
  auto outcome = runUntilTheHostIsGone(KAVRI_TRANSCRIBE_PATH, "");
  EXPECT_TRUE(outcome.sawStarted) << "ended when its input closed: " << outcome.output;
  EXPECT_TRUE(outcome.outlivedItsHost) << outcome.output;
  EXPECT_EQ(outcome.exitStatus, 2);
  EXPECT_EQ(outcome.output, "");
}

// How a host that stops listening ends a session: every line it read is whole, and the process
// exits with status 2 (never by a signal) within a bounded time, leaving nothing behind.
void expectEndsWhenTheOutputCloses(std::optional<int> exitStatus, const std::vector<Json>& read) {
  EXPECT_EQ(exitStatus, 2) << "128 + n means signal n";
  for (const Json& event : read) EXPECT_FALSE(event.is_discarded());
}

TEST(LiveModeProcess, AHostThatClosesTheEventsPipeMidSessionEndsItWithStatusTwo) {
  auto child = driver();
  child.write("start\n");
  std::vector<Json> read;
  // Both sources are talking when the host goes.
  bool mic = false, system = false;
  while (!(mic && system)) {
    auto line = child.readLine();
    ASSERT_TRUE(line);
    read.push_back(parse(line));
    mic = mic || read.back().value("speaker", "") == "mic";
    system = system || read.back().value("speaker", "") == "system";
  }
  child.closeStdout();
  expectEndsWhenTheOutputCloses(child.waitForExit(10s), read);
}

TEST(LiveModeProcess, AHostThatClosesTheEventsFifoMidSessionEndsItWithStatusTwo) {
  TempDir temp;
  std::string fifo = temp / "events";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EventsFifoReader events(fifo);
  ASSERT_TRUE(events.isOpen());
  auto child = driver({"--events-fifo", fifo});
  child.write("start en-US both\n");
  std::vector<Json> read;
  while (read.size() < 5) {
    auto line = events.next();
    ASSERT_TRUE(line) << "only " << read.size() << " lines";
    read.push_back(*line);
  }
  EXPECT_EQ(child.readAllLines(200ms), std::vector<std::string>{});  // nothing on stdout
  events.close();
  expectEndsWhenTheOutputCloses(child.waitForExit(10s), read);
}

// A launcher that starts the program and exits at once ("sh -c 'kavri-transcribe ... &'") is no
// host: the host is whoever holds the FIFOs, and a command it sends seconds later is answered.
TEST(LiveModeProcess, AProgramWhoseLauncherHasExitedAnswersCommandsSecondsLater) {
  // Far longer than the program takes to notice the end of its input (it looks every 50 ms).
  constexpr auto kSecondsLater = 2s;
  TempDir temp;
  std::string commands = temp / "commands", eventsPath = temp / "events";
  ASSERT_EQ(::mkfifo(commands.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(eventsPath.c_str(), 0600), 0);
  EventsFifoReader events(eventsPath);
  ASSERT_TRUE(events.isOpen());
  testing::HostedProgram hosted(
      {LIVE_MODE_DRIVER_PATH, "--commands-fifo", commands, "--events-fifo", eventsPath}, "");
  ASSERT_GT(hosted.pid(), 0);
  hosted.endHost();
  std::this_thread::sleep_for(kSecondsLater);

  ASSERT_TRUE(sendThroughFifo(commands, "start en-US mic\n")) << "the program is gone";
  auto started = events.until("started");
  ASSERT_TRUE(started);
  EXPECT_EQ((*started)["source"], "mic");
  ASSERT_TRUE(sendThroughFifo(commands, "stop\n"));
  auto final = events.until("final");
  ASSERT_TRUE(final);
  EXPECT_EQ((*final)["sources"], Json{"mic"});
  EXPECT_EQ(hosted.waitForExit(), 0);
}

// A host that dies before it ever opens the events FIFO leaves the program waiting in that open,
// with nothing loaded and nothing captured. Once a reader has come and gone, nobody holds the
// program's pipes any more and it ends.
TEST(LiveModeProcess, AProgramWaitingForItsEventsReaderEndsOnceAReaderHasComeAndGone) {
  TempDir temp;
  std::string fifo = temp / "events";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  testing::HostedProgram hosted({LIVE_MODE_DRIVER_PATH, "--events-fifo", fifo}, "");
  ASSERT_GT(hosted.pid(), 0);
  hosted.endHost();  // gone before anybody opened the FIFO
  EXPECT_EQ(hosted.waitForExit(300ms), std::nullopt) << "did not wait for its events reader";
  // The program may not be in its open yet when a reader comes and goes; a reader that comes
  // again finds it there.
  bool ended = testing::waitUntil([&] {
    EventsFifoReader passing(fifo);
    passing.close();
    return hosted.waitForExit(testing::kPollInterval).has_value();
  });
  ASSERT_TRUE(ended);
  EXPECT_EQ(hosted.waitForExit(), 2);
  EXPECT_EQ(hosted.output(), "");
}

TEST(LiveModeProcess, AnUnfinishedCommandOfAWriterThatLeftDoesNotSpoilTheNextWritersCommand) {
  TempDir temp;
  std::string fifo = temp / "commands";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto child = driver({"--commands-fifo", fifo});
  int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "start en-US mic\nstart en-US sys", 32), 32);
  ::close(writer);
  EXPECT_EQ(waitForEvent(child, "started")["source"], "mic");
  // The reader sees the end of that writer long before this (it looks every 50 ms).
  std::this_thread::sleep_for(300ms);
  writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  // Glued to the unfinished line this would be "start en-US sysstop"; alone it stops.
  ASSERT_EQ(::write(writer, "stop\n", 5), 5);
  Json final = waitForEvent(child, "final");
  EXPECT_EQ(final["sources"], Json{"mic"});
  EXPECT_EQ(child.waitForExit(), 0);
  ::close(writer);
}

// The system capture fails part-way (the audio server died): one "system_audio_stopped", the
// microphone goes on, and "stop" still gives every word either source had before.
TEST(LiveModeProcess, SystemAudioThatStopsMidSessionIsReportedOnceAndItsWordsAreKept) {
  auto child = driver({"--system-audio-fails-after", "10"});
  child.write("start en-US both\n");
  std::string lastSystemText, lastMicText;
  int stoppedEvents = 0, micPartialsAfter = 0;
  while (micPartialsAfter < 10) {
    auto line = child.readLine();
    ASSERT_TRUE(line) << "the session ended";
    Json event = parse(line);
    if (event.value("message", "") == "system_audio_stopped") {
      ++stoppedEvents;
      EXPECT_EQ(event, (Json{{"event", "error"},
                             {"message", "system_audio_stopped"},
                             {"description", "Connection terminated"}}));
    } else if (event.value("event", "") == "partial") {
      (event["speaker"] == "mic" ? lastMicText : lastSystemText) = event["text"];
      if (stoppedEvents > 0 && event["speaker"] == "mic") ++micPartialsAfter;
    } else {
      EXPECT_TRUE(event.value("event", "") == "started") << *line;
    }
  }
  child.write("stop\n");
  Json final;
  while (auto line = child.readLine()) {
    Json event = parse(line);
    if (event.value("message", "") == "system_audio_stopped") ++stoppedEvents;
    if (event.value("event", "") == "final") final = event;
  }
  EXPECT_EQ(stoppedEvents, 1);
  EXPECT_EQ(child.waitForExit(), 0);
  std::string text = final.value("text", "");
  auto lineFeed = text.find('\n');
  ASSERT_NE(lineFeed, std::string::npos) << text;
  // The microphone line holds at least every word of its last partial; the system line exactly
  // the words heard before the failure.
  EXPECT_EQ(text.compare(0, lastMicText.size(), lastMicText), 0);
  EXPECT_EQ(text.substr(lineFeed + 1), lastSystemText);
  EXPECT_FALSE(lastSystemText.empty());
  EXPECT_EQ(final["sources"], (Json{"mic", "system"}));
}

}  // namespace
}  // namespace kavri
