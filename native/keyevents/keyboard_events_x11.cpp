// X11 backend: events are posted with XTest on a connection of our own. XTest events carry no
// modifier flags, so an event's flags are realised by pressing the matching modifier keys before
// a key-down and releasing them after the key-up. The Command shortcuts of the interface land as
// Control shortcuts here, because that is what Linux applications bind.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <array>
#include <utility>
#include <vector>

#include "keyboard_backends.h"
#include "keyboard_events.h"
#include "x11_connection.h"

namespace kavri::keys {
namespace {

// macOS virtual key code to X keysym, for the keys a synthetic shortcut may need.
KeySym keysymForKeyCode(uint16_t keyCode) {
  static constexpr std::array<std::pair<uint16_t, KeySym>, 52> kTable{{
      {0, XK_a},         {11, XK_b},       {8, XK_c},      {2, XK_d},         {14, XK_e},
      {3, XK_f},         {5, XK_g},        {4, XK_h},      {34, XK_i},        {38, XK_j},
      {40, XK_k},        {37, XK_l},       {46, XK_m},     {45, XK_n},        {31, XK_o},
      {35, XK_p},        {12, XK_q},       {15, XK_r},     {1, XK_s},         {17, XK_t},
      {32, XK_u},        {9, XK_v},        {13, XK_w},     {7, XK_x},         {16, XK_y},
      {6, XK_z},         {29, XK_0},       {18, XK_1},     {19, XK_2},        {20, XK_3},
      {21, XK_4},        {23, XK_5},       {22, XK_6},     {26, XK_7},        {28, XK_8},
      {25, XK_9},        {36, XK_Return},  {48, XK_Tab},   {49, XK_space},    {51, XK_BackSpace},
      {53, XK_Escape},   {117, XK_Delete}, {123, XK_Left}, {124, XK_Right},   {125, XK_Down},
      {126, XK_Up},      {115, XK_Home},   {119, XK_End},  {116, XK_Page_Up}, {121, XK_Page_Down},
      {76, XK_KP_Enter}, {50, XK_grave},
  }};
  for (const auto& [code, sym] : kTable) {
    if (code == keyCode) return sym;
  }
  return NoSymbol;
}

// Modifier keys pressed around a key for each flag, in press order.
std::vector<KeySym> modifierKeysyms(uint64_t flags) {
  std::vector<KeySym> syms;
  // Command and Control both mean Control on Linux.
  if (flags & (kFlagCommand | kFlagControl)) syms.push_back(XK_Control_L);
  if (flags & kFlagShift) syms.push_back(XK_Shift_L);
  if (flags & kFlagOption) syms.push_back(XK_Alt_L);
  return syms;
}

class X11KeySource final : public KeyEventSource {};

class X11KeyEvent final : public KeyEvent {
 public:
  X11KeyEvent(KeyCode keycode, bool down) : keycode_(keycode), down_(down) {}
  void setFlags(uint64_t flags) override { flags_ = flags; }
  uint64_t flags() const override { return flags_; }
  KeyCode keycode() const { return keycode_; }
  bool down() const { return down_; }

 private:
  KeyCode keycode_;
  bool down_;
  uint64_t flags_ = 0;
};

class X11KeyboardEvents final : public KeyboardEvents {
 public:
  std::unique_ptr<KeyEventSource> createSource() override {
    if (!connection()) return nullptr;
    return std::make_unique<X11KeySource>();
  }

  std::unique_ptr<KeyEvent> createKeyboardEvent(KeyEventSource*, uint16_t keyCode,
                                                bool keyDown) override {
    Display* display = connection();
    if (!display || !hasXTest(display)) return nullptr;
    KeySym sym = keysymForKeyCode(keyCode);
    if (sym == NoSymbol) return nullptr;
    KeyCode keycode = XKeysymToKeycode(display, sym);
    if (keycode == 0) return nullptr;
    return std::make_unique<X11KeyEvent>(keycode, keyDown);
  }

  void post(KeyEvent& event) override {
    Display* display = connection();
    auto* x11Event = dynamic_cast<X11KeyEvent*>(&event);
    if (!display || !x11Event) return;
    std::vector<KeyCode> modifiers;
    for (KeySym sym : modifierKeysyms(x11Event->flags())) {
      if (KeyCode code = XKeysymToKeycode(display, sym); code != 0) modifiers.push_back(code);
    }
    if (x11Event->down()) {
      for (KeyCode code : modifiers) XTestFakeKeyEvent(display, code, True, CurrentTime);
      XTestFakeKeyEvent(display, x11Event->keycode(), True, CurrentTime);
    } else {
      XTestFakeKeyEvent(display, x11Event->keycode(), False, CurrentTime);
      for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) {
        XTestFakeKeyEvent(display, *it, False, CurrentTime);
      }
    }
    // The events must reach the server before the caller sleeps between down and up.
    XSync(display, False);
  }

  bool isProcessTrusted() override {
    Display* display = connection();
    return display && hasXTest(display);
  }

  // There is no permission prompt on X11: the answer is the same either way.
  bool isProcessTrustedWithOptions(bool) override { return isProcessTrusted(); }

 private:
  // Opened on first need; a connection whose server went away is replaced by a new one.
  Display* connection() {
    if (connection_ && connection_->lost()) connection_.reset();
    if (!connection_) connection_ = x11::Connection::open(x11::kMarkLost);
    return connection_ ? connection_->display() : nullptr;
  }

  static bool hasXTest(Display* display) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    return XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) == True;
  }

  std::unique_ptr<x11::Connection> connection_;
};

}  // namespace

std::unique_ptr<KeyboardEvents> makeX11KeyboardEvents() {
  return std::make_unique<X11KeyboardEvents>();
}

}  // namespace kavri::keys
