// What the addon's Node-API layer offers the rest of the module, and the one hook a module built
// from the same sources may fill in with exports of its own.
#pragma once

#include <napi.h>

#include <cstdint>

#include "flags_monitor.h"

namespace kavri::keyglue {

// Hands text to the JavaScript callback. Callable from any thread; never waits.
void Emit(const char* text);

// Called by the monitor with every flags-changed event.
void HandleFlagsEvent(const keys::FlagsChangedEvent& event);

// Called by the monitor with the other event types it sees.
void TapCallback(uint32_t eventType);

// Adds exports beyond the product's own; the product module adds none.
void addExtraExports(Napi::Env env, Napi::Object exports);

}  // namespace kavri::keyglue
