// X11 backend of the flags monitor. A thread of ours holds its own connection and watches XInput 2
// raw key events on the root window, which every key press and release reaches whichever client
// has the focus, synthetic XTest input included. Only that thread talks to the server, so the
// caller of enable never waits on a server that froze longer than the limits below. Raw events
// carry no modifier state, and asking for it after an event races the next key; XKB state
// notifications selected on the same connection come in order instead, right after the key event
// that caused them. So a modifier key event is held back until its own notification arrives, or,
// when none comes with it, until the server has answered a round trip: then a notification it
// caused would be in, and none means the key changed no modifier.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#include <poll.h>

#include <array>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "flags_monitor.h"
#include "keyboard_backends.h"
#include "keyboard_events.h"
#include "listener_thread.h"
#include "x11_connection.h"

namespace kavri::keys {
namespace {

// The thread that starts and stops the monitor is the host's JavaScript thread, which must not
// wait on an X server that froze or never answers. Starting waits this long for the listener's
// connection (the opening's own limit is shorter); stopping is bounded by the listener thread.
constexpr std::chrono::milliseconds kStartLimit{750};

constexpr int kKeycodeCount = 256;
// XF86XK_Fn, spelled out because the header defines it through a macro it undefines again.
constexpr KeySym kKeysymFn = 0x100811D0;
constexpr int kModifierCount = 8;

std::optional<uint16_t> macKeyCodeForKeysym(KeySym sym) {
  switch (sym) {
    case XK_Shift_L:
      return kVK_Shift;
    case XK_Shift_R:
      return kVK_RightShift;
    case XK_Control_L:
      return kVK_Control;
    case XK_Control_R:
      return kVK_RightControl;
    case XK_Alt_L:
      return kVK_Option;
    case XK_Alt_R:
    case XK_ISO_Level3_Shift:
      return kVK_RightOption;
    case XK_Super_L:
      return kVK_Command;
    case XK_Super_R:
      return kVK_RightCommand;
    case XK_Caps_Lock:
      return kVK_CapsLock;
    case kKeysymFn:
      return kVK_Function;
    default:
      return std::nullopt;
  }
}

// The device-independent flag that an X modifier bit stands for, judged by the keys bound to it,
// so that layouts which move Alt or Super to another modifier still report them correctly.
uint64_t flagForModifierKeysym(KeySym sym) {
  switch (sym) {
    case XK_Shift_L:
    case XK_Shift_R:
      return kFlagShift;
    case XK_Control_L:
    case XK_Control_R:
      return kFlagControl;
    case XK_Alt_L:
    case XK_Alt_R:
    case XK_Meta_L:
    case XK_Meta_R:
    case XK_ISO_Level3_Shift:
      return kFlagOption;
    case XK_Super_L:
    case XK_Super_R:
    case XK_Hyper_L:
    case XK_Hyper_R:
      return kFlagCommand;
    case XK_Caps_Lock:
    case XK_Shift_Lock:
      return kFlagCapsLock;
    default:
      return 0;
  }
}

// One run of the listening thread, on a connection of its own.
class KeyListener {
 public:
  static std::unique_ptr<KeyListener> connect(FlagsMonitor::FlagsHandler handler) {
    auto connection = x11::Connection::open(x11::kMarkLost);
    if (!connection) return nullptr;
    auto listener =
        std::unique_ptr<KeyListener>(new KeyListener(std::move(connection), std::move(handler)));
    if (!listener->select()) return nullptr;
    return listener;
  }

  // Delivers events until wakeFd becomes readable or the server goes away.
  void run(int wakeFd) {
    Display* display = connection_->display();
    const int xFd = ConnectionNumber(display);
    while (!connection_->lost()) {
      settle();
      if (connection_->lost()) break;
      std::array<pollfd, 2> fds{{{xFd, POLLIN, 0}, {wakeFd, POLLIN, 0}}};
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents != 0) {
        // Keys the server handled before the stop was asked for are still reported: after a
        // round trip they are all in.
        XSync(display, False);
        settle();
        break;
      }
    }
  }

 private:
  struct KeyChange {
    KeyCode keycode;
    bool press;
  };

  KeyListener(std::unique_ptr<x11::Connection> connection, FlagsMonitor::FlagsHandler handler)
      : connection_(std::move(connection)), handler_(std::move(handler)) {}

