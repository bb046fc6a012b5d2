// The kernel keyboard backend's logic and its monitor thread over a machine of fake input devices:
// which devices are read, keyboards that come and go, keys held across keyboards, and the flags.
#include "kernel_keyboards.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fake_input_devices.h"
#include "keyboard_backends.h"
#include "testing/fake_keyboard.h"
#include "testing/wait.h"

namespace kavri::keys::evdev {
namespace {

using testing::DeviceTraits;
using testing::FakeMachine;
using testing::FlagsRecorder;
using Seen = testing::SeenFlags;
using testing::taps;

DeviceTraits withKeys(std::set<uint16_t> keys) {
  DeviceTraits traits;
  traits.keys = std::move(keys);
  return traits;
}

const DeviceTraits kKeyboard =
    withKeys({KEY_FN, KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL, KEY_LEFTALT,
              KEY_RIGHTALT, KEY_LEFTMETA, KEY_RIGHTMETA, KEY_CAPSLOCK, KEY_A});

// The keyboards' logic alone, driven by the test on its own thread.
struct Keyboards {
  std::shared_ptr<FakeMachine> machine = std::make_shared<FakeMachine>();
  std::unique_ptr<InputDevices> devices = machine->devices();
  FlagsRecorder collector;
  KernelKeyboards keyboards{*devices, collector.handler()};

