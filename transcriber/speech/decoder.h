// The speech engine as the recognition worker drives it: a stream of 16 kHz samples cut into
// utterances, and the words heard in each. The engine's backend lives beside this file; tests
// script their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavri::speech {

// A word as the engine printed it, and where it was heard.
struct EngineWord {
  std::string word;
  double timestamp = 0.0;  // seconds from the start of the stream
  double duration = 0.0;   // seconds
};

class Decoder {
 public:
  virtual ~Decoder() = default;

  // A new stream of audio: word times count from its first sample again.
  virtual bool beginStream() = 0;
  virtual bool beginUtterance() = 0;

  // What the engine's voice activity detection hears at the end of the samples just fed.
  enum class Fed { silence, speech, refused };
  virtual Fed feed(const int16_t* samples, size_t count) = 0;

  // The words of the open utterance so far, or of the one just ended.
  virtual std::vector<EngineWord> words() const = 0;
  virtual bool endUtterance() = 0;

  // The engine learns the recording channel from everything it hears and keeps it across
  // utterances and streams; this takes it back to the model's own estimate.
  virtual void forgetChannel() = 0;
};

}  // namespace kavri::speech
