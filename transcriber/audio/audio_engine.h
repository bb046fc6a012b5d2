// The microphone's audio engine: the default input device, one tap on its input, start and stop.
#pragma once

#include "audio/pcm_buffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kavri::audio {

struct AudioError {
  std::string domain;
  int64_t code = 0;
  std::string description;  // what the user would read; reported in events as it is
};

using TapBlock = std::function<void(PcmBufferPtr buffer)>;
using StoppedHandler = std::function<void(const AudioError& error)>;

class AudioEngine {
 public:
  virtual ~AudioEngine() = default;
  // The input device's own format; taps receive buffers in exactly this format.
  virtual AudioFormat inputFormat() = 0;
  // Removes the tap if there is one; a no-op otherwise.
  virtual void removeTap() = 0;
  // The block is called for every captured buffer of about bufferSize frames, on a thread of the
  // engine's, until the tap is removed or the engine stopped.
  virtual void installTap(uint32_t bufferSize, const AudioFormat& format, TapBlock block) = 0;
  // Called on a thread of the engine's when the running engine stops by itself with an error
  // (the audio server went away, the input device was removed); the tap then receives nothing
  // more. Never called for a stop() of ours. Set before start().
  virtual void setStoppedHandler(StoppedHandler handler) = 0;
  virtual void prepare() = 0;
  // Starts capture into the tap. The inputFormat() right before it is part of the same start: the
  // device is not looked up twice, and the two together end, in failure if need be, within one
  // limit of the platform's.
  virtual std::optional<AudioError> start() = 0;
  virtual bool isRunning() = 0;
  virtual void stop() = 0;
};

// The engine of the platform the transcriber was built for, on the default input device.
std::shared_ptr<AudioEngine> makePlatformAudioEngine();

}  // namespace kavri::audio
