// What the two PulseAudio backends share: owned libpulse handles, one connection to the server
// with its own event thread, the few questions we ask the server, and the mapping between
// PulseAudio's sample formats and ours.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audio/audio_engine.h"
#include "audio/pcm_buffer.h"
#include "audio/system_audio_capture.h"

namespace kavri::audio::pulse {

inline constexpr char kErrorDomain[] = "pulse";

// How long we wait for the server before we give up with PA_ERR_TIMEOUT: for one request
// (connecting, opening a stream, a query), and for the whole start of the microphone, whose
// requests share it. libpulse's own limit is 30 seconds per request, far too long for a user who
// just pressed the dictation key.
inline constexpr std::chrono::milliseconds kReplyTimeout{10000};

struct Options {
  // The server to use; empty means libpulse's own choice ($PULSE_SERVER, client.conf, the user's
  // session socket). A server is never spawned.
  std::string server;
  std::chrono::milliseconds replyTimeout = kReplyTimeout;
};

struct MainloopDeleter {
  void operator()(pa_threaded_mainloop* m) const { pa_threaded_mainloop_free(m); }
};
struct ContextDeleter {
  void operator()(pa_context* c) const { pa_context_unref(c); }
};
struct StreamDeleter {
  void operator()(pa_stream* s) const { pa_stream_unref(s); }
};
struct OperationDeleter {
  void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

// The error that libpulse reports for `code` (a PA_ERR_* value), with its own description.
AudioError errorFromCode(int code);
// The error that a connection reports now (PA_ERR_UNKNOWN when it reports none): the reason a
// request or one of its streams failed.
AudioError contextError(pa_context* context);

// Our format nearest to a PulseAudio one: byte order becomes native (the server converts), the
// telephone companding formats become 16-bit, 24-in-32 becomes 32-bit.
SampleFormat sampleFormatFor(pa_sample_format_t format);
// The native-endian PulseAudio format that carries exactly our format.
pa_sample_format_t paFormatFor(SampleFormat format);

// The moment `timeout` from now, as Client::setDeadline() takes it.
pa_usec_t deadlineAfter(std::chrono::milliseconds timeout);

struct DeviceSpec {
  AudioFormat format;
  pa_channel_map channelMap{};
};

// One connection to the server and the thread that runs its events. Every callback of the
// connection and of its streams runs on that thread, with the loop lock held.
class Client {
 public:
  // Connects and waits until the server has accepted us; null with `error` set otherwise.
  // `deadline`: see setDeadline().
  static std::unique_ptr<Client> connect(const std::string& appName, const Options& options,
                                         std::optional<AudioError>& error, pa_usec_t deadline = 0);
  ~Client();
  // Closes the stream (see closeStream) and destroys the client, also from the client's own
  // event thread (an owner released inside one of the callbacks): the event thread cannot wait
  // for itself, and libpulse may still use the stream once the callback returns, so another
  // thread frees both after that.
  static void dispose(std::unique_ptr<Client> client, StreamPtr stream);
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  pa_threaded_mainloop* mainloop() const { return mainloop_.get(); }
  pa_context* context() const { return context_.get(); }
  bool isReady() const;
  // From now on every wait ends by `deadline` (pa_rtclock_now() time) at the latest, so that a
  // series of requests shares one limit; 0 gives each wait the reply timeout of its own.
  void setDeadline(pa_usec_t deadline) { deadline_ = deadline; }

  // With the loop lock held: waits until `done` holds, the connection fails, or the reply
  // timeout (or the deadline) passes. Callbacks that change what `done` looks at must signal the
  // loop. Returns the error that ended the wait, if any.
  std::optional<AudioError> waitLocked(const std::function<bool()>& done);
  AudioError lastError() const { return contextError(context()); }

  // Names of the default sink and source; empty when the server has none.
  std::optional<AudioError> defaultDevices(std::string& sink, std::string& source);
  // `found` is false when there is no source of that name.
  std::optional<AudioError> sourceSpec(const std::string& name, DeviceSpec& spec, bool& found);
  std::optional<AudioError> sinkMonitor(const std::string& sinkName, std::string& monitor,
                                        bool& found);

  struct RecordStream {
    std::string name;              // what the server shows for the stream
    const char* device = nullptr;  // null: the default source
    AudioFormat format;  // a rate or channel count that PulseAudio cannot carry is refused
    const pa_channel_map* channelMap = nullptr;  // null: the standard map for the channels
    uint32_t fragmentFrames = 0;                 // how much the server sends at a time
    // Installed once the stream is ready; both run on the event thread.
    pa_stream_request_cb_t onRead = nullptr;
    pa_stream_notify_cb_t onState = nullptr;
    void* userdata = nullptr;
  };
  // Opens a record stream and waits until the server delivers on it or refuses it. The stream
  // stays on its device: when the device goes away the server would move us to whatever it picks
  // next (the monitor of an output for a microphone, a microphone for a monitor), and we would
  // rather stop and say so.
  std::optional<AudioError> openRecord(const RecordStream& request, StreamPtr& stream);

  // Clears the stream's callbacks and disconnects it: once this returns, none of them runs again.
  void closeStream(StreamPtr& stream);
  void silenceStream(pa_stream* stream);

  // Ends the event thread and waits for it, so that no callback runs any more. Idempotent.
  // Must not be called from the event thread itself.
  void stopThread();

 private:
  explicit Client(const Options& options) : options_(options) {}
  std::optional<AudioError> waitForOperation(pa_operation* operation);
  static void onContextState(pa_context* context, void* self);

  Options options_;
  pa_usec_t deadline_ = 0;
  MainloopPtr mainloop_;
  ContextPtr context_;
  bool threadRunning_ = false;
};

// Marks the calling thread, for the length of one of our stream callbacks, as an event thread:
// the only place where our code runs there. (libpulse's own in-thread test reads state that its
// event thread writes without a lock we can see.)
class EventThreadScope {
 public:
  EventThreadScope() { ++depth(); }
  ~EventThreadScope() { --depth(); }
  EventThreadScope(const EventThreadScope&) = delete;
  EventThreadScope& operator=(const EventThreadScope&) = delete;
  static bool active() { return depth() > 0; }

 private:
  static int& depth() {
    thread_local int value = 0;
    return value;
  }
};

// Holds the loop lock of a client for a scope. The event thread already holds it while it runs
// callbacks, and libpulse refuses to take it again there.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* mainloop)
      : mainloop_(mainloop), taken_(!EventThreadScope::active()) {
    if (taken_) pa_threaded_mainloop_lock(mainloop_);
  }
  ~LoopLock() {
    if (taken_) pa_threaded_mainloop_unlock(mainloop_);
  }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* mainloop_;
  bool taken_;
};

// The backends on a chosen server, for tests and benchmarks; the platform factories use the
// default options.
std::shared_ptr<AudioEngine> makePulseAudioEngine(const Options& options);
std::shared_ptr<SystemAudioCapture> makePulseSystemAudioCapture(const Options& options);

}  // namespace kavri::audio::pulse
