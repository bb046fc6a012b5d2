// Kernel backend of the flags monitor. A thread of ours reads every keyboard's event device,
// without grabbing any (the user's typing reaches the compositor as before), and watches
// /dev/input for keyboards that come and go; the keyboards' logic turns what they report into
// flags-changed events.
#include <poll.h>

#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "kernel_keyboards.h"
#include "keyboard_backends.h"
#include "listener_thread.h"

namespace kavri::keys {
namespace {

// Delivers events until wakeFd becomes readable.
void listen(evdev::KernelKeyboards& keyboards, int wakeFd) {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({wakeFd, POLLIN, 0});
    keyboards.addKeyboardFds(fds);
    if (keyboards.watchFd() >= 0) fds.push_back({keyboards.watchFd(), POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0) {
      // Whatever a keyboard reported before the stop was asked for is in its buffer by now.
      keyboards.readAll();
      return;
    }
    // Keyboards before the watch: the watch may close a keyboard, whose descriptor a new one can
    // then take.
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == keyboards.watchFd()) {
        keyboards.onWatchReadable();
      } else {
        keyboards.onKeyboardReadable(fds[i].fd);
      }
    }
  }
}

class EvdevFlagsMonitor final : public FlagsMonitor {
 public:
  EvdevFlagsMonitor(FlagsHandler onFlagsChanged, evdev::InputDevicesFactory makeDevices)
      : onFlagsChanged_(std::move(onFlagsChanged)), makeDevices_(std::move(makeDevices)) {}
  ~EvdevFlagsMonitor() override { enable(false); }

  bool enable(bool on) override {
    return thread_.enable(on, [this](std::shared_ptr<ListenerRun> run) {
      std::shared_ptr<evdev::InputDevices> devices = makeDevices_();
      if (!devices) return false;
      auto keyboards = std::make_shared<evdev::KernelKeyboards>(
          *devices, [run, handler = onFlagsChanged_](const FlagsChangedEvent& event) {
            run->deliver(handler, event);
          });
      keyboards->start();
      // Without a keyboard to read nothing would ever be reported.
      if (!keyboards->reading()) return false;
      return thread_.start(
          run, [devices, keyboards](ListenerRun& run) { listen(*keyboards, run.wakeFd()); });
    });
  }

 private:
  FlagsHandler onFlagsChanged_;
  evdev::InputDevicesFactory makeDevices_;
  ListenerThread thread_;
};

}  // namespace

std::unique_ptr<FlagsMonitor> makeEvdevFlagsMonitor(FlagsMonitor::FlagsHandler onFlagsChanged,
                                                    evdev::InputDevicesFactory makeDevices) {
  return std::make_unique<EvdevFlagsMonitor>(std::move(onFlagsChanged), std::move(makeDevices));
}

}  // namespace kavri::keys