  bool select() {
    Display* display = connection_->display();
    int event = 0, error = 0;
    if (!XQueryExtension(display, "XInputExtension", &xiOpcode_, &event, &error)) return false;
    // From 2.1 on the server sends raw events while another client grabs the keyboard (a window
    // manager's Alt+Tab, a menu, a screen locker); a 2.0 client misses the trigger's release then.
    int major = 2, minor = 2;
    if (XIQueryVersion(display, &major, &minor) != Success) return false;
    int xkbOpcode = 0, xkbError = 0;
    int xkbMajor = XkbMajorVersion, xkbMinor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &xkbOpcode, &xkbEventBase_, &xkbError, &xkbMajor, &xkbMinor)) {
      return false;
    }

    // Master devices only: selecting every device reports each key twice, once per slave.
    std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> mask{};
    XISetMask(mask.data(), XI_RawKeyPress);
    XISetMask(mask.data(), XI_RawKeyRelease);
    XIEventMask eventMask{XIAllMasterDevices, static_cast<int>(mask.size()), mask.data()};
    XISelectEvents(display, DefaultRootWindow(display), &eventMask, 1);
    XkbSelectEventDetails(display, XkbUseCoreKbd, XkbStateNotify, XkbModifierStateMask,
                          XkbModifierStateMask);
    XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask | XkbNewKeyboardNotifyMask,
                    XkbMapNotifyMask | XkbNewKeyboardNotifyMask);
    XSync(display, False);

    // From here on every change arrives as an event; read where things stand now.
    XkbStateRec state{};
    if (XkbGetState(display, XkbUseCoreKbd, &state) == Success) modifiers_ = state.mods;
    std::array<char, 32> keys{};
    XQueryKeymap(display, keys.data());
    for (int code = 0; code < kKeycodeCount; ++code) {
      down_[code] = (keys[code / 8] >> (code % 8)) & 1;
    }
    readKeymap();
    return !connection_->lost();
  }

  void readKeymap() {
    Display* display = connection_->display();
    int minCode = 0, maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    macKeyCodes_.fill(std::nullopt);
    for (int code = minCode; code <= maxCode && code < kKeycodeCount; ++code) {
      macKeyCodes_[code] = macKeyCodeForKeysym(XkbKeycodeToKeysym(display, code, 0, 0));
    }
    modifierFlags_.fill(0);
    if (XModifierKeymap* map = XGetModifierMapping(display)) {
      for (int modifier = 0; modifier < kModifierCount; ++modifier) {
        for (int i = 0; i < map->max_keypermod; ++i) {
          KeyCode code = map->modifiermap[modifier * map->max_keypermod + i];
          if (code != 0) {
            modifierFlags_[modifier] |=
                flagForModifierKeysym(XkbKeycodeToKeysym(display, code, 0, 0));
          }
        }
      }
      XFreeModifiermap(map);
    }
  }

  // Handles everything queued, then makes sure the last key event is delivered with the state
  // that followed it: after a round trip the server has finished that key, so a notification it
  // caused is queued by now, and no notification means the key changed no modifier.
  void settle() {
    drain();
    while (held_ && !connection_->lost()) {
      const uint64_t seen = keyEvents_;
      XSync(connection_->display(), False);
      drain();
      if (held_ && keyEvents_ == seen) {
        deliver(*held_);
        held_.reset();
      }
    }
  }

  void drain() {
    Display* display = connection_->display();
    while (!connection_->lost() && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      handle(event);
    }
  }

  void handle(XEvent& event) {
    Display* display = connection_->display();
    if (event.type == GenericEvent && event.xcookie.extension == xiOpcode_) {
      if (!XGetEventData(display, &event.xcookie)) return;
      if (event.xcookie.evtype == XI_RawKeyPress || event.xcookie.evtype == XI_RawKeyRelease) {
        const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
        // A new key event means the one held back has seen all of its notifications.
        if (held_) deliver(*held_);
        held_.reset();
        const KeyChange change{static_cast<KeyCode>(raw->detail),
                               event.xcookie.evtype == XI_RawKeyPress};
        // Only the modifier keys are reported, so only they need the state that follows them.
        if (macKeyCodes_[change.keycode]) {
          held_ = change;
          ++keyEvents_;
        } else {
          deliver(change);
        }
      }
      XFreeEventData(display, &event.xcookie);
    } else if (event.type == xkbEventBase_) {
      auto& xkb = reinterpret_cast<XkbEvent&>(event);
      if (xkb.any.xkb_type == XkbStateNotify) {
        modifiers_ = xkb.state.mods;
        // The usual case: the key's own notification came with it, no round trip needed.
        if (held_ && xkb.state.keycode == held_->keycode &&
            xkb.state.event_type == (held_->press ? KeyPress : KeyRelease)) {
          deliver(*held_);
          held_.reset();
        }
      } else if (xkb.any.xkb_type == XkbMapNotify) {
        XkbRefreshKeyboardMapping(&xkb.map);
        readKeymap();
      } else if (xkb.any.xkb_type == XkbNewKeyboardNotify) {
        readKeymap();
      }
    } else if (event.type == MappingNotify) {
      XRefreshKeyboardMapping(&event.xmapping);
      readKeymap();
    }
  }

  void deliver(const KeyChange& change) {
    // Raw events also pass repeats and releases of keys that were never down; only real changes
    // count.
    if (down_[change.keycode] == change.press) return;
    down_[change.keycode] = change.press;
    std::optional<uint16_t> keyCode = macKeyCodes_[change.keycode];
    if (!keyCode) return;
    handler_(FlagsChangedEvent{*keyCode, currentFlags()});
  }

  uint64_t currentFlags() const {
    uint64_t flags = 0;
    for (int modifier = 0; modifier < kModifierCount; ++modifier) {
      if (modifiers_ & (1u << modifier)) flags |= modifierFlags_[modifier];
    }
    // X has no modifier for Fn; it counts as held while a key that reports it is down.
    for (int code = 0; code < kKeycodeCount; ++code) {
      if (down_[code] && macKeyCodes_[code] == kVK_Function) flags |= kFlagFunction;
    }
    return flags;
  }

  std::unique_ptr<x11::Connection> connection_;
  FlagsMonitor::FlagsHandler handler_;
  int xiOpcode_ = 0;
  int xkbEventBase_ = 0;
  unsigned modifiers_ = 0;
  std::array<std::optional<uint16_t>, kKeycodeCount> macKeyCodes_{};
  std::array<uint64_t, kModifierCount> modifierFlags_{};
  std::bitset<kKeycodeCount> down_;
  std::optional<KeyChange> held_;
  uint64_t keyEvents_ = 0;
};

