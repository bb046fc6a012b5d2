// Test helper that plays a keyboard of the kernel's, or watches one, for the tests that run on a
// real kernel (scripts/vm-test):
//   key_helper_evdev keyboard PID     make a uinput keyboard (modifiers, Caps Lock, Fn, A, V),
//                                     print "ready", then per input line: "+KEY_NAME" or
//                                     "-KEY_NAME" press or release the key (a sync report after
//                                     it) and print the CLOCK_MONOTONIC nanoseconds taken just
//                                     before and after the write; "opened" or "closed" wait until
//                                     process PID holds the keyboard open, or no longer does, and
//                                     print the word. The keyboard goes away at the end of input.
//   key_helper_evdev read NAME COUNT  wait for the input device called NAME, open it, print
//                                     "ready", then print "KEY_NAME VALUE" for each of its next
//                                     COUNT key reports
#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "evdev_handles.h"
#include "testing/wait.h"

namespace {

// Only a broken program under test makes the helper wait this long.
constexpr std::chrono::seconds kWaitLimit{20};
constexpr std::chrono::milliseconds kLookAgain{5};
constexpr int kTimedOut = 3;

long long monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

bool holdsOpen(const std::string& pid, const std::string& node) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd", error)) {
    std::error_code linkError;
    if (std::filesystem::read_symlink(entry.path(), linkError) == node) return true;
  }
  return false;
}

int runKeyboard(const std::string& pid) {
  kavri::keys::evdev::DeviceHandle description(libevdev_new());
  libevdev_set_name(description.get(), "key helper keyboard");
  libevdev_enable_event_type(description.get(), EV_KEY);
  for (unsigned key :
       {KEY_FN, KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL, KEY_LEFTALT,
        KEY_RIGHTALT, KEY_LEFTMETA, KEY_RIGHTMETA, KEY_CAPSLOCK, KEY_A, KEY_V}) {
    libevdev_enable_event_code(description.get(), EV_KEY, key, nullptr);
  }
  libevdev_uinput* created = nullptr;
  if (int error = libevdev_uinput_create_from_device(description.get(),
                                                     LIBEVDEV_UINPUT_OPEN_MANAGED, &created);
      error < 0) {
    std::cerr << "cannot make a uinput keyboard: " << std::strerror(-error) << "\n";
    return 1;
  }
  kavri::keys::evdev::UinputHandle keyboard(created);
  const std::string node = libevdev_uinput_get_devnode(keyboard.get());
  std::cout << "ready" << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "opened" || line == "closed") {
      const bool open = line == "opened";
      if (!kavri::testing::waitUntil([&] { return holdsOpen(pid, node) == open; }, kWaitLimit,
                                     kLookAgain)) {
        std::cerr << "process " << pid << (open ? " never opened " : " still holds ") << node
                  << "\n";
        return kTimedOut;
      }
      std::cout << line << std::endl;
      continue;
    }
    const int code = line.size() > 1 ? libevdev_event_code_from_name(EV_KEY, line.c_str() + 1) : -1;
    if (code < 0 || (line[0] != '+' && line[0] != '-')) {
      std::cerr << "not a key action: " << line << "\n";
      return 2;
    }
    const long long before = monotonicNanoseconds();
    libevdev_uinput_write_event(keyboard.get(), EV_KEY, code, line[0] == '+' ? 1 : 0);
    libevdev_uinput_write_event(keyboard.get(), EV_SYN, SYN_REPORT, 0);
    std::cout << before << " " << monotonicNanoseconds() << std::endl;
  }
  return 0;
}

// The event node of the device called name, opened, or -1.
int openDeviceNamed(const std::string& name) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/input", error)) {
    if (!entry.path().filename().string().starts_with("event")) continue;
    int fd = open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    libevdev* device = nullptr;
    if (libevdev_new_from_fd(fd, &device) == 0) {
      const bool named = name == libevdev_get_name(device);
      libevdev_free(device);
      if (named) return fd;
    }
    close(fd);
  }
  return -1;
}

int runRead(const std::string& name, int count) {
  int fd = -1;
  if (!kavri::testing::waitUntil([&] { return (fd = openDeviceNamed(name)) >= 0; }, kWaitLimit,
                                 kLookAgain)) {
    std::cerr << "no input device called " << name << "\n";
    return kTimedOut;
  }
  std::cout << "ready" << std::endl;
  for (int seen = 0; seen < count;) {
    pollfd ready{fd, POLLIN, 0};
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(kWaitLimit);
    if (poll(&ready, 1, static_cast<int>(limit.count())) <= 0) {
      std::cerr << "no key report within the wait limit\n";
      return kTimedOut;
    }
    input_event event{};
    if (read(fd, &event, sizeof event) != sizeof event) return 1;
    if (event.type != EV_KEY) continue;
    std::cout << libevdev_event_code_get_name(EV_KEY, event.code) << " " << event.value
              << std::endl;
    ++seen;
  }
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "keyboard" && argc == 3) return runKeyboard(argv[2]);
  if (mode == "read" && argc == 4) return runRead(argv[2], std::stoi(argv[3]));
  std::cerr << "usage: key_helper_evdev keyboard PID | read NAME COUNT\n";
  return 2;
}
