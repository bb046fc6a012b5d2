// Kernel backend: events are written to a virtual keyboard of our own, made through uinput, which
// every reader of input devices (the compositor, the console) takes as a keyboard. A key event is
// written with the modifier keys of its flags pressed around it, each report followed by a sync
// report, as a keyboard sends them. The Command shortcuts of the interface land as Control
// shortcuts, because that is what Linux applications bind.
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input-event-codes.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>

#include <array>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "evdev_handles.h"
#include "kernel_keyboards.h"
#include "keyboard_backends.h"
#include "unique_fd.h"

namespace kavri::keys {
namespace {

constexpr const char* kUinputPath = "/dev/uinput";
constexpr const char* kVirtualKeyboardName = "KAVRI Connector virtual keyboard";
// Readers see keys only of a device they hold open, and a new device reaches the compositor only
// after the device manager has set it up and the compositor has opened it. So the keyboard is
// made ahead of its first key, and that key waits until the keyboard is this old.
constexpr std::chrono::milliseconds kReaderSettle{250};
// A reader loses what it has not read yet when the device goes away, so the keyboard outlives its
// last key by this long.
constexpr std::chrono::milliseconds kReaderDrain{20};

// macOS virtual key code to the kernel's key, for the keys a synthetic shortcut may need. Kernel
// keys are places on the keyboard, named for the US layout.
constexpr std::array<std::pair<uint16_t, uint16_t>, 52> kKeyTable{{
    {0, KEY_A},        {11, KEY_B},       {8, KEY_C},      {2, KEY_D},        {14, KEY_E},
    {3, KEY_F},        {5, KEY_G},        {4, KEY_H},      {34, KEY_I},       {38, KEY_J},
    {40, KEY_K},       {37, KEY_L},       {46, KEY_M},     {45, KEY_N},       {31, KEY_O},
    {35, KEY_P},       {12, KEY_Q},       {15, KEY_R},     {1, KEY_S},        {17, KEY_T},
    {32, KEY_U},       {9, KEY_V},        {13, KEY_W},     {7, KEY_X},        {16, KEY_Y},
    {6, KEY_Z},        {29, KEY_0},       {18, KEY_1},     {19, KEY_2},       {20, KEY_3},
    {21, KEY_4},       {23, KEY_5},       {22, KEY_6},     {26, KEY_7},       {28, KEY_8},
    {25, KEY_9},       {36, KEY_ENTER},   {48, KEY_TAB},   {49, KEY_SPACE},   {51, KEY_BACKSPACE},
    {53, KEY_ESC},     {117, KEY_DELETE}, {123, KEY_LEFT}, {124, KEY_RIGHT},  {125, KEY_DOWN},
    {126, KEY_UP},     {115, KEY_HOME},   {119, KEY_END},  {116, KEY_PAGEUP}, {121, KEY_PAGEDOWN},
    {76, KEY_KPENTER}, {50, KEY_GRAVE},
}};

constexpr std::array<uint16_t, 3> kModifierKeys{KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_LEFTALT};

uint16_t kernelKeyFor(uint16_t keyCode) {
  for (const auto& [code, key] : kKeyTable) {
    if (code == keyCode) return key;
  }
  return KEY_RESERVED;
}

class EvdevKeySource final : public KeyEventSource {};

class EvdevKeyEvent final : public KeyEvent {
 public:
  EvdevKeyEvent(uint16_t key, bool down) : key_(key), down_(down) {}
  void setFlags(uint64_t flags) override { flags_ = flags; }
  uint64_t flags() const override { return flags_; }
  uint16_t key() const { return key_; }
  bool down() const { return down_; }

 private:
  uint16_t key_;
  bool down_;
  uint64_t flags_ = 0;
};

class EvdevKeyboardEvents final : public KeyboardEvents {
 public:
  explicit EvdevKeyboardEvents(evdev::InputDevicesFactory makeDevices)
      : makeDevices_(std::move(makeDevices)) {
    keyboard();
  }

  ~EvdevKeyboardEvents() override {
    if (keyboard_) std::this_thread::sleep_until(lastWrite_ + kReaderDrain);
  }