  // What the keyboards report once they have handled what the machine did since the last call.
  std::vector<Seen> handle() {
    if (keyboards.watchFd() >= 0) keyboards.onWatchReadable();
    keyboards.readAll();
    return collector.take();
  }
};

TEST(KernelKeyboards, EachModifierAndFnReportsItsKeyCodeAndItsFlagWhileHeld) {
  const struct {
    uint16_t key;
    Seen held;
  } kCases[] = {
      {KEY_FN, {kVK_Function, kFlagFunction}},
      {KEY_LEFTSHIFT, {kVK_Shift, kFlagShift}},
      {KEY_RIGHTSHIFT, {kVK_RightShift, kFlagShift}},
      {KEY_LEFTCTRL, {kVK_Control, kFlagControl}},
      {KEY_RIGHTCTRL, {kVK_RightControl, kFlagControl}},
      {KEY_LEFTALT, {kVK_Option, kFlagOption}},
      {KEY_RIGHTALT, {kVK_RightOption, kFlagOption}},
      {KEY_LEFTMETA, {kVK_Command, kFlagCommand}},
      {KEY_RIGHTMETA, {kVK_RightCommand, kFlagCommand}},
  };
  Keyboards rig;
  const std::string keyboard = rig.machine->plug(kKeyboard);
  rig.keyboards.start();
  for (const auto& test : kCases) {
    rig.machine->tap(keyboard, test.key);
    EXPECT_EQ(rig.handle(), taps({test.held})) << "kernel key " << test.key;
  }
}

TEST(KernelKeyboards, CapsLockLocksOnAPressAndUnlocksOnTheReleaseOfTheNext) {
  Keyboards unlit;
  const std::string keyboard = unlit.machine->plug(kKeyboard);
  unlit.keyboards.start();
  unlit.machine->tap(keyboard, KEY_CAPSLOCK);
  unlit.machine->tap(keyboard, KEY_CAPSLOCK);
  EXPECT_EQ(unlit.handle(), (std::vector<Seen>{{kVK_CapsLock, kFlagCapsLock},
                                               {kVK_CapsLock, kFlagCapsLock},
                                               {kVK_CapsLock, kFlagCapsLock},
                                               {kVK_CapsLock, 0}}));

  // A keyboard whose light is on when the monitor starts: Caps Lock is locked already.
  Keyboards lit;
  DeviceTraits litKeyboard = kKeyboard;
  litKeyboard.capsLockLit = true;
  const std::string other = lit.machine->plug(litKeyboard);
  lit.keyboards.start();
  lit.machine->tap(other, KEY_CAPSLOCK);
  EXPECT_EQ(lit.handle(), taps({{kVK_CapsLock, kFlagCapsLock}}));
}

TEST(KernelKeyboards, KeysHeldOnSeveralKeyboardsCountOnceAndTheirFlagsJoin) {
  Keyboards rig;
  const std::string a = rig.machine->plug(kKeyboard);
  const std::string b = rig.machine->plug(kKeyboard);
  rig.keyboards.start();
  const struct {
    const std::string& keyboard;
    uint16_t key;
    int32_t value;
    std::vector<Seen> seen;
  } kSteps[] = {
      {a, KEY_LEFTSHIFT, 1, {{kVK_Shift, kFlagShift}}},
      {b, KEY_LEFTCTRL, 1, {{kVK_Control, kFlagShift | kFlagControl}}},
      {b, KEY_LEFTSHIFT, 1, {}},
      {a, KEY_LEFTSHIFT, 0, {}},
      {b, KEY_LEFTSHIFT, 0, {{kVK_Shift, kFlagControl}}},
      {b, KEY_LEFTCTRL, 0, {{kVK_Control, 0}}},
  };
  for (const auto& step : kSteps) {
    rig.machine->report(step.keyboard, step.key, step.value);
    EXPECT_EQ(rig.handle(), step.seen) << "key " << step.key << " value " << step.value;
  }
}

TEST(KernelKeyboards, RepeatsOrdinaryKeysAndReleasesOfKeysNotHeldChangeNothing) {
  Keyboards rig;
  const std::string keyboard = rig.machine->plug(kKeyboard);
  rig.keyboards.start();
  rig.machine->report(keyboard, KEY_LEFTSHIFT, 0);
  rig.machine->tap(keyboard, KEY_A);
  rig.machine->report(keyboard, KEY_LEFTMETA, 1);
  rig.machine->report(keyboard, KEY_LEFTMETA, 2);
  rig.machine->report(keyboard, KEY_LEFTMETA, 0);
  EXPECT_EQ(rig.handle(), taps({{kVK_Command, kFlagCommand}}));
}

TEST(KernelKeyboards, KeysHeldWhenAKeyboardIsOpenedCountWithoutBeingReported) {
  Keyboards rig;
  DeviceTraits holdingShift = kKeyboard;
  holdingShift.held = {KEY_LEFTSHIFT};
  const std::string keyboard = rig.machine->plug(holdingShift);
  rig.keyboards.start();
  EXPECT_EQ(rig.handle(), std::vector<Seen>{});
  rig.machine->report(keyboard, KEY_LEFTCTRL, 1);
  rig.machine->report(keyboard, KEY_LEFTSHIFT, 0);
  EXPECT_EQ(rig.handle(), (std::vector<Seen>{{kVK_Control, kFlagShift | kFlagControl},
                                             {kVK_Shift, kFlagControl}}));
}

TEST(KernelKeyboards, ReadsKeyboardsItCanOpenButNeitherMiceNorItsOwnVirtualKeyboard) {
  Keyboards rig;
  rig.machine->plug(withKeys({BTN_LEFT, BTN_RIGHT}));
  DeviceTraits unreadable = kKeyboard;
  unreadable.readable = false;
  rig.machine->plug(unreadable);
  DeviceTraits ours = kKeyboard;
  ours.phys = ownVirtualKeyboardPhys();
  const std::string own = rig.machine->plug(ours);
  EXPECT_FALSE(anyKeyboardReadable(*rig.devices));
  rig.keyboards.start();
  EXPECT_FALSE(rig.keyboards.reading());
  rig.machine->tap(own, KEY_LEFTCTRL);
  EXPECT_EQ(rig.handle(), std::vector<Seen>{});

  // Another process's virtual keyboard is a keyboard like any other.
  DeviceTraits theirs = kKeyboard;
  theirs.phys = "kavri-virtual-keyboard/1";
  const std::string other = rig.machine->plug(theirs);
  EXPECT_TRUE(anyKeyboardReadable(*rig.devices));
  EXPECT_EQ(rig.handle(), std::vector<Seen>{});
  rig.machine->tap(other, KEY_LEFTCTRL);
  EXPECT_EQ(rig.handle(), taps({{kVK_Control, kFlagControl}}));
}

TEST(KernelKeyboards, PicksUpKeyboardsPluggedInLaterOrMadeReadableLater) {
  Keyboards rig;
  rig.machine->plug(kKeyboard);
  rig.keyboards.start();
  const std::string later = rig.machine->plug(kKeyboard);
  EXPECT_EQ(rig.handle(), std::vector<Seen>{});
  rig.machine->tap(later, KEY_RIGHTALT);
  EXPECT_EQ(rig.handle(), taps({{kVK_RightOption, kFlagOption}}));

  // The device manager grants access a moment after the node appears.
  DeviceTraits notYet = kKeyboard;
  notYet.readable = false;
  const std::string locked = rig.machine->plug(notYet);
  EXPECT_EQ(rig.handle(), std::vector<Seen>{});
  rig.machine->allowReading(locked);
  EXPECT_EQ(rig.handle(), std::vector<Seen>{});
  rig.machine->tap(locked, KEY_FN);
  EXPECT_EQ(rig.handle(), taps({{kVK_Function, kFlagFunction}}));
}

TEST(KernelKeyboards, AKeyboardThatGoesAwayLetsGoOfTheKeysItHeld) {
  Keyboards rig;
  const std::string a = rig.machine->plug(kKeyboard);
  const std::string b = rig.machine->plug(kKeyboard);
  rig.keyboards.start();
  rig.machine->report(a, KEY_FN, 1);
  rig.machine->report(b, KEY_LEFTSHIFT, 1);
  EXPECT_EQ(rig.handle(), (std::vector<Seen>{{kVK_Function, kFlagFunction},
                                             {kVK_Shift, kFlagFunction | kFlagShift}}));
  rig.machine->unplug(a);
  EXPECT_EQ(rig.handle(), (std::vector<Seen>{{kVK_Function, kFlagShift}}));

  // A new device at the node of one whose end has not been read yet: the old one is let go first.
  rig.machine->unplugQuietly(b);
  rig.machine->replugAt(b, kKeyboard);
  rig.keyboards.onWatchReadable();
  rig.machine->tap(b, KEY_LEFTCTRL);
  EXPECT_EQ(rig.handle(),
            (std::vector<Seen>{{kVK_Shift, 0}, {kVK_Control, kFlagControl}, {kVK_Control, 0}}));
}

// The monitor's own thread over the fake machine.
struct Monitor {
  std::shared_ptr<FakeMachine> machine = std::make_shared<FakeMachine>();
  FlagsRecorder collector;
  std::unique_ptr<FlagsMonitor> monitor = makeEvdevFlagsMonitor(
      collector.handler(), [machine = machine] { return machine->devices(); });

