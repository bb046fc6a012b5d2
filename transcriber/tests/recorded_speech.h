// Real recorded speech with known transcripts (Debian's pocketsphinx-testdata), and a microphone
// engine that plays it into a tap, for end-to-end tests and benchmarks of live recognition.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "audio/audio_engine.h"

namespace kavri::testing {

inline constexpr char kLibrivoxDir[] = "/usr/share/pocketsphinx/test/data/librivox";

struct SpeechClip {
  std::string name;
  std::vector<int16_t> samples;    // 16 kHz mono
  std::vector<std::string> words;  // the reference transcript, lower case
};

// The samples of a 16-bit mono PCM WAV file; empty when it is anything else.
inline std::vector<int16_t> readWav16Mono(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
    return {};
  }
  auto u32 = [&](size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  auto u16 = [&](size_t at) {
    uint16_t v = 0;
    std::memcpy(&v, bytes.data() + at, 2);
    return v;
  };
  bool formatOk = false;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    uint32_t size = u32(at + 4);
    size_t body = at + 8;
    if (body + size > bytes.size()) size = static_cast<uint32_t>(bytes.size() - body);
    if (bytes.compare(at, 4, "fmt ") == 0 && size >= 16) {
      formatOk =
          u16(body) == 1 && u16(body + 2) == 1 && u32(body + 4) == 16000 && u16(body + 14) == 16;
    } else if (bytes.compare(at, 4, "data") == 0 && formatOk) {
      std::vector<int16_t> samples(size / 2);
      std::memcpy(samples.data(), bytes.data() + body, samples.size() * 2);
      return samples;
    }
    at = body + size + (size & 1);
  }
  return {};
}

// The five recordings in the order of their transcript file; empty when not installed.
inline std::vector<SpeechClip> librivoxClips() {
  std::vector<SpeechClip> clips;
  std::ifstream transcript(std::string(kLibrivoxDir) + "/transcription");
  std::string line;
  while (std::getline(transcript, line)) {
    auto open = line.rfind('(');
    auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    SpeechClip clip;
    clip.name = line.substr(open + 1, close - open - 1);
    std::istringstream words(line.substr(0, open));
    std::string word;
    while (words >> word) {
      if (word != "<s>" && word != "</s>") clip.words.push_back(word);
    }
    clip.samples = readWav16Mono(std::string(kLibrivoxDir) + "/" + clip.name + ".wav");
    if (clip.samples.empty()) return {};
    clips.push_back(std::move(clip));
  }
  return clips;
}

// Lower-case words of a text, without punctuation.
inline std::vector<std::string> wordsOf(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text + " ") {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '\'') {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  return words;
}

// Length of the longest common subsequence of two word lists: how many words of one appear in
// the other in the same order.
inline size_t wordsInOrder(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<size_t> row(b.size() + 1, 0), previous(b.size() + 1, 0);
  for (const auto& wordA : a) {
    for (size_t j = 0; j < b.size(); ++j) {
      row[j + 1] = wordA == b[j] ? previous[j] + 1 : std::max(previous[j + 1], row[j]);
    }
    std::swap(row, previous);
  }
  return previous[b.size()];
}

// A microphone whose "device" is whatever the test plays into it: 16 kHz mono, 16-bit.
class PlaybackEngine : public audio::AudioEngine {
 public:
  static constexpr uint32_t kFrames = 1024;

  audio::AudioFormat inputFormat() override { return {audio::SampleFormat::s16, 16000.0, 1}; }
  void removeTap() override {
    std::lock_guard<std::mutex> hold(lock_);
    tap_ = nullptr;
  }
  void installTap(uint32_t, const audio::AudioFormat&, audio::TapBlock block) override {
    std::lock_guard<std::mutex> hold(lock_);
    tap_ = std::move(block);
  }
  void prepare() override {}
  std::optional<audio::AudioError> start() override { return std::nullopt; }
  bool isRunning() override { return true; }
  void stop() override { removeTap(); }

  // Plays the samples as buffers of kFrames frames, calling onBuffer after each (for pacing).
  template <typename F>
  void play(const std::vector<int16_t>& samples, F&& onBuffer) {
    for (size_t at = 0; at < samples.size(); at += kFrames) {
      auto frames = static_cast<uint32_t>(std::min<size_t>(kFrames, samples.size() - at));
      auto buffer = std::make_shared<audio::PcmBuffer>(inputFormat(), frames);
      std::memcpy(buffer->data(), samples.data() + at, frames * sizeof(int16_t));
      buffer->setFrameLength(frames);
      audio::TapBlock tap;
      {
        std::lock_guard<std::mutex> hold(lock_);
        tap = tap_;
      }
      if (tap) tap(buffer);
      onBuffer(frames);
    }
  }
  void play(const std::vector<int16_t>& samples) {
    play(samples, [](uint32_t) {});
  }

 private:
  std::mutex lock_;
  audio::TapBlock tap_;
};

}  // namespace kavri::testing
