// The owner is a daemon (double fork, own session, standard streams on /dev/null) so that it
// neither becomes a zombie of its caller nor holds the caller's pipes open. It tells its caller
// over a pipe whether it took the clipboard.
#include "owner_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "selection_owner.h"
#include "unique_fd.h"
#include "x11_connection.h"

namespace kavri::keysend {
namespace {

// The caller gives the owner this long beyond its own ownership timeout to report.
constexpr int kReportGraceMs = 500;

void reportReady(UniqueFd ready, bool owned) {
  const char answer = owned ? '1' : '0';
  while (::write(ready.get(), &answer, 1) < 0 && errno == EINTR) {
  }
}

// The body of the owner process; never returns. Nothing of the caller's is run in it: it leaves
// with _exit, since the atexit handlers and destructors belong to the caller's memory.
[[noreturn]] void runOwner(const std::string& text, UniqueFd ready, double ownershipTimeout) {
  // Whatever happens before the selection is ours must not leave a stray process behind.
  alarm(static_cast<unsigned>(ownershipTimeout) + 1);
  // The server went away, and the clipboard with it.
  auto connection = x11::Connection::open(x11::endProcessWith(0));
  if (!connection) {
    reportReady(std::move(ready), false);
    _exit(1);
  }
  SelectionOwner owner(*connection, text, {});
  const bool owned = owner.take(x11::deadlineAfter(ownershipTimeout));
  alarm(0);
  reportReady(std::move(ready), owned);
  if (!owned) _exit(1);
  // Until another client has the clipboard and the transfers running then are over.
  owner.serve();
  _exit(0);
}

// Returns the descriptor under which keep lives on.
UniqueFd detachStandardStreams(UniqueFd keep) {
  setsid();
  // Out of the way first: with standard streams closed by the caller, the pipe may be 0, 1 or 2.
  UniqueFd moved(fcntl(keep.get(), F_DUPFD, 10));
  UniqueFd null(::open("/dev/null", O_RDWR));
  if (null.valid()) {
    dup2(null.get(), STDIN_FILENO);
    dup2(null.get(), STDOUT_FILENO);
    dup2(null.get(), STDERR_FILENO);
  }
  // Nothing else of the caller's stays open in us: not its X connection, not its pipes.
  constexpr int kReadyFd = 3;
  dup2(moved.get(), kReadyFd);
  keep.release();
  moved.release();
  null.release();
  close_range(kReadyFd + 1, ~0U, 0);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  return UniqueFd(kReadyFd);
}

}  // namespace

bool startOwnerProcess(const std::string& text, double ownershipTimeout) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    // The middle process exits at once so that the owner is adopted by init, not left as our
    // zombie.
    readEnd.reset();
    pid_t owner = fork();
    if (owner != 0) _exit(owner < 0 ? 1 : 0);
    runOwner(text, detachStandardStreams(std::move(writeEnd)), ownershipTimeout);
  }
  writeEnd.reset();
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  char answer = '0';
  pollfd fd{readEnd.get(), POLLIN, 0};
  const int waitMs = static_cast<int>(ownershipTimeout * 1000) + kReportGraceMs;
  if (poll(&fd, 1, waitMs) > 0) {
    while (::read(readEnd.get(), &answer, 1) < 0 && errno == EINTR) {
    }
  }
  return answer == '1';
}

}  // namespace kavri::keysend
