// Brings PCM audio in any of the capture formats down to one channel of floats, which is what
// the resampler in front of the engine takes.
#pragma once

#include <vector>

#include "audio/pcm_buffer.h"

namespace kavri::speech {

// Appends the buffer's frames to `out`, each the mean of its channels, scaled to [-1, 1].
void appendMonoSamples(const audio::PcmBuffer& buffer, std::vector<float>& out);

// Mean of `channels` interleaved float samples per frame.
void appendMonoSamples(const float* interleaved, size_t frames, uint32_t channels,
                       std::vector<float>& out);

// Rounds and clips a [-1, 1] float to a 16-bit sample.
int16_t toSample16(float value);

}  // namespace kavri::speech
