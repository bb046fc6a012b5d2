// What the computer plays, on PulseAudio: the monitor source of the default sink, recorded at the
// rate and channel count asked for (the server resamples), on a connection of its own whose event
// thread is the stream's serial capture thread.
#include <mutex>
#include <utility>

#include "audio/pulse_client_pulse.h"
#include "audio/system_audio_capture.h"

namespace kavri::audio::pulse {
namespace {

constexpr char kAppName[] = "kavri-transcribe";
constexpr char kStreamName[] = "system audio";
// About 64 ms at 16 kHz: short enough for live partial results, long enough to keep the server's
// wake-ups few.
constexpr uint32_t kChunkFrames = 1024;
constexpr SampleFormat kCaptureFormat = SampleFormat::s16;

// What the event thread shares with the stream object. It lives on its own, so that a stream
// destroyed inside one of its own callbacks leaves the event thread something valid to come back
// to.
struct StreamState : std::enable_shared_from_this<StreamState> {
  StreamState(StreamCallbacks callbacks, AudioFormat format)
      : callbacks(std::move(callbacks)), format(format) {}
  const StreamCallbacks callbacks;
  const AudioFormat format;
  // Event thread only, and stopCapture(), which runs either there or once the callbacks have
  // been cleared under the loop lock.
  bool reportedFailure = false;
  bool streamGone = false;
};

class PulseCaptureStream final : public CaptureStream {
 public:
  PulseCaptureStream(std::unique_ptr<Client> client, StreamCallbacks callbacks, AudioFormat format)
      : client_(std::move(client)),
        state_(std::make_shared<StreamState>(std::move(callbacks), format)) {}
  ~PulseCaptureStream() override { stopCapture(); }

  std::optional<AudioError> open(const std::string& device) {
    Client::RecordStream request;
    request.name = kStreamName;
    request.device = device.c_str();
    request.format = state_->format;
    request.fragmentFrames = kChunkFrames;
    request.onRead = &PulseCaptureStream::onRead;
    request.onState = &PulseCaptureStream::onState;
    request.userdata = state_.get();
    return client_->openRecord(request, stream_);
  }

  std::optional<AudioError> stopCapture() override {
    std::lock_guard<std::mutex> hold(stopLock_);
    Client::dispose(std::move(client_), std::move(stream_));
    // No callback runs any more, or this is one of them and must not go on with the stream.
    state_->streamGone = true;
    return std::nullopt;
  }

 private:
  // On the event thread, under the loop lock.
  static void onRead(pa_stream* stream, size_t, void* userdata) {
    EventThreadScope onEventThread;
    auto state = static_cast<StreamState*>(userdata)->shared_from_this();
    size_t frameBytes = state->format.bytesPerFrame();
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      if (data != nullptr && bytes >= frameBytes && state->callbacks.onSampleBuffer) {
        SampleBuffer buffer;
        buffer.isAudio = true;
        buffer.format = state->format;
        buffer.numSamples = static_cast<int64_t>(bytes / frameBytes);
        buffer.data = std::span<const std::byte>(static_cast<const std::byte*>(data),
                                                 buffer.numSamples * frameBytes);
        try {
          state->callbacks.onSampleBuffer(buffer);
        } catch (...) {
          // Nothing may unwind into libpulse's event thread; this chunk is lost.
        }
        // Stopped or destroyed from inside the callback: the stream is no longer ours to touch.
        if (state->streamGone) return;
      }
      pa_stream_drop(stream);
    }
  }

  static void onState(pa_stream* stream, void* userdata) {
    EventThreadScope onEventThread;
    auto state = static_cast<StreamState*>(userdata)->shared_from_this();
    if (pa_stream_get_state(stream) != PA_STREAM_FAILED || state->reportedFailure) return;
    // A stream fails once (the server died, or the sink and its monitor went away), and we stop
    // listening before we disconnect ourselves, so this is reported exactly once.
    state->reportedFailure = true;
    if (!state->callbacks.onStoppedWithError) return;
    try {
      state->callbacks.onStoppedWithError(contextError(pa_stream_get_context(stream)));
    } catch (...) {
    }
  }

  std::mutex stopLock_;
  std::unique_ptr<Client> client_;
  StreamPtr stream_;
  const std::shared_ptr<StreamState> state_;
};

class PulseSystemAudioCapture final : public SystemAudioCapture {
 public:
  explicit PulseSystemAudioCapture(Options options) : options_(std::move(options)) {}

  std::optional<AudioError> shareableContent(ShareableContent& content) override {
    content.targets.clear();
    std::optional<AudioError> error;
    auto client = Client::connect(kAppName, options_, error);
    if (!client) return error;
    std::string sink;
    std::string source;
    if (auto failure = client->defaultDevices(sink, source)) return failure;
    // A server without an output is an answer, not a failure: there is just nothing to capture.
    if (sink.empty()) return std::nullopt;
    std::string monitor;
    bool found = false;
    if (auto failure = client->sinkMonitor(sink, monitor, found)) return failure;
    if (found) content.targets.push_back(CaptureTarget{monitor});
    return std::nullopt;
  }

  StartedStream startCapture(const CaptureTarget& target, const StreamConfiguration& config,
                             StreamCallbacks callbacks) override {
    StartedStream started;
    auto client = Client::connect(kAppName, options_, started.error);
    if (!client) return started;
    AudioFormat format{kCaptureFormat, config.sampleRate, config.channels};
    auto stream =
        std::make_unique<PulseCaptureStream>(std::move(client), std::move(callbacks), format);
    started.error = stream->open(target.name);
    if (!started.error) started.stream = std::move(stream);
    return started;
  }

 private:
  const Options options_;
};

}  // namespace

std::shared_ptr<SystemAudioCapture> makePulseSystemAudioCapture(const Options& options) {
  return std::make_shared<PulseSystemAudioCapture>(options);
}

}  // namespace kavri::audio::pulse
