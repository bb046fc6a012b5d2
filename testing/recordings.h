// Real speech with known transcripts: the speech engine's own test recordings (Debian's
// pocketsphinx-testdata), read through libsndfile, and sox to turn them into other formats.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavri::testing {

inline constexpr char kRecordingsDir[] = "/usr/share/pocketsphinx/test/data";
// "go forward ten meters": 16 kHz, 16-bit, mono, without a header.
inline constexpr char kGoForwardRaw[] = "goforward.raw";

// The path of a recording in that folder, such as recording("librivox/....wav").
std::string recording(const std::string& name);
// sox's description of the headerless go-forward recording, as the input of a conversion.
std::vector<std::string> goForwardInput();
// Converts audio with sox (arguments as sox takes them); true when sox succeeded.
bool sox(const std::vector<std::string>& arguments);

// The samples of a 16 kHz mono recording; empty when the file is missing or anything else.
std::vector<int16_t> readSpeech(const std::string& path);

struct SpeechClip {
  std::string name;
  std::string path;
  std::vector<int16_t> samples;    // 16 kHz mono
  std::vector<std::string> words;  // the reference transcript, lower case
};

// The five LibriVox recordings in the order of their transcript file; empty when not installed.
std::vector<SpeechClip> librivoxClips();

}  // namespace kavri::testing
