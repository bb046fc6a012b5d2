// The system-wide watch on modifier keys behind the addon's trigger key: every flags-changed
// event of every application, this process included, reported with its virtual key code and the
// device-independent modifier flags in force after it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "virtual_keys.h"

namespace kavri::keys {

// Event types as the event services number them; the two highest report that the system switched
// a tap off.
inline constexpr uint32_t kEventTypeFlagsChanged = 12;
inline constexpr uint64_t kFlagsChangedMask = uint64_t{1} << kEventTypeFlagsChanged;
inline constexpr uint32_t kEventTypeTapDisabledByTimeout = 0xFFFFFFFE;
inline constexpr uint32_t kEventTypeTapDisabledByUserInput = 0xFFFFFFFF;

struct FlagsChangedEvent {
  uint16_t keyCode = 0;
  uint64_t flags = 0;
};

// A listen-only monitor of flags-changed events. It serves both as the global event monitor and
// as the event tap: enabling starts delivery, disabling stops it.
class FlagsMonitor {
 public:
  // Runs on the monitor's own thread, one event at a time, in the order the keys changed.
  using FlagsHandler = std::function<void(const FlagsChangedEvent&)>;
  // Runs on the monitor's own thread with an event type the monitor saw besides flags changes,
  // such as the notices that the system disabled it.
  using TapEventHandler = std::function<void(uint32_t eventType)>;

  virtual ~FlagsMonitor() = default;
  // Starting returns whether events are delivered now; false when the system refuses (no display,
  // no way to observe keys) or does not answer within a short limit. Starting a running monitor
  // changes nothing. Stopping returns false, and once it has returned the handler is never called
  // again; before that the handler sees every key change that the system had taken in before the
  // stop, unless the system does not hand them over within a short limit. Neither waits longer
  // for the system, whatever it does.
  virtual bool enable(bool on) = 0;
};

// The monitor of the platform this was built for. Creating it claims nothing; enable does.
std::unique_ptr<FlagsMonitor> makePlatformFlagsMonitor(FlagsMonitor::FlagsHandler onFlagsChanged,
                                                       FlagsMonitor::TapEventHandler onTapEvent);

}  // namespace kavri::keys
