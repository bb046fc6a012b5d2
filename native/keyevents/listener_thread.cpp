#include "listener_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>
#include <utility>

namespace kavri::keys {

ListenerRun::ListenerRun() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void ListenerRun::deliver(const FlagsMonitor::FlagsHandler& handler,
                          const FlagsChangedEvent& event) {
  // Held while the handler runs, so that a stop that has returned has seen its last delivery.
  std::lock_guard<std::mutex> lock(mutex_);
  if (delivering_) handler(event);
}

bool ListenerThread::enable(bool on,
                            const std::function<bool(std::shared_ptr<ListenerRun>)>& startRun) {
  // The listener itself asking to be enabled again: it is running.
  if (on && onListenerThread()) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!on) {
    stop();
    return false;
  }
  if (running()) return true;
  // A listener that ended on its own (its source of keys went away) is reaped and replaced.
  stop();
  auto run = std::make_shared<ListenerRun>();
  if (!run->valid()) return false;
  return startRun(std::move(run));
}

bool ListenerThread::start(std::shared_ptr<ListenerRun> run,
                           std::function<void(ListenerRun&)> body) {
  try {
    thread_ = LeavableThread([run, body = std::move(body)] {
      try {
        body(*run);
      } catch (...) {
        // A failing handler ends this listener only; the host process goes on.
      }
    });
  } catch (const std::system_error&) {
    return false;
  }
  run_ = std::move(run);
  return true;
}

void ListenerThread::stop(std::chrono::milliseconds drainLimit) {
  if (!run_) return;
  const uint64_t one = 1;
  // The eventfd counter cannot overflow from one write, so this never fails in practice.
  [[maybe_unused]] ssize_t written = write(run_->wakeFd(), &one, sizeof one);
  thread_.joinWithin(drainLimit);
  const std::shared_ptr<ListenerRun> run = std::move(run_);
  std::lock_guard<std::mutex> lock(run->mutex_);
  run->delivering_ = false;
}

}  // namespace kavri::keys
