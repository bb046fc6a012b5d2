// Node-API layer of keyglue: the exports, the process-wide state they share with the monitor's
// thread, and the thread-safe function that carries events to JavaScript.
#include <napi.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "addon.h"
#include "event_bridge.h"
#include "flags_monitor.h"
#include "keyboard_events.h"
#include "keyboard_worker.h"
#include "paste_keystroke.h"
#include "trigger_listener.h"

namespace kavri::keyglue {
namespace {

constexpr const char* kCallbackRequired = "startFnListener(callback) requires a function";
constexpr const char* kResourceName = "keyglue-fn";

// Queues events on the thread-safe function bound to the first callback.
class ThreadSafeFn final : public EventQueue {
 public:
  ThreadSafeFn(Napi::ThreadSafeFunction function, napi_env owner)
      : function_(std::move(function)), owner_(owner) {}

  bool queue(std::string text) override {
    return function_.NonBlockingCall(
               [text = std::move(text)](Napi::Env env, Napi::Function callback) {
                 deliver(env, callback, text);
               }) == napi_ok;
  }

  // While listening the pending events must keep the loop alive; once stopped a referenced
  // function would keep a plain Node process running for ever.
  void setReferenced(Napi::Env env, bool referenced) {
    if (static_cast<napi_env>(env) != owner_) return;
    if (referenced) {
      function_.Ref(env);
    } else {
      function_.Unref(env);
    }
  }

  napi_env owner() const { return owner_; }

 private:
  static void deliver(Napi::Env env, Napi::Function callback, const std::string& text) {
    try {
      callback.Call({Napi::String::New(env, text)});
    } catch (const Napi::Error& error) {
      // Left pending, Node would only print a deprecation warning and swallow it. The host's own
      // exception goes to its uncaught-exception handling; this one event is lost.
      napi_fatal_exception(env, error.Value());
    }
  }

  Napi::ThreadSafeFunction function_;
  napi_env owner_;
};

// The addon's state: one per process, made when the module is loaded and shared by every caller
// and every JavaScript environment. The flags are atomics because the JavaScript thread writes
// them while the monitor's thread reads and updates them.
struct AddonContext {
  std::atomic<int32_t> gTriggerKeyCode{kDefaultTriggerKeyCode};
  std::atomic<bool> gListening{false};
  std::atomic<bool> gTriggerDown{false};
  // Declared before the monitor so that, when the context goes, the monitor's thread is joined
  // before the function it queues on goes away.
  std::unique_ptr<ThreadSafeFn> gThreadSafeFn;
  // The XInput 2 listener is both the global monitor and the tap: there is no separate local
  // monitor on X11, because the listener sees this process's own keys as well.
  std::unique_ptr<keys::FlagsMonitor> gGlobalMonitor;
  keys::FlagsMonitor* gEventTap = nullptr;
  // The paste keystroke and the trust query run there, so that the JavaScript thread waits for
  // the system only a bounded time.
  std::unique_ptr<KeyboardWorker> gKeyboardWorker;

