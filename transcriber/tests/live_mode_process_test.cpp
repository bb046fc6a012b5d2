// The live command channel end to end: the real reader, grammar, main queue, session and exits in
// a child process, over fake devices (see live_mode_driver.cpp).
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "child_process.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using Json = nlohmann::json;

ChildProcess driver(std::vector<std::string> args = {}) {
  args.insert(args.begin(), KAVRI_LIVE_MODE_DRIVER);
  return ChildProcess(std::move(args));
}

Json parse(const std::optional<std::string>& line) {
  if (!line) return Json();
  return Json::parse(*line, nullptr, false);
}

// Reads lines until one with the given "event" (or the output ends).
Json waitForEvent(ChildProcess& child, const std::string& name) {
  while (auto line = child.readLine()) {
    Json event = parse(line);
    if (event.value("event", "") == name) return event;
  }
  return Json();
}

TEST(LiveModeProcess, StartPartialsStopFinalAndExitZero) {
  auto child = driver();
  child.write("start\n");
  // Partials may come before "started": nothing holds them back.
  EXPECT_EQ(waitForEvent(child, "started"),
            (Json{{"event", "started"}, {"locale", "en-US"}, {"source", "both"}}));
  Json partial = waitForEvent(child, "partial");
  EXPECT_EQ(partial["speaker"], "mic");
  child.write("  stop \t\n");
  Json final = waitForEvent(child, "final");
  EXPECT_EQ(final["sources"], (Json{"mic", "system"}));
  EXPECT_EQ(final["language"], "en-US");
  EXPECT_EQ(final["segments"], Json::array());
  EXPECT_EQ(final["text"].get<std::string>().substr(0, 4), "word");
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

class FifoDir {
 public:
  FifoDir() {
    char pattern[] = "/tmp/kavri-live-mode.XXXXXX";
    dir = ::mkdtemp(pattern);
  }
  ~FifoDir() { std::filesystem::remove_all(dir); }
  std::string dir;
};

TEST(LiveModeProcess, CommandsFromTheFifoAndAfterItsWriterReturns) {
  FifoDir temp;
  std::string fifo = temp.dir + "/commands";
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
  // Orphans come to us instead of to init, so the test can reap the transcriber.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int pidPipe[2], goPipe[2], events[2];
  ASSERT_EQ(::pipe2(pidPipe, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(goPipe, O_CLOEXEC), 0);
  // The events pipe is ours, so writing events does not fail once the host is gone: only the
  // host check can end the process.
  ASSERT_EQ(::pipe2(events, O_CLOEXEC), 0);
  pid_t host = ::fork();
  ASSERT_GE(host, 0);
  if (host == 0) {
    // The host: starts the transcriber, starts a session, closes the commands, and dies once
    // the test has seen "started".
    int commands[2];
    if (::pipe2(commands, O_CLOEXEC) != 0) ::_exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, commands[0], 0);
    posix_spawn_file_actions_adddup2(&actions, events[1], 1);
    char* args[] = {const_cast<char*>(KAVRI_LIVE_MODE_DRIVER), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args, environ) != 0) ::_exit(1);
    (void)!::write(commands[1], "start en-US mic\n", 16);
    ::close(commands[1]);
    (void)!::write(pidPipe[1], &pid, sizeof pid);
    char go = 0;
    (void)!::read(goPipe[0], &go, 1);
    ::_exit(0);
  }
  ::close(pidPipe[1]);
  ::close(goPipe[0]);
  ::close(events[1]);
  pid_t transcriber = -1;
  ASSERT_EQ(::read(pidPipe[0], &transcriber, sizeof transcriber),
            static_cast<ssize_t>(sizeof transcriber));
  ::close(pidPipe[0]);

  std::string output;
  auto readSome = [&] {
    pollfd fd{events[0], POLLIN, 0};
    char chunk[4096];
    if (::poll(&fd, 1, 10) > 0) {
      ssize_t n = ::read(events[0], chunk, sizeof chunk);
      if (n > 0) output.append(chunk, static_cast<size_t>(n));
    }
  };
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (output.find("\"started\"") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    readSome();
  }
  EXPECT_NE(output.find("\"started\""), std::string::npos);
  (void)!::write(goPipe[1], "g", 1);
  int status = 0;
  ASSERT_EQ(::waitpid(host, &status, 0), host);

  std::optional<int> exitStatus;
  while (!exitStatus && std::chrono::steady_clock::now() < deadline) {
    readSome();
    if (::waitpid(transcriber, &status, WNOHANG) == transcriber) {
      exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  if (!exitStatus) {
    ::kill(transcriber, SIGKILL);
    ::waitpid(transcriber, &status, 0);
  }
  ::close(goPipe[1]);
  ::close(events[0]);
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_EQ(exitStatus, 2);
  // Cancelled, not stopped: no final event.
  EXPECT_EQ(output.find("\"final\""), std::string::npos);
}

}  // namespace
}  // namespace kavri
