#include "testing/hosted_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "testing/process.h"

namespace kavri::testing {
namespace {

// Without its input or its host the program has nothing to say; this long alive shows that it
// outlived them.
constexpr auto kOutlivesInput = std::chrono::milliseconds(300);
// Output is read in slices this long, so that the program's end is noticed meanwhile.
constexpr auto kReadSlice = std::chrono::milliseconds(10);

}  // namespace

HostedProgram::HostedProgram(const std::vector<std::string>& argv, const std::string& commands) {
  // Orphans come to us instead of to init, so the test can reap the program.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return;
  int pidPipe[2], goPipe[2], output[2];
  if (::pipe2(pidPipe, O_CLOEXEC) != 0 || ::pipe2(goPipe, O_CLOEXEC) != 0 ||
      ::pipe2(output, O_CLOEXEC) != 0) {
    return;
  }
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);
  // The host writes the commands, which the program may never read; it is a copy of the test
  // process, and ignores SIGPIPE as that does.
  ignoreBrokenPipes();
  host_ = ::fork();
  if (host_ == 0) {
    // Only the test's end of the go pipe may keep it open: its closing ends the host.
    ::close(goPipe[1]);
    int input[2];
    if (::pipe2(input, O_CLOEXEC) != 0) ::_exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    pid_t pid = -1;
    if (spawnWithDefaultSignals(&pid, &actions, argp.data(), environ) != 0) ::_exit(1);
    // Only the program may read the commands: a program that ends before it has read them all
    // makes the write fail instead of leaving it waiting.
    ::close(input[0]);
    if (!commands.empty()) (void)!::write(input[1], commands.data(), commands.size());
    ::close(input[1]);
    (void)!::write(pidPipe[1], &pid, sizeof pid);
    char go = 0;
    (void)!::read(goPipe[0], &go, 1);
    ::_exit(0);
  }
  ::close(pidPipe[1]);
  ::close(goPipe[0]);
  ::close(output[1]);
  go_ = goPipe[1];
  outputPipe_ = output[0];
  if (host_ > 0 && ::read(pidPipe[0], &pid_, sizeof pid_) != static_cast<ssize_t>(sizeof pid_)) {
    pid_ = -1;
  }
  ::close(pidPipe[0]);
}

HostedProgram::~HostedProgram() {
  endHost();
  if (pid_ > 0 && !exitStatus_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeOutput();
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

void HostedProgram::readSome(std::chrono::milliseconds timeout) {
  if (outputPipe_ < 0) {
    std::this_thread::sleep_for(timeout);
    return;
  }
  pollfd fd{outputPipe_, POLLIN, 0};
  if (::poll(&fd, 1, static_cast<int>(timeout.count())) <= 0) return;
  char chunk[4096];
  ssize_t n = ::read(outputPipe_, chunk, sizeof chunk);
  if (n > 0) {
    output_.append(chunk, static_cast<size_t>(n));
  } else if (n == 0) {
    closeOutput();
  }
}

bool HostedProgram::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output_.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    readSome(kReadSlice);
  }
  return output_.find(text) != std::string::npos;
}

void HostedProgram::closeOutput() {
  if (outputPipe_ >= 0) ::close(outputPipe_);
  outputPipe_ = -1;
}

void HostedProgram::endHost() {
  if (go_ < 0) return;
  ::close(go_);
  go_ = -1;
  if (host_ > 0) ::waitpid(host_, nullptr, 0);
}

std::optional<int> HostedProgram::waitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (pid_ > 0 && !exitStatus_ && std::chrono::steady_clock::now() < deadline) {
    readSome(kReadSlice);
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  return exitStatus_;
}

HostGoneOutcome runUntilTheHostIsGone(const std::string& program, const std::string& startLine) {
  HostedProgram hosted({program}, startLine);
  HostGoneOutcome outcome;
  outcome.pid = hosted.pid();
  if (!startLine.empty()) {
    outcome.sawStarted = hosted.waitForOutput("\"started\"");
  } else {
    std::this_thread::sleep_for(kOutlivesInput);
    outcome.sawStarted = hosted.pid() > 0 && isRunning(hosted.pid());
  }
  hosted.endHost();
  // Reading on meanwhile, as the host's reading end would be read.
  outcome.outlivedItsHost = !hosted.waitForExit(kOutlivesInput);
  hosted.closeOutput();
  outcome.exitStatus = hosted.waitForExit(kHostGoneNoticed);
  outcome.output = hosted.output();
  return outcome;
}

}  // namespace kavri::testing
