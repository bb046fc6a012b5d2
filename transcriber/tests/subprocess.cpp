#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace kavri::test {

namespace {

void drain(int fd, std::string& into, bool& open) {
  char chunk[4096];
  ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n > 0) {
    into.append(chunk, static_cast<size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    open = false;
  }
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, ProcessOptions options) {
  ProcessResult result;
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (options.closedOutput) ::close(outPipe[0]);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (spawned != 0) {
    if (!options.closedOutput) ::close(outPipe[0]);
    ::close(errPipe[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }

  bool outOpen = !options.closedOutput;
  bool errOpen = true;
  auto deadline = std::chrono::steady_clock::now() + options.timeout;
  while (outOpen || errOpen) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0},
                     {errOpen ? errPipe[0] : -1, POLLIN, 0}};
    int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) break;
    if (fds[0].revents) drain(outPipe[0], result.out, outOpen);
    if (fds[1].revents) drain(errPipe[0], result.err, errOpen);
  }
  // The outputs can close before the program ends (or it may hold them open in a child);
  // either way it gets the rest of the time to end.
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    ::usleep(10000);
  }
  if (!options.closedOutput) ::close(outPipe[0]);
  ::close(errPipe[0]);
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kavri-test.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool sox(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"sox"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto result = runProcess(argv, {std::chrono::seconds(60)});
  return result.exitStatus == 0;
}

std::vector<std::string> goForwardInput() {
  return {"-t", "raw", "-r", "16000", "-b", "16", "-e", "signed-integer", "-c", "1", kGoForwardRaw};
}

}  // namespace kavri::test
