// The X11 flags monitor against real X servers: keys are pressed with XTest on a connection of
// the test's own, as another application would, and the monitor must report each modifier change
// with the flags that followed it.
// gtest first: the X headers define None and Bool as macros, which gtest's own names collide with.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on
#include <cstdlib>
#include <memory>
#include <vector>

#include "flags_monitor.h"
#include "keyboard_events.h"
#include "testing/fake_keyboard.h"
#include "testing/x_server.h"
#include "x11_connection.h"

namespace kavri::keys {
namespace {

using testing::FlagsRecorder;
using testing::SeenFlags;
using testing::taps;

// Presses keys the way another client would.
class Typist {
 public:
  Typist() : display_(x11::openDisplay()) {}
  ~Typist() {
    if (display_) XCloseDisplay(display_);
  }
  bool ok() const { return display_ != nullptr; }
  void key(KeySym sym, bool press) {
    XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, sym), press ? True : False, CurrentTime);
    XSync(display_, False);
  }
  void tap(KeySym sym) {
    key(sym, true);
    key(sym, false);
  }

 private:
  Display* display_;
};

class FlagsMonitorX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X server (run under scripts/test)";
    ASSERT_TRUE(typist_.ok());
    monitor_ = makePlatformFlagsMonitor(collector_.handler(), nullptr);
    ASSERT_TRUE(monitor_->enable(true));
  }
  void TearDown() override {
    if (monitor_) monitor_->enable(false);
  }

  FlagsRecorder collector_;
  Typist typist_;
  std::unique_ptr<FlagsMonitor> monitor_;
};

TEST_F(FlagsMonitorX11, ReportsAModifierPressAndReleaseWithTheStateAfterEach) {
  typist_.tap(XK_Control_L);
  typist_.tap(XK_Shift_R);
  EXPECT_EQ(collector_.take(4), taps({{kVK_Control, kFlagControl}, {kVK_RightShift, kFlagShift}}));
}

TEST_F(FlagsMonitorX11, KeepsTheSharedFlagWhileTheOtherSideIsHeld) {
  typist_.key(XK_Alt_R, true);
  typist_.tap(XK_Alt_L);
  typist_.key(XK_Alt_R, false);
  EXPECT_EQ(collector_.take(4), (std::vector<SeenFlags>{{kVK_RightOption, kFlagOption},
                                                        {kVK_Option, kFlagOption},
                                                        {kVK_Option, kFlagOption},
                                                        {kVK_RightOption, 0}}));
}

TEST_F(FlagsMonitorX11, CapsLockReportsTheLockStateItLeaves) {
  typist_.tap(XK_Caps_Lock);
  typist_.tap(XK_Caps_Lock);
  EXPECT_EQ(collector_.take(4), (std::vector<SeenFlags>{{kVK_CapsLock, kFlagCapsLock},
                                                        {kVK_CapsLock, kFlagCapsLock},
                                                        {kVK_CapsLock, kFlagCapsLock},
                                                        {kVK_CapsLock, 0}}));
}

TEST_F(FlagsMonitorX11, IgnoresOrdinaryKeysAndReleasesOfKeysThatWereNotDown) {
  typist_.key(XK_Shift_L, false);
  typist_.tap(XK_a);
  typist_.key(XK_Super_L, true);
  typist_.tap(XK_a);
  typist_.key(XK_Super_L, false);
  EXPECT_EQ(collector_.take(2), taps({{kVK_Command, kFlagCommand}}));
}

TEST_F(FlagsMonitorX11, DeliversNothingWhileStoppedAndAgainAfterARestart) {
  ASSERT_FALSE(monitor_->enable(false));
  typist_.tap(XK_Control_R);
  ASSERT_TRUE(monitor_->enable(true));
  EXPECT_TRUE(monitor_->enable(true));
  typist_.tap(XK_Shift_L);
  EXPECT_EQ(collector_.take(2), taps({{kVK_Shift, kFlagShift}}));
}

// Xvfb's keyboard has no Fn key; a keyboard that reports one maps it to XF86Fn. The mapping is
// changed on a private server, after the monitor started, so the monitor must pick it up.
TEST(FlagsMonitorX11Fn, AKeyReportedAsFnCarriesTheFunctionFlagWhileDown) {
  testing::PrivateXServer server;
  ASSERT_TRUE(server.ready()) << "Xvfb did not start";

  FlagsRecorder collector;
  auto monitor = makePlatformFlagsMonitor(collector.handler(), nullptr);
  ASSERT_TRUE(monitor->enable(true));

  Display* x = x11::openDisplay();
  ASSERT_NE(x, nullptr);
  int minCode = 0, maxCode = 0, perCode = 0;
  XDisplayKeycodes(x, &minCode, &maxCode);
  KeySym* map = XGetKeyboardMapping(x, minCode, maxCode - minCode + 1, &perCode);
  int unused = 0;
  for (int code = maxCode; code >= minCode && unused == 0; --code) {
    bool empty = true;
    for (int i = 0; i < perCode; ++i) empty = empty && map[(code - minCode) * perCode + i] == 0;
    if (empty) unused = code;
  }
  XFree(map);
  ASSERT_NE(unused, 0) << "no free keycode";
  KeySym fn = 0x100811D0;  // XF86XK_Fn
  XChangeKeyboardMapping(x, unused, 1, &fn, 1);
  XSync(x, False);
  const KeySym shift = XK_Shift_L;
  for (bool press : {true, false}) {
    XTestFakeKeyEvent(x, unused, press, CurrentTime);
    XSync(x, False);
  }
  for (bool press : {true, false}) {
    XTestFakeKeyEvent(x, XKeysymToKeycode(x, shift), press, CurrentTime);
    XSync(x, False);
  }
  XCloseDisplay(x);

  EXPECT_EQ(collector.take(4), taps({{kVK_Function, kFlagFunction}, {kVK_Shift, kFlagShift}}));
  monitor->enable(false);
}

// A monitor on the X server that DISPLAY names sees one tap of Shift; the caller stops it.
std::unique_ptr<FlagsMonitor> monitorThatSeesShift(FlagsRecorder& collector) {
  auto monitor = makePlatformFlagsMonitor(collector.handler(), nullptr);
  EXPECT_TRUE(monitor->enable(true));
  Typist typist;
  EXPECT_TRUE(typist.ok());
  if (typist.ok()) typist.tap(XK_Shift_L);
  EXPECT_EQ(collector.take(2), taps({{kVK_Shift, kFlagShift}}));
  return monitor;
}

TEST(FlagsMonitorX11ServerLoss, AServerThatGoesAwayEndsTheListenerQuietly) {
#if defined(__SANITIZE_THREAD__)
  // libX11's recovery from a lost connection unlocks the display's mutex once too often (harmless
  // on a connection that is only closed afterwards), which ThreadSanitizer reports.
  GTEST_SKIP() << "libX11's IO error path trips ThreadSanitizer";
#endif
  testing::PrivateXServer server;
  ASSERT_TRUE(server.ready()) << "Xvfb did not start";
  FlagsRecorder collector;
  auto monitor = monitorThatSeesShift(collector);

  server.stop();
  // The listener's thread must end without taking the process along, and stopping still returns.
  // (Asking for a refused start would race with other tests: a new Xvfb may take the freed
  // display number at once.)
  EXPECT_FALSE(monitor->enable(false));

  // The monitor works again against the next server.
  testing::PrivateXServer next;
  ASSERT_TRUE(next.ready()) << "Xvfb did not start";
  FlagsRecorder again;
  EXPECT_FALSE(monitorThatSeesShift(again)->enable(false));
}

}  // namespace
}  // namespace kavri::keys
