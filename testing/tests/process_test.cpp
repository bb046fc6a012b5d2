// What every test that runs programs stands on: writing to a child that has ended fails instead of
// ending the test, and the programs under test meet a closed pipe as they would under their host.
#include "testing/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "testing/files.h"
#include "testing/hosted_program.h"

namespace kavri::testing {
namespace {

// More than a pipe holds, so that the writer is still at it when the reader ends.
constexpr size_t kMoreThanAPipeHolds = 1 << 20;

bool ignoresBrokenPipes(pid_t pid) {
  for (const std::string& line : readLines("/proc/" + std::to_string(pid) + "/status")) {
    // A mask in hex with bit n - 1 for signal n.
    if (line.starts_with("SigIgn:")) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (SIGPIPE - 1)) & 1;
    }
  }
  ADD_FAILURE() << "no signal mask for " << pid;
  return false;
}

TEST(ChildProcess, WritingToAChildThatHasEndedFailsWithoutEndingTheTest) {
  ChildProcess child({"true"}, {.pipeStdin = true});
  ASSERT_EQ(child.waitForExit(), 0);
  EXPECT_FALSE(child.write(std::string(kMoreThanAPipeHolds, '\n')));
  EXPECT_FALSE(child.write("more\n"));
  RunResult run = runProcess({"true"}, {.input = std::string(kMoreThanAPipeHolds, '\n')});
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(HostedProgram, ItsHostOutlivesAProgramThatEndsBeforeReadingItsCommands) {
  HostedProgram hosted({"/bin/true"}, std::string(kMoreThanAPipeHolds, '\n'));
  EXPECT_GT(hosted.pid(), 0) << "the host did not report the program";
  hosted.endHost();
  EXPECT_EQ(hosted.waitForExit(), 0);
}

TEST(Children, StartWithTheDefaultActionForBrokenPipesThatTheTestIgnores) {
  ChildProcess child({"sleep", "60"}, {.pipeStdin = true});
  HostedProgram hosted({"/bin/sleep", "60"}, "");
  ASSERT_TRUE(child.started());
  ASSERT_GT(hosted.pid(), 0);
  EXPECT_TRUE(ignoresBrokenPipes(::getpid()));
  EXPECT_FALSE(ignoresBrokenPipes(child.pid()));
  EXPECT_FALSE(ignoresBrokenPipes(hosted.pid()));
}

}  // namespace
}  // namespace kavri::testing
