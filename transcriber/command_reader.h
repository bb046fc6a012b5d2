// The live command reader: reads command lines from standard input or the commands FIFO for the
// life of the process and hands each recognised command on.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "line_splitter.h"
#include "live_command.h"

namespace kavri {

// At end of input the reader looks again this often, so a later writer of the FIFO is heard.
inline constexpr std::chrono::milliseconds kEndOfInputPoll{50};

struct CommandReaderOptions {
  std::chrono::milliseconds endOfInputPoll = kEndOfInputPoll;
  size_t maxLineBytes = kMaxLineBytes;
  // Asked while the input is at its end; false means the host is gone, so nobody will ever write
  // a command again. Never asked when empty.
  std::function<bool()> hostAlive;
};

// The input the commands come from: an opened FIFO (closed with this object) or standard input
// (never closed).
class CommandInput {
 public:
  // The FIFO (or file) at the path opened for reading, or standard input when there is no path or
  // it cannot be opened.
  static CommandInput open(const std::optional<std::string>& fifoPath);

  CommandInput(CommandInput&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  CommandInput& operator=(CommandInput&&) = delete;
  ~CommandInput();

  int fd() const { return fd_; }
  bool isStandardInput() const;

 private:
  explicit CommandInput(int fd) : fd_(fd) {}
  int fd_;
};

class CommandReader {
 public:
  using Submit = std::function<void(const LiveCommand& command)>;

  // Reads from `fd`; submit gets every line that is a command, in order. onHostGone is called
  // once when hostAlive() says the host has gone, and the reader then returns.
  CommandReader(int fd, Submit submit, std::function<void()> onHostGone = {},
                CommandReaderOptions options = {});

  // Reads until the host is gone or requestStop(); in the program that is for the life of the
  // process.
  void run();
  // Makes run() return at its next look at the end of input; for tests.
  void requestStop() { stopRequested_ = true; }

 private:
  int fd_;
  Submit submit_;
  std::function<void()> onHostGone_;
  CommandReaderOptions options_;
  LineSplitter splitter_;
  std::atomic<bool> stopRequested_{false};
};

}  // namespace kavri
