#include "testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <thread>

#include "testing/files.h"

namespace kavri::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReapInterval = std::chrono::milliseconds(10);

std::vector<std::string> environmentWith(const Environment& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string line(*entry);
    if (changes.count(line.substr(0, line.find('='))) == 0) result.push_back(line);
  }
  for (const auto& [name, value] : changes) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

std::chrono::milliseconds left(Clock::time_point deadline) {
  return std::max(std::chrono::milliseconds(0),
                  std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int statusOf(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

}  // namespace

void ignoreBrokenPipes() {
  ::signal(SIGPIPE, SIG_IGN);
}

int spawnWithDefaultSignals(pid_t* pid, const posix_spawn_file_actions_t* actions,
                            char* const argv[], char* const envp[], bool searchPath) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  const int error = searchPath ? ::posix_spawnp(pid, argv[0], actions, &attributes, argv, envp)
                               : ::posix_spawn(pid, argv[0], actions, &attributes, argv, envp);
  posix_spawnattr_destroy(&attributes);
  return error;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options) {
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  if ((options.pipeStdin && ::pipe2(in, O_CLOEXEC) != 0) ||
      ((options.pipeStdout || options.closedStdout) && ::pipe2(out, O_CLOEXEC) != 0) ||
      (options.pipeStderr && ::pipe2(err, O_CLOEXEC) != 0)) {
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      if (fd >= 0) ::close(fd);
    }
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in[0] >= 0) {
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (out[1] >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  if (err[1] >= 0) {
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  } else if (options.silenceStderr) {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  if (options.closedStdout) closeFd(out[0]);
  ignoreBrokenPipes();

  std::vector<std::string> args = argv;
  std::vector<std::string> environment = environmentWith(options.environment);
  auto argp = pointers(args);
  auto envp = pointers(environment);
  pid_t pid = -1;
  if (spawnWithDefaultSignals(&pid, &actions, argp.data(), envp.data(), true) == 0) {
    pid_ = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
  closeFd(in[0]);
  closeFd(out[1]);
  closeFd(err[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  stderr_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !waitStatus_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeFd(stdin_);
  closeFd(stdout_);
  closeFd(stderr_);
}

bool ChildProcess::write(std::string_view bytes) {
  while (stdin_ >= 0 && !bytes.empty()) {
    ssize_t n = ::write(stdin_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return bytes.empty();
}

void ChildProcess::closeStdin() {
  closeFd(stdin_);
}

void ChildProcess::closeStdout() {
  closeFd(stdout_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto lineFeed = pending_.find('\n');
    if (lineFeed != std::string::npos) {
      std::string line = pending_.substr(0, lineFeed);
      pending_.erase(0, lineFeed + 1);
      return line;
    }
    if (stdout_ < 0 || left(deadline).count() == 0) return std::nullopt;
    pollfd fd{stdout_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left(deadline).count())) <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(stdout_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    pending_.append(chunk, static_cast<size_t>(n));
  }
}

std::vector<std::string> ChildProcess::readAllLines(std::chrono::milliseconds timeout) {
  std::vector<std::string> lines;
  while (auto line = readLine(timeout)) lines.push_back(*line);
  return lines;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = Clock::now() + timeout;
  while (!waitStatus_) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      waitStatus_ = status;
      break;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(kReapInterval);
  }
  return statusOf(*waitStatus_);
}

void ChildProcess::signal(int number) {
  if (pid_ > 0 && !waitStatus_) ::kill(pid_, number);
}

std::optional<int> ChildProcess::stop(std::chrono::milliseconds grace) {
  signal(SIGTERM);
  if (auto status = waitForExit(grace)) return status;
  signal(SIGKILL);
  return waitForExit(grace);
}

RunResult ChildProcess::communicate(const std::string& input, bool holdInputOpen,
                                    std::chrono::milliseconds timeout) {
  RunResult result;
  if (stdin_ >= 0) ::fcntl(stdin_, F_SETFL, O_NONBLOCK);
  size_t written = 0;
  if (input.empty() && !holdInputOpen) closeStdin();
  const auto deadline = Clock::now() + timeout;
  while (stdout_ >= 0 || stderr_ >= 0) {
    if (left(deadline).count() == 0) {
      result.timedOut = true;
      signal(SIGKILL);
      break;
    }
    std::vector<pollfd> fds;
    if (stdout_ >= 0) fds.push_back({stdout_, POLLIN, 0});
    if (stderr_ >= 0) fds.push_back({stderr_, POLLIN, 0});
    if (stdin_ >= 0 && written < input.size()) fds.push_back({stdin_, POLLOUT, 0});
    if (::poll(fds.data(), fds.size(), static_cast<int>(left(deadline).count())) < 0 &&
        errno != EINTR) {
      break;
    }
    for (const auto& fd : fds) {
      if (!fd.revents) continue;
      if (fd.fd == stdin_) {
        ssize_t n = ::write(stdin_, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
        if (written == input.size() && !holdInputOpen) closeStdin();
        continue;
      }
      char chunk[65536];
      ssize_t n = ::read(fd.fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      int& stream = fd.fd == stdout_ ? stdout_ : stderr_;
      if (n > 0) {
        (fd.fd == stdout_ ? result.out : result.err).append(chunk, static_cast<size_t>(n));
      } else {
        closeFd(stream);
      }
    }
  }
  // The outputs can close before the program ends; it gets the rest of the time to end.
  if (!waitForExit(left(deadline))) {
    result.timedOut = true;
    signal(SIGKILL);
    waitForExit(kStopGrace);
  }
  closeStdin();
  if (waitStatus_ && WIFEXITED(*waitStatus_)) result.exitStatus = WEXITSTATUS(*waitStatus_);
  if (waitStatus_ && WIFSIGNALED(*waitStatus_)) result.signal = WTERMSIG(*waitStatus_);
  return result;
}

RunResult runProcess(const std::vector<std::string>& argv, const RunOptions& options) {
  ChildProcess child(argv, ChildOptions{.environment = options.environment,
                                        .pipeStdin = true,
                                        .pipeStdout = !options.closedStdout,
                                        .closedStdout = options.closedStdout,
                                        .pipeStderr = true});
  if (!child.started()) return RunResult{.err = "cannot start " + argv.at(0) + "\n"};
  return child.communicate(options.input, options.holdInputOpen, options.timeout);
}

bool isRunning(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  auto paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

bool runsProgram(pid_t pid, const std::string& path) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error) == path;
}

std::vector<pid_t> processesOf(const std::string& path, const std::string& environmentEntry) {
  std::vector<pid_t> found;
  const std::string wanted = std::filesystem::canonical(path).string();
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (!runsProgram(pid, wanted) || !isRunning(pid)) continue;
    if (!environmentEntry.empty()) {
      std::istringstream environment(readFile(entry.path() / "environ"));
      bool matches = false;
      for (std::string variable; !matches && std::getline(environment, variable, '\0');) {
        matches = variable == environmentEntry;
      }
      if (!matches) continue;
    }
    found.push_back(pid);
  }
  return found;
}

}  // namespace kavri::testing
