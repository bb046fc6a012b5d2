// The input devices of a machine, played by a test: keyboards are plugged in and out, made
// readable, and press keys, from any thread. Each opening of a device gets reports from then on
// through a descriptor of its own, and each watch hears of nodes that come, change and go, as
// with the kernel's event nodes and inotify.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "input_devices.h"
#include "unique_fd.h"

namespace kavri::testing {

using keys::evdev::InputDevice;
using keys::evdev::InputDevices;
using keys::evdev::KeyReport;
using keys::evdev::NodeChange;
using keys::evdev::NodeEvent;

struct DeviceTraits {
  std::set<uint16_t> keys;
  std::set<uint16_t> held;
  std::string phys;
  bool readable = true;
  bool capsLockLit = false;
};

class FakeMachine : public std::enable_shared_from_this<FakeMachine> {
 public:
  // A new device at the next free node; its path.
  std::string plug(DeviceTraits traits) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path = "/dev/input/event" + std::to_string(nextNode_++);
    devices_[path] = std::make_shared<Device>(std::move(traits));
    notify(path, NodeChange::kAdded);
    return path;
  }
  // Without telling the watches: the node's removal may reach a reader after the device's end.
  void unplugQuietly(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto device = devices_.extract(path).mapped();
    for (auto& opening : device->openings) {
      opening->gone = true;
      signal(opening->ready);
    }
  }
  void unplug(const std::string& path) {
    unplugQuietly(path);
    std::lock_guard<std::mutex> lock(mutex_);
    notify(path, NodeChange::kRemoved);
  }
  // Plugs a new device at a node that was freed without telling the watches.
  void replugAt(const std::string& path, DeviceTraits traits) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[path] = std::make_shared<Device>(std::move(traits));
    notify(path, NodeChange::kAdded);
  }
  void allowReading(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.at(path)->traits.readable = true;
    notify(path, NodeChange::kChanged);
  }
  void report(const std::string& path, uint16_t code, int32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device& device = *devices_.at(path);
    if (value == 1) device.traits.held.insert(code);
    if (value == 0) device.traits.held.erase(code);
    for (auto& opening : device.openings) {
      opening->reports.push_back(KeyReport{code, value});
      signal(opening->ready);
    }
  }
  void tap(const std::string& path, uint16_t code) {
    report(path, code, 1);
    report(path, code, 0);
  }
  // Openings of the machine's devices that their reader has not closed.
  int openings() {
    std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    for (auto& [path, device] : devices_) {
      for (auto& opening : device->openings) count += opening.use_count() > 1 ? 1 : 0;
    }
    return count;
  }

  std::unique_ptr<InputDevices> devices() { return std::make_unique<Devices>(shared_from_this()); }

 private:
  struct Opening {
    UniqueFd ready{eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    std::deque<KeyReport> reports;
    bool gone = false;
  };
  struct Device {
    explicit Device(DeviceTraits traits) : traits(std::move(traits)) {}
    DeviceTraits traits;
    std::vector<std::shared_ptr<Opening>> openings;
  };
  struct Watch {
    UniqueFd ready{eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    std::vector<NodeEvent> events;
  };

  static void signal(const UniqueFd& fd) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(fd.get(), &one, sizeof one);
  }
  static void clear(const UniqueFd& fd) {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t got = read(fd.get(), &count, sizeof count);
  }

  void notify(const std::string& path, NodeChange change) {
    for (auto it = watches_.begin(); it != watches_.end();) {
      if (auto watch = it->lock()) {
        watch->events.push_back(NodeEvent{path, change});
        signal(watch->ready);
        ++it;
      } else {
        it = watches_.erase(it);
      }
    }
  }

  class OpenDevice final : public InputDevice {
   public:
    OpenDevice(std::shared_ptr<FakeMachine> machine, DeviceTraits traits,
               std::shared_ptr<Opening> opening)
        : machine_(std::move(machine)), traits_(std::move(traits)), opening_(std::move(opening)) {}
    int fd() const override { return opening_->ready.get(); }
    bool hasKey(uint16_t code) const override { return traits_.keys.contains(code); }
    bool keyDown(uint16_t code) const override { return traits_.held.contains(code); }
    bool capsLockLit() const override { return traits_.capsLockLit; }
    std::string phys() const override { return traits_.phys; }
    bool read(std::vector<KeyReport>& reports) override {
      std::lock_guard<std::mutex> lock(machine_->mutex_);
      clear(opening_->ready);
      reports.insert(reports.end(), opening_->reports.begin(), opening_->reports.end());
      opening_->reports.clear();
      return !opening_->gone;
    }

   private:
    std::shared_ptr<FakeMachine> machine_;
    DeviceTraits traits_;
    std::shared_ptr<Opening> opening_;
  };

  class Devices final : public InputDevices {
   public:
    explicit Devices(std::shared_ptr<FakeMachine> machine) : machine_(std::move(machine)) {}
    int watch() override {
      std::lock_guard<std::mutex> lock(machine_->mutex_);
      if (!watch_) {
        watch_ = std::make_shared<Watch>();
        machine_->watches_.push_back(watch_);
      }
      return watch_->ready.get();
    }
    std::vector<NodeEvent> readWatch() override {
      std::lock_guard<std::mutex> lock(machine_->mutex_);
      clear(watch_->ready);
      return std::exchange(watch_->events, {});
    }
    std::vector<std::string> list() override {
      std::lock_guard<std::mutex> lock(machine_->mutex_);
      std::vector<std::string> paths;
      for (auto& [path, device] : machine_->devices_) paths.push_back(path);
      return paths;
    }
    std::unique_ptr<InputDevice> open(const std::string& path) override {
      std::lock_guard<std::mutex> lock(machine_->mutex_);
      auto found = machine_->devices_.find(path);
      if (found == machine_->devices_.end() || !found->second->traits.readable) return nullptr;
      auto opening = std::make_shared<Opening>();
      found->second->openings.push_back(opening);
      return std::make_unique<OpenDevice>(machine_, found->second->traits, opening);
    }

   private:
    std::shared_ptr<FakeMachine> machine_;
    std::shared_ptr<Watch> watch_;
  };

  std::mutex mutex_;
  int nextNode_ = 0;
  std::map<std::string, std::shared_ptr<Device>> devices_;
  std::vector<std::weak_ptr<Watch>> watches_;
};

}  // namespace kavri::testing
