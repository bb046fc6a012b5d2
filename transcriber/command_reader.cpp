#include "command_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace kavri {

CommandReader::CommandReader(int fd, Submit submit, std::function<void()> onHostGone,
                             CommandReaderOptions options)
    : fd_(fd),
      submit_(std::move(submit)),
      onHostGone_(std::move(onHostGone)),
      options_(std::move(options)),
      splitter_(options_.maxLineBytes) {}

CommandInput::~CommandInput() {
  if (fd_ >= 0 && !isStandardInput()) ::close(fd_);
}

bool CommandInput::isStandardInput() const {
  return fd_ == STDIN_FILENO;
}

CommandInput CommandInput::open(const std::optional<std::string>& fifoPath) {
  if (fifoPath) {
    // Opened without waiting for a writer: until one comes, reads find the end of input and the
    // reader polls, exactly as after a writer has gone, and the host-gone check works meanwhile.
    // Reads block again once a writer is there.
    int fd = -1;
    do {
      fd = ::open(fifoPath->c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      int flags = ::fcntl(fd, F_GETFL);
      if (flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) return CommandInput(fd);
      ::close(fd);
    }
  }
  return CommandInput(STDIN_FILENO);
}

void CommandReader::run() {
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // End of input (or a read error, treated alike): the host may still open the FIFO again,
      // so keep looking, unless the host itself is gone.
      if (stopRequested_) return;
      if (options_.hostAlive && !options_.hostAlive()) {
        if (onHostGone_) onHostGone_();
        return;
      }
      std::this_thread::sleep_for(options_.endOfInputPoll);
      continue;
    }
    for (const std::string& line :
         splitter_.push(std::string_view(buffer, static_cast<size_t>(n)))) {
      LiveCommand command = parseLiveCommand(line);
      if (command.kind != LiveCommand::Kind::none) submit_(command);
    }
  }
}

}  // namespace kavri
