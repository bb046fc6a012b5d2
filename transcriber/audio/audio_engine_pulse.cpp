// The microphone on PulseAudio: a record stream on the default source, in the source's own
// format, cut into buffers of the tap's size on the connection's event thread.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "audio/audio_engine.h"
#include "audio/pulse_client_pulse.h"

namespace kavri::audio::pulse {
namespace {

constexpr char kAppName[] = "kavri-transcribe";
constexpr char kStreamName[] = "microphone";
constexpr uint32_t kDefaultTapFrames = 1024;
// Reported only while the server cannot be asked; a start then fails with the server's error, so
// no buffer is ever delivered in this format.
constexpr AudioFormat kUnreachableInputFormat{SampleFormat::s16, 48000.0, 1};

// What the event thread shares with the engine. It lives on its own, so that an engine released
// by its own tap block (whose owner went away meanwhile) leaves the event thread something valid
// to come back to.
struct TapState : std::enable_shared_from_this<TapState> {
  // Held while the block runs, so that removeTap() returns only once no call is under way.
  // Recursive so that a block may remove its own tap.
  std::recursive_mutex lock;
  TapBlock block;
  uint32_t frames = kDefaultTapFrames;
  std::optional<AudioFormat> format;
  AudioFormat streamFormat;
  std::shared_ptr<PcmBuffer> pending;
  size_t pendingBytes = 0;
  // Set by stop() (from any thread, or from inside the block): the stream is no longer ours.
  bool streamClosed = false;
  StoppedHandler onStopped;

  // On the event thread, under the loop lock and `lock`. False once the stream was closed.
  bool deliver(const std::byte* data, size_t bytes) {
    while (bytes > 0 && block) {
      size_t capacity = static_cast<size_t>(frames) * streamFormat.bytesPerFrame();
      if (!pending || pending->frameCapacity() != frames) {
        pending = std::make_shared<PcmBuffer>(streamFormat, frames);
        pendingBytes = 0;
      }
      size_t take = std::min(bytes, capacity - pendingBytes);
      std::memcpy(pending->data() + pendingBytes, data, take);
      pendingBytes += take;
      data += take;
      bytes -= take;
      if (pendingBytes < capacity) continue;

      pending->setFrameLength(frames);
      PcmBufferPtr full = std::move(pending);
      pending.reset();
      // A copy, so that a block which removes or replaces the tap does not destroy itself
      // while it runs.
      TapBlock current = block;
      try {
        current(std::move(full));
      } catch (...) {
        // Nothing may unwind into libpulse's event thread; the buffer is lost, capture goes on.
      }
      if (streamClosed) return false;
    }
    return true;
  }
};

class PulseAudioEngine final : public AudioEngine {
 public:
  explicit PulseAudioEngine(Options options) : options_(std::move(options)) {}
  ~PulseAudioEngine() override {
    stop();
    std::lock_guard<std::recursive_mutex> hold(tap_->lock);
    tap_->block = nullptr;
  }

  AudioFormat inputFormat() override {
    std::lock_guard<std::mutex> hold(controlLock_);
    input_ = askForInput();
    if (input_->error) return kUnreachableInputFormat;
    return input_->spec.format;
  }

  void removeTap() override {
    std::lock_guard<std::recursive_mutex> hold(tap_->lock);
    tap_->block = nullptr;
    tap_->pending.reset();
  }

  // The format decides what the next start() opens; a stream already running keeps its own, and
  // its buffers say so.
  void installTap(uint32_t bufferSize, const AudioFormat& format, TapBlock block) override {
    std::lock_guard<std::recursive_mutex> hold(tap_->lock);
    tap_->block = std::move(block);
    tap_->frames = bufferSize > 0 ? bufferSize : kDefaultTapFrames;
    tap_->format = format;
    tap_->pending.reset();
  }

  void setStoppedHandler(StoppedHandler handler) override {
    std::lock_guard<std::recursive_mutex> hold(tap_->lock);
    tap_->onStopped = std::move(handler);
  }

  void prepare() override {}

  std::optional<AudioError> start() override {
    std::lock_guard<std::mutex> hold(controlLock_);
    if (stream_) return std::nullopt;
    // A start goes on with what the inputFormat() before it learnt, within that answer's
    // deadline: against a server that accepts and never answers, one connection and one wait,
    // not one for the format and another for the start. A failure is reported as it was found;
    // an answer whose time is up (a start long after the question) is asked for again.
    std::optional<InputAnswer> answer = std::exchange(input_, std::nullopt);
    if (!answer || (!answer->error && !stillUsable(*answer))) answer = askForInput();
    if (answer->error) return answer->error;
    const DeviceSpec& input = answer->spec;

    AudioFormat format = input.format;
    uint32_t frames = kDefaultTapFrames;
    {
      // The tap's format is what the stream is opened in; the server converts if it differs from
      // the device's, which it does not when the tap was installed with inputFormat().
      std::lock_guard<std::recursive_mutex> tapHold(tap_->lock);
      if (tap_->format) format = *tap_->format;
      frames = tap_->frames;
      tap_->streamFormat = format;
      tap_->pending.reset();
      tap_->streamClosed = false;
    }
    Client::RecordStream request;
    request.name = kStreamName;
    request.device = answer->source.c_str();
    request.format = format;
    request.channelMap = &input.channelMap;
    request.fragmentFrames = frames;
    request.onRead = &PulseAudioEngine::onRead;
    request.onState = &PulseAudioEngine::onState;
    request.userdata = tap_.get();
    client_->setDeadline(answer->deadline);
    auto error = client_->openRecord(request, stream_);
    client_->setDeadline(0);
    return error;
  }