  KeyboardWorker& keyboardWorker() {
    if (!gKeyboardWorker)
      gKeyboardWorker = std::make_unique<KeyboardWorker>(keys::makePlatformKeyboardEvents);
    return *gKeyboardWorker;
  }
};

AddonContext gContext;

}  // namespace

void Emit(const char* text) {
  emitEvent(gContext.gListening, gContext.gThreadSafeFn.get(), text);
}

void HandleFlagsEvent(const keys::FlagsChangedEvent& event) {
  const TriggerEdge edge =
      triggerEdgeFor(gContext.gTriggerKeyCode.load(), gContext.gTriggerDown, event);
  if (const char* name = eventNameFor(edge)) Emit(name);
}

void TapCallback(uint32_t eventType) {
  reenableTapIfDisabled(eventType, gContext.gEventTap);
}

namespace {

// Runs before Node finalises the thread-safe function (hooks run in reverse order of
// registration), so no thread of ours can queue on it afterwards.
void onEnvironmentCleanup(void* data) {
  auto& context = *static_cast<AddonContext*>(data);
  context.gListening = false;
  if (context.gEventTap) context.gEventTap->enable(false);
  context.gThreadSafeFn.reset();
}

Napi::Value StartFnListener(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() < 1 || !info[0].IsFunction()) {
    throw Napi::TypeError::New(env, kCallbackRequired);
  }
  if (!gContext.gThreadSafeFn) {
    auto function = Napi::ThreadSafeFunction::New(env, info[0].As<Napi::Function>(), Napi::Object(),
                                                  kResourceName, 0, 1);
    gContext.gThreadSafeFn = std::make_unique<ThreadSafeFn>(std::move(function), env);
    // Left referenced only while listening; see setReferenced.
    gContext.gThreadSafeFn->setReferenced(env, false);
    NAPI_THROW_IF_FAILED(env, napi_add_env_cleanup_hook(env, onEnvironmentCleanup, &gContext),
                         env.Undefined());
  }
  if (!gContext.gGlobalMonitor) {
    gContext.gGlobalMonitor = keys::makePlatformFlagsMonitor(HandleFlagsEvent, TapCallback);
    gContext.gEventTap = gContext.gGlobalMonitor.get();
  }
  if (!gContext.gEventTap->enable(true)) return Napi::Boolean::New(env, false);
  gContext.gTriggerDown = false;
  gContext.gListening = true;
  gContext.gThreadSafeFn->setReferenced(env, true);
  return Napi::Boolean::New(env, true);
}

Napi::Value StopFnListener(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  // The monitor goes first: it reports what the system took in before this call, so a release
  // typed just before stopping is not lost; nothing after it arrives. It waits for a system that
  // does not answer only briefly, and then drops what that system still holds.
  if (gContext.gEventTap) gContext.gEventTap->enable(false);
  gContext.gListening = false;
  gContext.gTriggerDown = false;
  if (gContext.gThreadSafeFn) gContext.gThreadSafeFn->setReferenced(env, false);
  return env.Undefined();
}

Napi::Value SendPaste(const Napi::CallbackInfo& info) {
  // A keystroke that did not end in time goes on alone; the answer is true whatever became of it.
  const std::optional<bool> sent = gContext.keyboardWorker().run(
      [](keys::KeyboardEvents& events) { return sendPasteKeystroke(events); });
  return Napi::Boolean::New(info.Env(), sent.value_or(true));
}

Napi::Value SetTriggerKeyCode(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  if (info.Length() >= 1 && info[0].IsNumber()) {
    gContext.gTriggerKeyCode = info[0].As<Napi::Number>().Int32Value();
    gContext.gTriggerDown = false;
  }
  return Napi::Number::New(env, gContext.gTriggerKeyCode.load());
}

Napi::Value IsTrusted(const Napi::CallbackInfo& info) {
  const bool prompt = info.Length() >= 1 && info[0].ToBoolean().Value();
  // A system that does not answer in time cannot take synthetic input now.
  const std::optional<bool> trusted = gContext.keyboardWorker().run(
      [prompt](keys::KeyboardEvents& events) { return queryTrust(events, prompt); });
  return Napi::Boolean::New(info.Env(), trusted.value_or(false));
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("startFnListener", Napi::Function::New(env, StartFnListener, "startFnListener"));
  exports.Set("stopFnListener", Napi::Function::New(env, StopFnListener, "stopFnListener"));
  exports.Set("sendPaste", Napi::Function::New(env, SendPaste, "sendPaste"));
  exports.Set("setTriggerKeyCode",
              Napi::Function::New(env, SetTriggerKeyCode, "setTriggerKeyCode"));
  exports.Set("isTrusted", Napi::Function::New(env, IsTrusted, "isTrusted"));
  addExtraExports(env, exports);
  // A backend whose synthetic keys come from a device of its own is made now rather than at the
  // first paste, so that the system's readers have opened the device by then.
  if (keys::platformKeyboardEventsWantMakingAhead()) gContext.keyboardWorker().makeAhead();
  return exports;
}

}  // namespace

}  // namespace kavri::keyglue

namespace {
Napi::Object InitKeyglue(Napi::Env env, Napi::Object exports) {
  return kavri::keyglue::Init(env, exports);
}
}  // namespace

NODE_API_MODULE(keyglue, InitKeyglue)
