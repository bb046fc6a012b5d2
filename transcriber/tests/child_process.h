// A child process with pipes on its standard input and output, for tests that drive a program
// the way its host does. Every wait has a deadline; a child still running at the end is killed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kavri::testing {

class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> argv) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    closeStdin();
    if (stdout_ >= 0) ::close(stdout_);
  }

  pid_t pid() const { return pid_; }

  void write(const std::string& bytes) {
    if (stdin_ >= 0) (void)!::write(stdin_, bytes.data(), bytes.size());
  }
  void closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
  }

  // The next complete output line, or none when none came before the deadline or the output
  // ended.
  std::optional<std::string> readLine(
      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto lineFeed = buffer_.find('\n');
      if (lineFeed != std::string::npos) {
        std::string line = buffer_.substr(0, lineFeed);
        buffer_.erase(0, lineFeed + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd fd{stdout_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      ssize_t n = ::read(stdout_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  // All output until the child closes it (or the deadline).
  std::vector<std::string> readAllLines(
      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::vector<std::string> lines;
    while (auto line = readLine(timeout)) lines.push_back(*line);
    return lines;
  }

  // The exit status, or none if the child neither exited nor was killed by the deadline.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    if (status_) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
  std::optional<int> status_;
};

}  // namespace kavri::testing
