// The microphone on PulseAudio: a record stream on the default source, in the source's own
// format, cut into buffers of the tap's size on the connection's event thread.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "audio/audio_engine.h"
#include "audio/pulse_client_pulse.h"

namespace kavri::audio {
namespace pulse {
namespace {

constexpr char kAppName[] = "kavri-transcribe";
constexpr char kStreamName[] = "microphone";
constexpr uint32_t kDefaultTapFrames = 1024;
// Reported only while the server cannot be asked; a start then fails with the server's error, so
// no buffer is ever delivered in this format.
constexpr AudioFormat kUnreachableInputFormat{SampleFormat::s16, 48000.0, 1};

class PulseAudioEngine final : public AudioEngine {
 public:
  explicit PulseAudioEngine(Options options) : options_(std::move(options)) {}
  ~PulseAudioEngine() override { stop(); }

  AudioFormat inputFormat() override {
    std::lock_guard<std::mutex> hold(controlLock_);
    DeviceSpec spec;
    if (queryInput(spec)) return kUnreachableInputFormat;
    return spec.format;
  }

  void removeTap() override {
    std::lock_guard<std::recursive_mutex> hold(tapLock_);
    tap_ = nullptr;
    pending_.reset();
  }

  // The format decides what the next start() opens; a stream already running keeps its own, and
  // its buffers say so.
  void installTap(uint32_t bufferSize, const AudioFormat& format, TapBlock block) override {
    std::lock_guard<std::recursive_mutex> hold(tapLock_);
    tap_ = std::move(block);
    tapFrames_ = bufferSize > 0 ? bufferSize : kDefaultTapFrames;
    tapFormat_ = format;
    pending_.reset();
  }

  void prepare() override {}

  std::optional<AudioError> start() override {
    std::lock_guard<std::mutex> hold(controlLock_);
    if (stream_) return std::nullopt;
    DeviceSpec input;
    if (auto error = queryInput(input)) return error;

    AudioFormat format = input.format;
    uint32_t frames = kDefaultTapFrames;
    {
      // The tap's format is what the stream is opened in; the server converts if it differs from
      // the device's, which it does not when the tap was installed with inputFormat().
      std::lock_guard<std::recursive_mutex> tapHold(tapLock_);
      if (tapFormat_) format = *tapFormat_;
      frames = tapFrames_;
      streamFormat_ = format;
      pending_.reset();
    }
    Client::RecordStream request;
    request.name = kStreamName;
    request.device = inputName_.c_str();
    request.spec.format = paFormatFor(format.sampleFormat);
    request.spec.rate = format.sampleRate > 0 && format.sampleRate <= PA_RATE_MAX
                            ? static_cast<uint32_t>(format.sampleRate)
                            : 0;
    request.spec.channels =
        format.channels <= PA_CHANNELS_MAX ? static_cast<uint8_t>(format.channels) : 0;
    request.channelMap = &input.channelMap;
    request.fragmentBytes = frames * static_cast<uint32_t>(format.bytesPerFrame());
    request.onRead = &PulseAudioEngine::onRead;
    request.userdata = this;
    return client_->openRecord(request, stream_);
  }

  bool isRunning() override {
    std::lock_guard<std::mutex> hold(controlLock_);
    return stream_ != nullptr;
  }

  void stop() override {
    std::lock_guard<std::mutex> hold(controlLock_);
    if (client_) {
      client_->closeStream(stream_);
      client_.reset();
    }
    std::lock_guard<std::recursive_mutex> tapHold(tapLock_);
    pending_.reset();
  }

 private:
  // Under controlLock_: connects if needed (again, if the server went away since), then asks for
  // the default source and its format.
  std::optional<AudioError> queryInput(DeviceSpec& spec) {
    if (client_ && !stream_) {
      bool ready = false;
      {
        LoopLock hold(client_->mainloop());
        ready = client_->isReady();
      }
      if (!ready) client_.reset();
    }
    if (!client_) {
      std::optional<AudioError> error;
      client_ = Client::connect(kAppName, options_, error);
      if (!client_) return error;
    }
    std::string sink;
    std::string source;
    if (auto error = client_->defaultDevices(sink, source)) return error;
    if (source.empty()) return errorFromCode(PA_ERR_NOENTITY);
    bool found = false;
    if (auto error = client_->sourceSpec(source, spec, found)) return error;
    if (!found) return errorFromCode(PA_ERR_NOENTITY);
    inputName_ = source;
    return std::nullopt;
  }

  // On the event thread, under the loop lock.
  static void onRead(pa_stream* stream, size_t, void* userdata) {
    auto* self = static_cast<PulseAudioEngine*>(userdata);
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      // A hole (no data) is audio the server lost; we pass on only what was captured.
      if (data != nullptr) self->deliver(static_cast<const std::byte*>(data), bytes);
      pa_stream_drop(stream);
    }
  }

  void deliver(const std::byte* data, size_t bytes) {
    std::lock_guard<std::recursive_mutex> hold(tapLock_);
    while (bytes > 0 && tap_) {
      size_t capacity = static_cast<size_t>(tapFrames_) * streamFormat_.bytesPerFrame();
      if (!pending_ || pending_->frameCapacity() != tapFrames_) {
        pending_ = std::make_shared<PcmBuffer>(streamFormat_, tapFrames_);
        pendingBytes_ = 0;
      }
      size_t take = std::min(bytes, capacity - pendingBytes_);
      std::memcpy(pending_->data() + pendingBytes_, data, take);
      pendingBytes_ += take;
      data += take;
      bytes -= take;
      if (pendingBytes_ < capacity) continue;

      pending_->setFrameLength(tapFrames_);
      PcmBufferPtr full = std::move(pending_);
      pending_.reset();
      // A copy, so that a block which removes or replaces the tap does not destroy itself
      // while it runs.
      TapBlock block = tap_;
      try {
        block(std::move(full));
      } catch (...) {
        // Nothing may unwind into libpulse's event thread; the buffer is lost, capture goes on.
      }
    }
  }

  const Options options_;
  // Serialises start, stop and the format query, which come from the session's thread.
  std::mutex controlLock_;
  std::unique_ptr<Client> client_;
  StreamPtr stream_;
  std::string inputName_;

  // Held while the block runs, so that removeTap() returns only once no call is under way.
  // Recursive so that a block may remove its own tap.
  std::recursive_mutex tapLock_;
  TapBlock tap_;
  uint32_t tapFrames_ = kDefaultTapFrames;
  std::optional<AudioFormat> tapFormat_;
  AudioFormat streamFormat_;
  std::shared_ptr<PcmBuffer> pending_;
  size_t pendingBytes_ = 0;
};

}  // namespace

std::shared_ptr<AudioEngine> makePulseAudioEngine(const Options& options) {
  return std::make_shared<PulseAudioEngine>(options);
}

}  // namespace pulse

std::shared_ptr<AudioEngine> makePlatformAudioEngine() {
  return pulse::makePulseAudioEngine(pulse::Options{});
}

}  // namespace kavri::audio
