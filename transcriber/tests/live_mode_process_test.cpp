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
using testing::runUntilTheHostDies;
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

TEST(LiveModeProcess, EndsWhenItsHostDiesWhileInputIsAtItsEnd) {
  auto outcome = runUntilTheHostDies(LIVE_MODE_DRIVER_PATH, "start en-US mic\n");
  EXPECT_TRUE(outcome.sawStarted) << outcome.output;
  EXPECT_EQ(outcome.exitStatus, 2);
  // Cancelled, not stopped: no final event.
  EXPECT_EQ(outcome.output.find("\"final\""), std::string::npos);
}

// The real program: its input at its end keeps it listening while its host lives, and it ends
// with status 2 once the host is gone.
TEST(LiveModeProcess, TheProgramOutlivesItsClosedInputButNotItsHost) {
  auto outcome = runUntilTheHostDies(KAVRI_TRANSCRIBE_PATH, "");
  EXPECT_TRUE(outcome.sawStarted) << "ended when its input closed: " << outcome.output;
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
  auto child = driver({"--events-fifo", fifo});
  // Our reading end lets the program's open of the FIFO complete.
  int reader = -1;
  for (auto deadline = std::chrono::steady_clock::now() + 20s;
       reader < 0 && std::chrono::steady_clock::now() < deadline;) {
    reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  ASSERT_GE(reader, 0);
  child.write("start en-US both\n");
  std::string received;
  std::vector<Json> read;
  for (auto deadline = std::chrono::steady_clock::now() + 20s;
       read.size() < 5 && std::chrono::steady_clock::now() < deadline;) {
    pollfd fd{reader, POLLIN, 0};
    char chunk[4096];
    if (::poll(&fd, 1, 50) <= 0) continue;
    ssize_t n = ::read(reader, chunk, sizeof chunk);
    if (n > 0) received.append(chunk, static_cast<size_t>(n));
    for (size_t lineFeed; (lineFeed = received.find('\n')) != std::string::npos;) {
      read.push_back(Json::parse(received.substr(0, lineFeed), nullptr, false));
      received.erase(0, lineFeed + 1);
    }
  }
  ASSERT_GE(read.size(), 5u);
  EXPECT_EQ(child.readAllLines(200ms), std::vector<std::string>{});  // nothing on stdout
  ::close(reader);
  expectEndsWhenTheOutputCloses(child.waitForExit(10s), read);
}

TEST(LiveModeProcess, AHostThatNeverOpensTheEventsFifoAndDiesLeavesNoOrphan) {
  TempDir temp;
  std::string fifo = temp / "events";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // The driver's start-up is the program's: it waits for a reader of the events FIFO.
  testing::HostedProgram hosted({LIVE_MODE_DRIVER_PATH, "--events-fifo", fifo}, "");
  ASSERT_GT(hosted.pid(), 0);
  // The program notes its parent first thing; the host must not be gone before that.
  testing::waitUntil([&] { return testing::runsProgram(hosted.pid(), LIVE_MODE_DRIVER_PATH); }, 10s,
                     10ms);
  std::this_thread::sleep_for(200ms);
  hosted.endHost();  // gone before anybody opened the FIFO
  EXPECT_EQ(hosted.waitForExit(10s), 2);
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