// How a listener's connecting went, for the monitor that waits for it at the start.
struct Connecting {
  enum class State { kConnecting, kListening, kRefused };

  std::mutex mutex;
  std::condition_variable changed;
  State state = State::kConnecting;
};

class X11FlagsMonitor final : public FlagsMonitor {
 public:
  explicit X11FlagsMonitor(FlagsHandler onFlagsChanged)
      : onFlagsChanged_(std::make_shared<FlagsHandler>(std::move(onFlagsChanged))) {}
  ~X11FlagsMonitor() override { enable(false); }

  bool enable(bool on) override {
    return thread_.enable(on, [this](std::shared_ptr<ListenerRun> run) {
      auto connecting = std::make_shared<Connecting>();
      if (!thread_.start(run, [connecting, handler = onFlagsChanged_](ListenerRun& run) {
            listen(run, *connecting, handler);
          })) {
        return false;
      }
      std::unique_lock<std::mutex> lock(connecting->mutex);
      connecting->changed.wait_for(
          lock, kStartLimit, [&] { return connecting->state != Connecting::State::kConnecting; });
      const Connecting::State state = connecting->state;
      lock.unlock();
      if (state == Connecting::State::kListening) return true;
      // A refused listener is ending; one still connecting is told to end once it can, and left.
      thread_.stop(state == Connecting::State::kRefused ? kListenerDrainLimit
                                                        : std::chrono::milliseconds::zero());
      return false;
    });
  }

 private:
  // Runs on the listener's thread, with nothing of the monitor's but the shares it was given.
  static void listen(ListenerRun& run, Connecting& connecting,
                     const std::shared_ptr<FlagsHandler>& handler) {
    auto listener = KeyListener::connect(
        [&run, handler](const FlagsChangedEvent& event) { run.deliver(*handler, event); });
    {
      std::lock_guard<std::mutex> lock(connecting.mutex);
      connecting.state = listener ? Connecting::State::kListening : Connecting::State::kRefused;
      connecting.changed.notify_all();
    }
    if (listener) listener->run(run.wakeFd());
  }

  std::shared_ptr<FlagsHandler> onFlagsChanged_;
  ListenerThread thread_;
};

}  // namespace

// XInput 2 never switches a listener off the way an event tap can be, so there are no tap events
// to report on X11.
std::unique_ptr<FlagsMonitor> makeX11FlagsMonitor(FlagsMonitor::FlagsHandler onFlagsChanged,
                                                  FlagsMonitor::TapEventHandler) {
  return std::make_unique<X11FlagsMonitor>(std::move(onFlagsChanged));
}

}  // namespace kavri::keys