  bool isRunning() override {
    std::lock_guard<std::mutex> hold(controlLock_);
    return stream_ != nullptr;
  }

  void stop() override {
    std::unique_lock<std::mutex> hold(controlLock_, std::defer_lock);
    if (!EventThreadScope::active()) {
      hold.lock();
    } else if (!hold.try_lock()) {
      // Called from inside the tap while another thread starts or stops the engine and waits
      // for the event thread: waiting for it in turn would deadlock. Ending the deliveries is
      // enough here; the other thread's call or the engine's end releases the stream.
      std::lock_guard<std::recursive_mutex> tapHold(tap_->lock);
      tap_->streamClosed = true;
      return;
    }
    Client::dispose(std::move(client_), std::move(stream_));
    std::lock_guard<std::recursive_mutex> tapHold(tap_->lock);
    tap_->pending.reset();
    tap_->streamClosed = true;
  }

 private:
  // What inputFormat() learnt, for the start() that follows it.
  struct InputAnswer {
    std::optional<AudioError> error;
    std::string source;  // the default source's name
    DeviceSpec spec;
    pa_usec_t deadline = 0;  // the end of the start this answer belongs to
  };

  // Under controlLock_: connects if needed (again, if the server went away since), then asks for
  // the default source and its format, all within one reply timeout from now.
  InputAnswer askForInput() {
    InputAnswer answer;
    answer.deadline = deadlineAfter(options_.replyTimeout);
    answer.error = queryInput(answer);
    // The deadline belongs to this start alone; a later question gets a limit of its own.
    if (client_) client_->setDeadline(0);
    return answer;
  }

  bool stillUsable(const InputAnswer& answer) {
    if (!client_ || pa_rtclock_now() >= answer.deadline) return false;
    LoopLock hold(client_->mainloop());
    return client_->isReady();
  }

  std::optional<AudioError> queryInput(InputAnswer& answer) {
    if (client_ && !stream_) {
      bool ready = false;
      {
        LoopLock hold(client_->mainloop());
        ready = client_->isReady();
      }
      if (!ready) Client::dispose(std::move(client_), nullptr);
    }
    if (client_) {
      client_->setDeadline(answer.deadline);
    } else {
      std::optional<AudioError> error;
      client_ = Client::connect(kAppName, options_, error, answer.deadline);
      if (!client_) return error;
    }
    std::string sink;
    std::string source;
    if (auto error = client_->defaultDevices(sink, source)) return error;
    if (source.empty()) return errorFromCode(PA_ERR_NOENTITY);
    bool found = false;
    if (auto error = client_->sourceSpec(source, answer.spec, found)) return error;
    if (!found) return errorFromCode(PA_ERR_NOENTITY);
    answer.source = source;
    return std::nullopt;
  }

  // On the event thread, under the loop lock.
  static void onRead(pa_stream* stream, size_t, void* userdata) {
    EventThreadScope onEventThread;
    auto state = static_cast<TapState*>(userdata)->shared_from_this();
    std::lock_guard<std::recursive_mutex> hold(state->lock);
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      // A hole (no data) is audio the server lost; we pass on only what was captured. Once the
      // engine is gone, so is the stream: touch nothing more.
      if (data != nullptr && !state->deliver(static_cast<const std::byte*>(data), bytes)) return;
      pa_stream_drop(stream);
    }
  }

  // On the event thread, under the loop lock. A stream fails once: the server died, or its
  // source went away (it is not moved elsewhere); a stream we close ourselves never fails.
  static void onState(pa_stream* stream, void* userdata) {
    EventThreadScope onEventThread;
    if (pa_stream_get_state(stream) != PA_STREAM_FAILED) return;
    auto state = static_cast<TapState*>(userdata)->shared_from_this();
    StoppedHandler handler;
    {
      std::lock_guard<std::recursive_mutex> hold(state->lock);
      if (state->streamClosed) return;
      handler = state->onStopped;
    }
    if (!handler) return;
    try {
      handler(contextError(pa_stream_get_context(stream)));
    } catch (...) {
      // Nothing may unwind into libpulse's event thread.
    }
  }

  const Options options_;
  // Serialises start, stop and the format query, which come from the session's thread.
  std::mutex controlLock_;
  std::unique_ptr<Client> client_;
  StreamPtr stream_;
  std::optional<InputAnswer> input_;
  const std::shared_ptr<TapState> tap_ = std::make_shared<TapState>();
};

}  // namespace

std::shared_ptr<AudioEngine> makePulseAudioEngine(const Options& options) {
  return std::make_shared<PulseAudioEngine>(options);
}

}  // namespace kavri::audio::pulse
