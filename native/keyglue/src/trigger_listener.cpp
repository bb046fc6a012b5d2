#include "trigger_listener.h"

#include "virtual_keys.h"

namespace kavri::keyglue {

TriggerRule triggerRuleFor(int32_t triggerKeyCode) {
  switch (triggerKeyCode) {
    case keys::kVK_RightCommand:
    case keys::kVK_Command:
      return {keys::kFlagCommand, true};
    case keys::kVK_Shift:
    case keys::kVK_RightShift:
      return {keys::kFlagShift, true};
    case keys::kVK_CapsLock:
      return {keys::kFlagCapsLock, true};
    case keys::kVK_Option:
    case keys::kVK_RightOption:
      return {keys::kFlagOption, true};
    case keys::kVK_Control:
    case keys::kVK_RightControl:
      return {keys::kFlagControl, true};
    default:
      return {keys::kFlagFunction, false};
  }
}

const char* eventNameFor(TriggerEdge edge) {
  switch (edge) {
    case TriggerEdge::kDown:
      return "down";
    case TriggerEdge::kUp:
      return "up";
    case TriggerEdge::kNone:
      break;
  }
  return nullptr;
}

TriggerEdge triggerEdgeFor(int32_t triggerKeyCode, std::atomic<bool>& triggerDown,
                           const keys::FlagsChangedEvent& event) {
  const TriggerRule rule = triggerRuleFor(triggerKeyCode);
  if (rule.keyCodeMustMatch && event.keyCode != triggerKeyCode) return TriggerEdge::kNone;
  const bool pressed = (event.flags & rule.flag) != 0;
  bool expected = !pressed;
  if (!triggerDown.compare_exchange_strong(expected, pressed)) return TriggerEdge::kNone;
  return pressed ? TriggerEdge::kDown : TriggerEdge::kUp;
}

bool reenableTapIfDisabled(uint32_t eventType, keys::FlagsMonitor* tap) {
  if (!tap) return false;
  if (eventType != keys::kEventTypeTapDisabledByTimeout &&
      eventType != keys::kEventTypeTapDisabledByUserInput) {
    return false;
  }
  tap->enable(true);
  return true;
}

}  // namespace kavri::keyglue
