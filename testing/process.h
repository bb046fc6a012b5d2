// Child processes for tests: started without a shell, every wait bounded by a deadline, and none
// left running once its test is over. Also what a test can learn of any process from /proc.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavri::testing {

// Changes to a child's environment: a value sets the variable, none removes it.
using Environment = std::map<std::string, std::optional<std::string>>;

inline constexpr std::chrono::milliseconds kLineTimeout{20'000};
inline constexpr std::chrono::milliseconds kExitTimeout{30'000};
// How long a stopped child may take over its own end before it is killed.
inline constexpr std::chrono::milliseconds kStopGrace{5'000};
inline constexpr std::chrono::milliseconds kRunTimeout{60'000};

struct ChildOptions {
  Environment environment;
  bool pipeStdin = false;   // otherwise /dev/null
  bool pipeStdout = false;  // otherwise /dev/null
  // Standard output is a pipe that nobody reads, closed before the child starts: its first write
  // fails, as when its host has stopped listening.
  bool closedStdout = false;
  bool pipeStderr = false;
  // Without a pipe, standard error goes to /dev/null; with this false it is the test's own, so
  // that a sanitizer's report from the child shows in the test's log.
  bool silenceStderr = true;
};

// The test process ignores SIGPIPE from its first child on: writing to a child that has ended
// then fails with EPIPE, whichever thread writes, instead of ending the test.
void ignoreBrokenPipes();

// posix_spawn (posix_spawnp with searchPath) that gives the program back the default action for
// SIGPIPE, so that it meets a closed pipe as it would under its real host. Allocates nothing, so a
// forked copy of the test process may call it.
int spawnWithDefaultSignals(pid_t* pid, const posix_spawn_file_actions_t* actions,
                            char* const argv[], char* const envp[], bool searchPath = false);

// How a run to completion went.
struct RunResult {
  std::string out;
  std::string err;
  std::optional<int> exitStatus;  // when the program exited
  std::optional<int> signal;      // when a signal ended it
  bool timedOut = false;          // it was killed at the deadline
};

// A running child process, killed (SIGKILL) and reaped when destroyed if still running.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv, const ChildOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // False when not every byte could be written: the child has closed its input or ended.
  bool write(std::string_view bytes);
  bool writeLine(const std::string& line) { return write(line + "\n"); }
  void closeStdin();
  // The test stops listening: the child's next write to its standard output fails.
  void closeStdout();

  // The next complete line of standard output, or none when the output ended or the deadline
  // passed first.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = kLineTimeout);
  // Every line until the child closes its output (or a line takes longer than the timeout).
  std::vector<std::string> readAllLines(std::chrono::milliseconds timeout = kLineTimeout);

  // The exit status (128 + n when signal n ended it), or none while it still runs at the
  // deadline.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = kExitTimeout);
  void signal(int number);
  // SIGTERM, and SIGKILL when that has not ended it within the grace; then how it ended.
  std::optional<int> stop(std::chrono::milliseconds grace = kStopGrace);

  // Writes input (closing standard input after it unless told to hold it open), collects both
  // outputs until everyone has closed them, and waits for the end; killed at the deadline.
  RunResult communicate(const std::string& input, bool holdInputOpen,
                        std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string pending_;
  std::optional<int> waitStatus_;  // as waitpid reports it, once reaped
};

struct RunOptions {
  std::string input;  // written to standard input, which then closes
  // Leaves standard input open (after the input) until the run ends.
  bool holdInputOpen = false;
  Environment environment;
  std::chrono::milliseconds timeout = kRunTimeout;
  bool closedStdout = false;  // as in ChildOptions
};

// Runs a program to its end and collects what it wrote. A program still running at the deadline
// is killed; the run also waits for everyone who holds its outputs open to close them.
RunResult runProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// Whether the process exists and has not ended (a zombie has), whoever's child it is.
bool isRunning(pid_t pid);
// Whether the process runs the program at path (its exec has happened).
bool runsProgram(pid_t pid, const std::string& path);
// The live processes running the program at path. Detached daemons are not our children, so
// they are found this way; with environmentEntry (such as "DISPLAY=:5") only those started with
// that entry count.
std::vector<pid_t> processesOf(const std::string& path, const std::string& environmentEntry = "");

}  // namespace kavri::testing
