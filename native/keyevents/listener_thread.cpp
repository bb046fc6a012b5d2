#include "listener_thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <system_error>
#include <utility>

namespace kavri::keys {

bool ListenerThread::start(std::function<void(int wakeFd)> run) {
  stop();
  UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake.valid()) return false;
  auto ended = std::make_shared<std::atomic<bool>>(false);
  try {
    thread_ = std::thread([run = std::move(run), fd = wake.get(), ended]() mutable {
      try {
        run(fd);
      } catch (...) {
        // A failing handler ends this listener only; the host process goes on.
      }
      // What run holds (devices, connections) goes before the thread counts as ended.
      run = nullptr;
      ended->store(true);
    });
  } catch (const std::system_error&) {
    return false;
  }
  wake_ = std::move(wake);
  ended_ = std::move(ended);
  return true;
}

void ListenerThread::stop() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  // The eventfd counter cannot overflow from one write, so this never fails in practice.
  [[maybe_unused]] ssize_t written = write(wake_.get(), &one, sizeof one);
  thread_.join();
  wake_.reset();
}

}  // namespace kavri::keys
