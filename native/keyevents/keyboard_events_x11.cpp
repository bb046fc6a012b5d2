// X11 backend: events are posted with XTest on a connection of our own. XTest events carry no
// modifier flags, so an event's flags are realised by pressing the matching modifier keys before
// a key-down and releasing them after the key-up. The Command shortcuts of the interface land as
// Control shortcuts here, because that is what Linux applications bind; the paste shortcut lands
// as Control+Shift+V in a terminal emulator, which types Control+V into the shell as it is.
//
// The server adds every modifier key that is down to a key event, so a modifier the user still
// holds (Shift of a chord just typed, Alt of a trigger) would turn Control+V into Control+Shift+V.
// A keystroke therefore lifts the held modifier keys it does not want before its key-down and
// presses them again after its key-up, as the usual X11 automation tools do when asked to clear
// modifiers. Lock keys are left alone: their state is not held, and pressing one toggles it.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "keyboard_backends.h"
#include "keyboard_events.h"
#include "terminal_emulators.h"
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

std::vector<KeySym> modifierKeysyms(uint64_t flags) {
  return modifiersFor<KeySym>(flags, XK_Control_L, XK_Shift_L, XK_Alt_L);
}

bool isLockKeysym(KeySym sym) {
  return sym == XK_Caps_Lock || sym == XK_Shift_Lock || sym == XK_Num_Lock || sym == XK_Scroll_Lock;
}

// Windows between the focus and its top-level window, at most: toolkits focus a child of it.
constexpr int kMaxFocusDepth = 16;

class X11KeySource final : public KeyEventSource {};

class X11KeyEvent final : public KeyEvent {
 public:
  X11KeyEvent(KeySym sym, KeyCode keycode, bool down) : sym_(sym), keycode_(keycode), down_(down) {}
  void setFlags(uint64_t flags) override { flags_ = flags; }
  uint64_t flags() const override { return flags_; }
  KeySym sym() const { return sym_; }
  KeyCode keycode() const { return keycode_; }
  bool down() const { return down_; }

 private:
  KeySym sym_;
  KeyCode keycode_;
  bool down_;
  uint64_t flags_ = 0;
};

