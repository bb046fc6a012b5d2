#include "testing/recordings.h"

#include <sndfile.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "testing/process.h"

namespace kavri::testing {
namespace {

constexpr int kSpeechRate = 16000;
constexpr auto kSoxTimeout = std::chrono::milliseconds(60'000);

struct CloseSoundFile {
  void operator()(SNDFILE* file) const { sf_close(file); }
};

}  // namespace

std::string recording(const std::string& name) {
  return std::string(kRecordingsDir) + "/" + name;
}

std::vector<std::string> goForwardInput() {
  return {"-t",
          "raw",
          "-r",
          "16000",
          "-b",
          "16",
          "-e",
          "signed-integer",
          "-c",
          "1",
          recording(kGoForwardRaw)};
}

bool sox(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"sox"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProcess(argv, {.timeout = kSoxTimeout}).exitStatus == 0;
}

std::vector<int16_t> readSpeech(const std::string& path) {
  SF_INFO info{};
  std::unique_ptr<SNDFILE, CloseSoundFile> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file || info.samplerate != kSpeechRate || info.channels != 1) return {};
  std::vector<int16_t> samples(static_cast<size_t>(info.frames));
  samples.resize(static_cast<size_t>(sf_readf_short(file.get(), samples.data(), info.frames)));
  return samples;
}

std::vector<SpeechClip> librivoxClips() {
  std::vector<SpeechClip> clips;
  std::ifstream transcript(recording("librivox/transcription"));
  std::string line;
  while (std::getline(transcript, line)) {
    auto open = line.rfind('(');
    auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    SpeechClip clip;
    clip.name = line.substr(open + 1, close - open - 1);
    clip.path = recording("librivox/" + clip.name + ".wav");
    std::istringstream words(line.substr(0, open));
    for (std::string word; words >> word;) {
      if (word != "<s>" && word != "</s>") clip.words.push_back(word);
    }
    clip.samples = readSpeech(clip.path);
    if (clip.samples.empty()) return {};
    clips.push_back(std::move(clip));
  }
  return clips;
}

}  // namespace kavri::testing
