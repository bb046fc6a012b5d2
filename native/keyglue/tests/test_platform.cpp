// The test build of keyglue: the same Node-API layer over fake keyboard services, plus exports
// that let JavaScript tests play the part of the system (key events from a native thread, a burst
// of events, what was posted).
#include <napi.h>

#include <future>
#include <memory>
#include <string>
#include <thread>

#include "addon.h"
#include "testing/fake_keyboard.h"

namespace kavri::keys {

namespace {
// Owned by the addon's state once created; the test exports reach them through these.
testing::FakeFlagsMonitor* gFakeMonitor = nullptr;
testing::FakeKeyboardEvents* gFakeEvents = nullptr;
int gMonitorsCreated = 0;
}  // namespace

std::unique_ptr<FlagsMonitor> makePlatformFlagsMonitor(FlagsMonitor::FlagsHandler onFlagsChanged,
                                                       FlagsMonitor::TapEventHandler onTapEvent) {
  auto monitor =
      std::make_unique<testing::FakeFlagsMonitor>(std::move(onFlagsChanged), std::move(onTapEvent));
  gFakeMonitor = monitor.get();
  ++gMonitorsCreated;
  return monitor;
}

std::unique_ptr<KeyboardEvents> makePlatformKeyboardEvents() {
  auto events = std::make_unique<testing::FakeKeyboardEvents>();
  gFakeEvents = events.get();
  return events;
}

bool platformKeyboardEventsWantMakingAhead() {
  return false;
}

}  // namespace kavri::keys

namespace kavri::keyglue {
namespace {

// Guards the tests against a sender that blocks: they fail instead of hanging.
constexpr std::chrono::seconds kSenderTimeout{30};

// Runs work on a native thread, as the monitor would, and waits for it. Returns false if the
// thread did not finish in time (it is then left to finish on its own).
bool runOnNativeThread(std::function<void()> work) {
  auto task = std::make_shared<std::packaged_task<void()>>(std::move(work));
  std::future<void> done = task->get_future();
  std::thread([task] { (*task)(); }).detach();
  return done.wait_for(kSenderTimeout) == std::future_status::ready;
}

// sendFlagsChanged(keyCode, flags): one event from the monitor's thread. False when no monitor
// exists yet.
Napi::Value SendFlagsChanged(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  auto* monitor = keys::gFakeMonitor;
  if (!monitor) return Napi::Boolean::New(env, false);
  const auto keyCode = static_cast<uint16_t>(info[0].As<Napi::Number>().Uint32Value());
  const auto flags = static_cast<uint64_t>(info[1].As<Napi::Number>().Int64Value());
  return Napi::Boolean::New(env,
                            runOnNativeThread([=] { monitor->sendFlagsChanged(keyCode, flags); }));
}

// sendTapEvent(type): an event type other than a flags change, from the monitor's thread.
Napi::Value SendTapEvent(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  auto* monitor = keys::gFakeMonitor;
  if (!monitor) return Napi::Boolean::New(env, false);
  const uint32_t type = info[0].As<Napi::Number>().Uint32Value();
  return Napi::Boolean::New(env, runOnNativeThread([=] { monitor->sendTapEvent(type); }));
}

// emitBurst(count): Emit("0") ... Emit(count-1) from one native thread while the JavaScript thread
// is held inside this call, so nothing can be delivered meanwhile. Returns how many calls returned.
Napi::Value EmitBurst(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  const uint32_t count = info[0].As<Napi::Number>().Uint32Value();
  auto returned = std::make_shared<std::atomic<uint32_t>>(0);
  runOnNativeThread([count, returned] {
    for (uint32_t i = 0; i < count; ++i) {
      Emit(std::to_string(i).c_str());
      returned->fetch_add(1);
    }
  });
  return Napi::Number::New(env, returned->load());
}

// fakeState(): what the fake services saw.
Napi::Value FakeState(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Napi::Object state = Napi::Object::New(env);
  state.Set("monitorEnabled", keys::gFakeMonitor && keys::gFakeMonitor->enabled());
  state.Set("monitorsCreated", keys::gMonitorsCreated);
  Napi::Array enableCalls = Napi::Array::New(env);
  if (keys::gFakeMonitor) {
    uint32_t i = 0;
    for (bool on : keys::gFakeMonitor->enableCalls()) enableCalls.Set(i++, on);
  }
  state.Set("enableCalls", enableCalls);
  Napi::Array posted = Napi::Array::New(env);
  if (keys::gFakeEvents) {
    uint32_t i = 0;
    for (const auto& key : keys::gFakeEvents->posted) {
      Napi::Object entry = Napi::Object::New(env);
      entry.Set("keyCode", key.keyCode);
      entry.Set("keyDown", key.keyDown);
      entry.Set("flags", static_cast<double>(key.flags));
      posted.Set(i++, entry);
    }
    state.Set("trustQueries", keys::gFakeEvents->trustQueries);
    state.Set("promptingTrustQueries", keys::gFakeEvents->promptingTrustQueries);
  }
  state.Set("posted", posted);
  return state;
}

// refuseMonitor(refuse): makes the fake monitor refuse (or accept) to start.
Napi::Value RefuseMonitor(const Napi::CallbackInfo& info) {
  if (keys::gFakeMonitor) keys::gFakeMonitor->refuse = info[0].ToBoolean().Value();
  return info.Env().Undefined();
}

}  // namespace

void addExtraExports(Napi::Env env, Napi::Object exports) {
  exports.Set("sendFlagsChanged", Napi::Function::New(env, SendFlagsChanged));
  exports.Set("sendTapEvent", Napi::Function::New(env, SendTapEvent));
  exports.Set("emitBurst", Napi::Function::New(env, EmitBurst));
  exports.Set("fakeState", Napi::Function::New(env, FakeState));
  exports.Set("refuseMonitor", Napi::Function::New(env, RefuseMonitor));
}

}  // namespace kavri::keyglue