// What a key-down changed besides its key, for its key-up to undo.
struct Keystroke {
  KeyCode key = 0;
  // Modifier keys pressed for the event's flags, in press order.
  std::vector<KeyCode> pressed;
  // Modifier keys the user held that the keystroke must not carry, released before it.
  std::vector<KeyCode> lifted;
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
    return std::make_unique<X11KeyEvent>(sym, keycode, keyDown);
  }

  void post(KeyEvent& event) override {
    Display* display = connection();
    auto* x11Event = dynamic_cast<X11KeyEvent*>(&event);
    if (!display || !x11Event) return;
    if (x11Event->down()) {
      Keystroke stroke = prepare(display, *x11Event);
      for (KeyCode code : stroke.lifted) XTestFakeKeyEvent(display, code, False, CurrentTime);
      for (KeyCode code : stroke.pressed) XTestFakeKeyEvent(display, code, True, CurrentTime);
      XTestFakeKeyEvent(display, stroke.key, True, CurrentTime);
      inFlight_ = std::move(stroke);
    } else {
      XTestFakeKeyEvent(display, x11Event->keycode(), False, CurrentTime);
      Keystroke stroke;
      if (inFlight_ && inFlight_->key == x11Event->keycode()) {
        stroke = std::move(*inFlight_);
        inFlight_.reset();
      } else {
        // A key-up on its own releases the modifiers of its flags, and lifted nothing.
        stroke.pressed = keycodesFor(display, modifierKeysyms(x11Event->flags()));
      }
      for (auto it = stroke.pressed.rbegin(); it != stroke.pressed.rend(); ++it) {
        XTestFakeKeyEvent(display, *it, False, CurrentTime);
      }
      for (KeyCode code : stroke.lifted) XTestFakeKeyEvent(display, code, True, CurrentTime);
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
    if (connection_ && connection_->lost()) {
      connection_.reset();
      inFlight_.reset();
    }
    if (!connection_) connection_ = x11::Connection::open(x11::kMarkLost);
    return connection_ ? connection_->display() : nullptr;
  }

  static bool hasXTest(Display* display) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    return XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) == True;
  }

  static std::vector<KeyCode> keycodesFor(Display* display, const std::vector<KeySym>& syms) {
    std::vector<KeyCode> codes;
    for (KeySym sym : syms) {
      if (KeyCode code = XKeysymToKeycode(display, sym); code != 0) codes.push_back(code);
    }
    return codes;
  }

  // Which modifier keys the key-down must press, and which held ones it must lift, so that the
  // key arrives with exactly the modifiers of its flags.
  Keystroke prepare(Display* display, const X11KeyEvent& event) {
    std::vector<KeySym> wanted = modifierKeysyms(event.flags());
    if (event.sym() == XK_v && (event.flags() & kFlagCommand) && !(event.flags() & kFlagShift) &&
        focusIsTerminal(display)) {
      wanted.push_back(XK_Shift_L);
    }
    Keystroke stroke{event.keycode(), {}, {}};

    // The modifier bits each key sets, and which keys are down now.
    std::array<unsigned, 256> modifiersOf{};
    if (XModifierKeymap* map = XGetModifierMapping(display)) {
      for (int modifier = 0; modifier < 8; ++modifier) {
        for (int i = 0; i < map->max_keypermod; ++i) {
          modifiersOf[map->modifiermap[modifier * map->max_keypermod + i]] |= 1u << modifier;
        }
      }
      XFreeModifiermap(map);
    }
    modifiersOf[0] = 0;
    std::array<char, 32> down{};
    XQueryKeymap(display, down.data());

    const std::vector<KeyCode> wantedCodes = keycodesFor(display, wanted);
    unsigned wantedMask = 0;
    for (KeyCode code : wantedCodes) wantedMask |= modifiersOf[code];
    unsigned keptMask = 0;
    for (int code = 1; code < 256; ++code) {
      if (!(down[code / 8] & (1 << (code % 8))) || modifiersOf[code] == 0) continue;
      if (isLockKeysym(XkbKeycodeToKeysym(display, static_cast<KeyCode>(code), 0, 0))) continue;
      if (modifiersOf[code] & ~wantedMask) {
        stroke.lifted.push_back(static_cast<KeyCode>(code));
      } else {
        keptMask |= modifiersOf[code];
      }
    }
    for (KeyCode code : wantedCodes) {
      // A modifier the user holds already is left to them.
      if (modifiersOf[code] != 0 && (modifiersOf[code] & ~keptMask) == 0) continue;
      stroke.pressed.push_back(code);
    }
    return stroke;
  }

  // Whether the window with the keyboard focus, or the nearest of its ancestors that names its
  // class, belongs to a terminal emulator.
  bool focusIsTerminal(Display* display) {
    // The focused window may be destroyed at any moment.
    x11::ErrorTrap trap(*connection_);
    Window window = None;
    int revertTo = 0;
    XGetInputFocus(display, &window, &revertTo);
    for (int depth = 0; window != None && window != PointerRoot && depth < kMaxFocusDepth;
         ++depth) {
      XClassHint hint{};
      if (XGetClassHint(display, window, &hint) != 0) {
        const bool terminal = (hint.res_name && isTerminalEmulatorClass(hint.res_name)) ||
                              (hint.res_class && isTerminalEmulatorClass(hint.res_class));
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        return terminal;
      }
      Window root = None, parent = None;
      Window* children = nullptr;
      unsigned count = 0;
      if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) break;
      if (children) XFree(children);
      if (parent == root) break;
      window = parent;
    }
    return false;
  }

  std::unique_ptr<x11::Connection> connection_;
  std::optional<Keystroke> inFlight_;
};

}  // namespace

std::unique_ptr<KeyboardEvents> makeX11KeyboardEvents() {
  return std::make_unique<X11KeyboardEvents>();
}

}  // namespace kavri::keys
