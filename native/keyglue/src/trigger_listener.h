// The trigger key's logic, apart from Node-API and the platform: which modifier flag tells that a
// trigger key is held, which edges of it are reported, and what to do when the system switches
// the event tap off.
#pragma once

#include <atomic>
#include <cstdint>

#include "flags_monitor.h"

namespace kavri::keyglue {

inline constexpr int32_t kDefaultTriggerKeyCode = keys::kVK_Function;

struct TriggerRule {
  // The device-independent flag that is set while the trigger is held.
  uint64_t flag = 0;
  // Side-specific modifiers react only to events of that very key; the Fn rule to every event.
  bool keyCodeMustMatch = false;
};

// Any code outside the modifier keys, the default Fn included, gets the Function flag rule.
TriggerRule triggerRuleFor(int32_t triggerKeyCode);

enum class TriggerEdge { kNone, kDown, kUp };

// "down", "up", or null for kNone.
const char* eventNameFor(TriggerEdge edge);

// The edge that one flags-changed event makes for the trigger. triggerDown holds the last state
// reported and is updated here, so a second delivery of the same state gives kNone; it is
// exchanged atomically because the JavaScript thread resets it while the monitor delivers.
TriggerEdge triggerEdgeFor(int32_t triggerKeyCode, std::atomic<bool>& triggerDown,
                           const keys::FlagsChangedEvent& event);

// What the tap callback does with an event type: a tap that the system switched off (time-out or
// user input) is switched on again at once. Returns whether it re-enabled the tap.
bool reenableTapIfDisabled(uint32_t eventType, keys::FlagsMonitor* tap);

}  // namespace kavri::keyglue
