// A host process for tests of what the transcriber does when its host goes away: the test
// forks a host that starts the program, and the host dies when told to. Every wait has a
// deadline; a program still running at the end is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

namespace kavri::testing {

// Whether the process exists and has not ended (a zombie has ended), whoever's child it is.
inline bool isRunning(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  auto paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

// Whether the process runs the program at `path` (its exec has happened).
inline bool runsProgram(pid_t pid, const std::string& path) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) == path;
}

struct HostGoneOutcome {
  pid_t pid = -1;  // the program's
  bool sawStarted = false;
  std::optional<int> exitStatus;  // none: still running at the deadline (then killed)
  std::string output;
};

// A host process starts `program` with its commands on a pipe, sends `startLine` (if any),
// closes the commands and, once the test has seen "started" (or right away without a start),
// dies. The transcriber's events go to a pipe of the test's, so writing them never fails: only
// the host check can end the process.
inline HostGoneOutcome runUntilTheHostDies(const std::string& program,
                                           const std::string& startLine) {
  HostGoneOutcome outcome;
  // Orphans come to us instead of to init, so the test can reap the transcriber.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return outcome;
  int pidPipe[2], goPipe[2], events[2];
  if (::pipe2(pidPipe, O_CLOEXEC) != 0 || ::pipe2(goPipe, O_CLOEXEC) != 0 ||
      ::pipe2(events, O_CLOEXEC) != 0) {
    return outcome;
  }
  pid_t host = ::fork();
  if (host < 0) return outcome;
  if (host == 0) {
    int commands[2];
    if (::pipe2(commands, O_CLOEXEC) != 0) ::_exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, commands[0], 0);
    posix_spawn_file_actions_adddup2(&actions, events[1], 1);
    char* args[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args, environ) != 0) ::_exit(1);
    if (!startLine.empty()) (void)!::write(commands[1], startLine.data(), startLine.size());
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
  if (::read(pidPipe[0], &transcriber, sizeof transcriber) !=
      static_cast<ssize_t>(sizeof transcriber)) {
    transcriber = -1;
  }
  ::close(pidPipe[0]);
  outcome.pid = transcriber;

  auto readSome = [&] {
    pollfd fd{events[0], POLLIN, 0};
    char chunk[4096];
    if (::poll(&fd, 1, 10) > 0) {
      ssize_t n = ::read(events[0], chunk, sizeof chunk);
      if (n > 0) outcome.output.append(chunk, static_cast<size_t>(n));
    }
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  if (!startLine.empty()) {
    while (outcome.output.find("\"started\"") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      readSome();
    }
    outcome.sawStarted = outcome.output.find("\"started\"") != std::string::npos;
  } else {
    // Nothing to wait for but the end of the input: the process must still be there.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    outcome.sawStarted = transcriber > 0 && isRunning(transcriber);
  }
  (void)!::write(goPipe[1], "g", 1);
  int status = 0;
  ::waitpid(host, &status, 0);

  while (transcriber > 0 && !outcome.exitStatus && std::chrono::steady_clock::now() < deadline) {
    readSome();
    if (::waitpid(transcriber, &status, WNOHANG) == transcriber) {
      outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  if (transcriber > 0 && !outcome.exitStatus) {
    ::kill(transcriber, SIGKILL);
    ::waitpid(transcriber, &status, 0);
  }
  ::close(goPipe[1]);
  ::close(events[0]);
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  return outcome;
}

}  // namespace kavri::testing
