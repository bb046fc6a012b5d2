// A program started by a host process of the test's own, the way a launcher or a wrapper shell
// ("sh -c 'program &'") starts it: the test ends the host when it likes and, as the subreaper of
// the orphan, still reaps the program. The program's output goes to a pipe of the test's, which
// plays the part of the host's reading end. Every wait has a deadline; a program still running
// at the end is killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kavri::testing {

inline constexpr std::chrono::milliseconds kHostedTimeout{60'000};
// How soon a program must end once nobody holds its pipes any more.
inline constexpr std::chrono::milliseconds kHostGoneNoticed{3'000};

class HostedProgram {
 public:
  // The host starts argv with its commands on a pipe, writes `commands` there and closes it. The
  // program's output goes to a pipe of the test's, so writing it never fails.
  HostedProgram(const std::vector<std::string>& argv, const std::string& commands);
  ~HostedProgram();
  HostedProgram(const HostedProgram&) = delete;
  HostedProgram& operator=(const HostedProgram&) = delete;

  pid_t pid() const { return pid_; }
  // Reads the program's output until it holds text; false at the deadline.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = kHostedTimeout);
  const std::string& output() const { return output_; }
  // The host exits; the program is an orphan from now on.
  void endHost();
  // Nobody reads the program's output any more.
  void closeOutput();
  // The program's exit status (128 + n for signal n), reading its output meanwhile; none when
  // it still runs at the deadline.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = kHostedTimeout);

 private:
  void readSome(std::chrono::milliseconds timeout);

  pid_t host_ = -1;
  pid_t pid_ = -1;
  int go_ = -1;  // the host exits when this closes
  int outputPipe_ = -1;
  std::string output_;
  std::optional<int> exitStatus_;
};

struct HostGoneOutcome {
  pid_t pid = -1;  // the program's
  bool sawStarted = false;
  bool outlivedItsHost = false;
  std::optional<int> exitStatus;  // none: still running kHostGoneNoticed after (then killed)
  std::string output;
};

// The host starts the program, sends it `startLine` (if any) and closes its commands; once the
// program has said "started" (or, without a start, has lived a moment past the end of its
// input), the host dies, and a moment later nobody reads the program's output any more. Only
// the program's own check for its host can then end it, without writing a line.
HostGoneOutcome runUntilTheHostIsGone(const std::string& program, const std::string& startLine);

}  // namespace kavri::testing
