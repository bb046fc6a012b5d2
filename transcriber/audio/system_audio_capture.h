// Capture of what the computer plays: what can be captured, and one capture stream of it.
#pragma once

#include "audio/audio_engine.h"
#include "audio/pcm_buffer.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kavri::audio {

// Something whose output can be captured (on Linux: the monitor of the default output device).
struct CaptureTarget {
  std::string name;
};

struct ShareableContent {
  std::vector<CaptureTarget> targets;
};

struct StreamConfiguration {
  double sampleRate = 16000.0;
  uint32_t channels = 1;
  bool excludesCurrentProcessAudio = true;
};

// One delivery of the capture stream, valid only during the callback.
struct SampleBuffer {
  bool isAudio = true;
  std::optional<AudioFormat> format;  // none when the stream gave no usable format
  int64_t numSamples = 0;             // frames
  std::span<const std::byte> data;    // the audio bytes as delivered
};

struct StreamCallbacks {
  // On the stream's own serial capture thread, one buffer at a time.
  std::function<void(const SampleBuffer&)> onSampleBuffer;
  // On any thread, when the stream stops with an error while capturing (the server died, the
  // device went away).
  std::function<void(const AudioError&)> onStoppedWithError;
};

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Stops capture and waits for it to end; no callback runs once it has returned.
  virtual std::optional<AudioError> stopCapture() = 0;
};

struct StartedStream {
  std::unique_ptr<CaptureStream> stream;  // set on success
  std::optional<AudioError> error;        // set on failure
};

class SystemAudioCapture {
 public:
  virtual ~SystemAudioCapture() = default;
  // Blocks until the service answers; an error when it cannot be asked.
  virtual std::optional<AudioError> shareableContent(ShareableContent& content) = 0;
  // Blocks until capture has started or failed.
  virtual StartedStream startCapture(const CaptureTarget& target, const StreamConfiguration& config,
                                     StreamCallbacks callbacks) = 0;
};

std::shared_ptr<SystemAudioCapture> makePlatformSystemAudioCapture();

}  // namespace kavri::audio