  // Whether the monitor holds this many devices open within the timeout.
  bool holdsOpen(int count) {
    return testing::waitUntil([&] { return machine->openings() == count; });
  }
};

TEST(EvdevFlagsMonitor, StoppingReportsEveryKeyTakenInBeforeItAndLetsTheKeyboardsGo) {
  Monitor rig;
  const std::string keyboard = rig.machine->plug(kKeyboard);
  ASSERT_TRUE(rig.monitor->enable(true));
  constexpr int kTaps = 200;
  for (int i = 0; i < kTaps; ++i) rig.machine->tap(keyboard, KEY_RIGHTCTRL);
  EXPECT_FALSE(rig.monitor->enable(false));
  const std::vector<Seen> seen = rig.collector.take();
  ASSERT_EQ(seen.size(), 2u * kTaps);
  EXPECT_EQ(seen.back(), (Seen{kVK_RightControl, 0}));
  EXPECT_EQ(rig.machine->openings(), 0);
}

TEST(EvdevFlagsMonitor, SeesKeyboardsComeAndGoWhileRunning) {
  Monitor rig;
  rig.machine->plug(kKeyboard);
  ASSERT_TRUE(rig.monitor->enable(true));
  const std::string later = rig.machine->plug(kKeyboard);
  ASSERT_TRUE(rig.holdsOpen(2));
  rig.machine->report(later, KEY_FN, 1);
  EXPECT_EQ(rig.collector.take(1), (std::vector<Seen>{{kVK_Function, kFlagFunction}}));
  rig.machine->unplugQuietly(later);
  EXPECT_EQ(rig.collector.take(1), (std::vector<Seen>{{kVK_Function, 0}}));
  EXPECT_TRUE(rig.holdsOpen(1));
}

TEST(EvdevFlagsMonitor, StartsOnlyWithAKeyboardAndTakesHeldKeysAsTheyAreAtEachStart) {
  Monitor rig;
  rig.machine->plug(withKeys({BTN_LEFT}));
  EXPECT_FALSE(rig.monitor->enable(true));
  const std::string keyboard = rig.machine->plug(kKeyboard);
  ASSERT_TRUE(rig.monitor->enable(true));
  EXPECT_TRUE(rig.monitor->enable(true));
  rig.machine->report(keyboard, KEY_LEFTSHIFT, 1);
  rig.monitor->enable(false);
  EXPECT_EQ(rig.collector.take(), (std::vector<Seen>{{kVK_Shift, kFlagShift}}));

  ASSERT_TRUE(rig.monitor->enable(true));
  rig.machine->report(keyboard, KEY_LEFTCTRL, 1);
  rig.machine->report(keyboard, KEY_LEFTSHIFT, 0);
  rig.monitor->enable(false);
  EXPECT_EQ(rig.collector.take(), (std::vector<Seen>{{kVK_Control, kFlagShift | kFlagControl},
                                                     {kVK_Shift, kFlagControl}}));
}

TEST(KeyboardBackend, TheKernelServesWaylandSessionsAndMachinesWithoutAnXDisplay) {
  int probes = 0;
  auto reachable = [&](bool answer) {
    return [&probes, answer] {
      ++probes;
      return answer;
    };
  };
  EXPECT_EQ(chooseKeyboardBackend(true, reachable(true)), KeyboardBackend::kKernel);
  EXPECT_EQ(probes, 0) << "a Wayland session needs no X display probe";
  EXPECT_EQ(chooseKeyboardBackend(false, reachable(true)), KeyboardBackend::kX11);
  EXPECT_EQ(chooseKeyboardBackend(false, reachable(false)), KeyboardBackend::kKernel);
}

}  // namespace
}  // namespace kavri::keys::evdev