  std::unique_ptr<KeyEventSource> createSource() override {
    if (!keyboard()) return nullptr;
    return std::make_unique<EvdevKeySource>();
  }

  std::unique_ptr<KeyEvent> createKeyboardEvent(KeyEventSource*, uint16_t keyCode,
                                                bool keyDown) override {
    const uint16_t key = kernelKeyFor(keyCode);
    if (key == KEY_RESERVED || !keyboard()) return nullptr;
    return std::make_unique<EvdevKeyEvent>(key, keyDown);
  }

  void post(KeyEvent& event) override {
    auto* evdevEvent = dynamic_cast<EvdevKeyEvent*>(&event);
    if (!evdevEvent || !keyboard_) return;
    std::this_thread::sleep_until(createdAt_ + kReaderSettle);
    const std::vector<uint16_t> modifiers =
        modifiersFor<uint16_t>(evdevEvent->flags(), KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_LEFTALT);
    if (evdevEvent->down()) {
      for (uint16_t key : modifiers) write(key, true);
      write(evdevEvent->key(), true);
    } else {
      write(evdevEvent->key(), false);
      for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) write(*it, false);
    }
  }

  // The Linux form of the permission: the input devices are readable and uinput writable, which
  // the input group or a udev rule grants.
  bool isProcessTrusted() override {
    if (!keyboard()) return false;
    auto devices = makeDevices_();
    return devices && evdev::anyKeyboardReadable(*devices);
  }

  // There is no prompt: the answer is the same either way.
  bool isProcessTrustedWithOptions(bool) override { return isProcessTrusted(); }

 private:
  // Made when first needed; until uinput can be written every call tries again.
  libevdev_uinput* keyboard() {
    if (keyboard_) return keyboard_.get();
    UniqueFd uinput(::open(kUinputPath, O_RDWR | O_CLOEXEC));
    if (!uinput.valid()) return nullptr;
    // Our own flags monitor knows the keyboard by this. libevdev passes on no phys to uinput.
    if (ioctl(uinput.get(), UI_SET_PHYS, evdev::ownVirtualKeyboardPhys().c_str()) < 0) {
      return nullptr;
    }
    evdev::DeviceHandle description(libevdev_new());
    if (!description) return nullptr;
    libevdev_set_name(description.get(), kVirtualKeyboardName);
    libevdev_set_id_bustype(description.get(), BUS_VIRTUAL);
    libevdev_enable_event_type(description.get(), EV_KEY);
    for (const auto& [code, key] : kKeyTable) {
      libevdev_enable_event_code(description.get(), EV_KEY, key, nullptr);
    }
    for (uint16_t key : kModifierKeys) {
      libevdev_enable_event_code(description.get(), EV_KEY, key, nullptr);
    }
    libevdev_uinput* created = nullptr;
    if (libevdev_uinput_create_from_device(description.get(), uinput.get(), &created) < 0) {
      return nullptr;
    }
    uinput_ = std::move(uinput);
    keyboard_.reset(created);
    createdAt_ = std::chrono::steady_clock::now();
    lastWrite_ = createdAt_;
    return keyboard_.get();
  }

  void write(uint16_t key, bool down) {
    libevdev_uinput_write_event(keyboard_.get(), EV_KEY, key, down ? 1 : 0);
    libevdev_uinput_write_event(keyboard_.get(), EV_SYN, SYN_REPORT, 0);
    lastWrite_ = std::chrono::steady_clock::now();
  }

  evdev::InputDevicesFactory makeDevices_;
  // The keyboard is destroyed before its descriptor is closed.
  UniqueFd uinput_;
  evdev::UinputHandle keyboard_;
  std::chrono::steady_clock::time_point createdAt_;
  std::chrono::steady_clock::time_point lastWrite_;
};

}  // namespace

std::unique_ptr<KeyboardEvents> makeEvdevKeyboardEvents(evdev::InputDevicesFactory makeDevices) {
  return std::make_unique<EvdevKeyboardEvents>(std::move(makeDevices));
}

}  // namespace kavri::keys
