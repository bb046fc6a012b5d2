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
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "flags_monitor.h"
#include "keyboard_events.h"
#include "testing/fake_keyboard.h"
#include "testing/wait.h"
#include "testing/x_server.h"
#include "x11_connection.h"

namespace kavri::keys {
namespace {

// Time for a listener that waited on a frozen server to deliver what it got, if it did.
constexpr std::chrono::milliseconds kSettleTime{500};

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

// A monitor listening on a private X server of the test's own.
class FlagsMonitorX11OwnServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready()) << "Xvfb did not start";
    monitor_ = makePlatformFlagsMonitor(collector_.handler(), nullptr);
    ASSERT_TRUE(monitor_->enable(true));
  }
  void TearDown() override {
    if (monitor_) monitor_->enable(false);
  }

  testing::PrivateXServer server_;
  FlagsRecorder collector_;
  std::unique_ptr<FlagsMonitor> monitor_;
};

// Xvfb's keyboard has no Fn key; a keyboard that reports one maps it to XF86Fn. The mapping is
// changed on a private server, after the monitor started, so the monitor must pick it up.
TEST_F(FlagsMonitorX11OwnServer, AKeyReportedAsFnCarriesTheFunctionFlagWhileDown) {
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

  EXPECT_EQ(collector_.take(4), taps({{kVK_Function, kFlagFunction}, {kVK_Shift, kFlagShift}}));
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

// Another client grabs the keyboard (a window manager's Alt+Tab, a menu) while the trigger is held:
// its release must still arrive, without waiting for a later key.
TEST_F(FlagsMonitorX11OwnServer, AReleaseDuringAnotherClientsKeyboardGrabArrivesAtOnce) {
  Typist typist;
  typist.key(XK_Shift_L, true);
  ASSERT_EQ(collector_.take(1), (std::vector<SeenFlags>{{kVK_Shift, kFlagShift}}));

  Display* grabber = x11::openDisplay();
  ASSERT_NE(grabber, nullptr);
  ASSERT_EQ(XGrabKeyboard(grabber, DefaultRootWindow(grabber), False, GrabModeAsync, GrabModeAsync,
                          CurrentTime),
            GrabSuccess);
  XSync(grabber, False);
  typist.key(XK_Shift_L, false);
  EXPECT_EQ(collector_.take(1), (std::vector<SeenFlags>{{kVK_Shift, 0}}));
  XCloseDisplay(grabber);
}

// Stopping must not wait for a server that answers nothing, and a listener left waiting on it
// must deliver nothing once the server runs again, not even the keys it took in while frozen.
TEST_F(FlagsMonitorX11OwnServer, StopReturnsAndNothingArrivesAfterItOnceTheServerRuns) {
  Display* typist = x11::openDisplay();
  ASSERT_NE(typist, nullptr);
  // Xlib asks the server about the keyboard and XTest once, on first use.
  const KeyCode control = XKeysymToKeycode(typist, XK_Control_L);
  XTestFakeKeyEvent(typist, control, False, CurrentTime);
  XSync(typist, False);

  server_.freeze(true);
  // Sent, not waited for: the server takes it in once it runs again.
  XTestFakeKeyEvent(typist, control, True, CurrentTime);
  XFlush(typist);
  auto stopped = std::async(std::launch::async, [&] { return monitor_->enable(false); });
  const bool returned = stopped.wait_for(testing::kWaitTimeout) == std::future_status::ready;
  server_.freeze(false);
  ASSERT_TRUE(returned) << "stopping waited for the frozen server";
  EXPECT_FALSE(stopped.get());

  XSync(typist, False);
  XCloseDisplay(typist);
  std::this_thread::sleep_for(kSettleTime);
  EXPECT_EQ(collector_.take(0), std::vector<SeenFlags>{});
}

}  // namespace
}  // namespace kavri::keys
