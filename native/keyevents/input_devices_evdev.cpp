// /dev/input through libevdev, which keeps each device's key and LED state and, when the kernel's
// buffer for us overflowed, replays what changed meanwhile; and through inotify for the nodes that
// come and go.
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <string_view>

#include "evdev_handles.h"
#include "input_devices.h"
#include "unique_fd.h"

namespace kavri::keys::evdev {
namespace {

constexpr const char* kInputFolder = "/dev/input";
constexpr std::string_view kEventNodePrefix = "event";

bool isEventNode(std::string_view name) {
  return name.starts_with(kEventNodePrefix);
}

class EvdevDevice final : public InputDevice {
 public:
  EvdevDevice(UniqueFd fd, libevdev* device) : fd_(std::move(fd)), device_(device) {}

  int fd() const override { return fd_.get(); }

  bool hasKey(uint16_t code) const override {
    return libevdev_has_event_code(device_.get(), EV_KEY, code) != 0;
  }

  bool keyDown(uint16_t code) const override {
    return libevdev_get_event_value(device_.get(), EV_KEY, code) != 0;
  }

  bool capsLockLit() const override {
    return libevdev_get_event_value(device_.get(), EV_LED, LED_CAPSL) != 0;
  }

  std::string phys() const override {
    const char* phys = libevdev_get_phys(device_.get());
    return phys ? phys : "";
  }

  bool read(std::vector<KeyReport>& reports) override {
    unsigned mode = LIBEVDEV_READ_FLAG_NORMAL;
    for (;;) {
      input_event event{};
      const int status = libevdev_next_event(device_.get(), mode, &event);
      if (status == LIBEVDEV_READ_STATUS_SUCCESS || status == LIBEVDEV_READ_STATUS_SYNC) {
        // Reports were dropped: libevdev now hands out the difference between the state it knew
        // and the device's, as reports, until it has caught up.
        if (status == LIBEVDEV_READ_STATUS_SYNC) mode = LIBEVDEV_READ_FLAG_SYNC;
        if (event.type == EV_KEY) {
          reports.push_back(KeyReport{event.code, event.value});
        }
      } else if (status == -EAGAIN) {
        if (mode != LIBEVDEV_READ_FLAG_SYNC) return true;
        mode = LIBEVDEV_READ_FLAG_NORMAL;
      } else if (status != -EINTR) {
        // ENODEV: unplugged.
        return false;
      }
    }
  }

 private:
  UniqueFd fd_;
  DeviceHandle device_;
};

class EvdevInputDevices final : public InputDevices {
 public:
  int watch() override {
    if (watch_.valid()) return watch_.get();
    UniqueFd fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd.valid()) return -1;
    if (inotify_add_watch(fd.get(), kInputFolder,
                          IN_CREATE | IN_ATTRIB | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM) < 0) {
      return -1;
    }
    watch_ = std::move(fd);
    return watch_.get();
  }

  std::vector<NodeEvent> readWatch() override {
    std::vector<NodeEvent> events;
    alignas(inotify_event) std::array<char, 4096> buffer;
    for (;;) {
      const ssize_t got = ::read(watch_.get(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (event->mask & IN_Q_OVERFLOW) {
          for (auto& path : list())
            events.push_back(NodeEvent{std::move(path), NodeChange::kAdded});
          continue;
        }
        if (event->len == 0 || !isEventNode(event->name)) continue;
        NodeChange change = NodeChange::kChanged;
        if (event->mask & (IN_CREATE | IN_MOVED_TO)) change = NodeChange::kAdded;
        if (event->mask & (IN_DELETE | IN_MOVED_FROM)) change = NodeChange::kRemoved;
        events.push_back(NodeEvent{std::string(kInputFolder) + "/" + event->name, change});
      }
    }
    return events;
  }

  std::vector<std::string> list() override {
    std::vector<std::string> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(kInputFolder, error)) {
      if (isEventNode(entry.path().filename().string())) paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  std::unique_ptr<InputDevice> open(const std::string& path) override {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) return nullptr;
    libevdev* device = nullptr;
    if (libevdev_new_from_fd(fd.get(), &device) < 0) return nullptr;
    return std::make_unique<EvdevDevice>(std::move(fd), device);
  }

 private:
  UniqueFd watch_;
};

}  // namespace

std::unique_ptr<InputDevices> makeEvdevInputDevices() {
  return std::make_unique<EvdevInputDevices>();
}

}  // namespace kavri::keys::evdev
