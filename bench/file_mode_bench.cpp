// Speed of recognition, printed as figures:
//  - real-time factor of `kavri-transcribe --file` against the engine's own command-line decoder
//    (`pocketsphinx_continuous -infile`) on the same 16 kHz WAV files, and their ratio;
//  - real-time factor of buffer-fed recognition of 44.1 kHz stereo float capture buffers inside
//    the process (resampling, decoding and partial results);
//  - time from the start of the process to its "--probe" line.
// Figures are wall-clock times over several runs; run it on a quiet machine.
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "process_usage.h"
#include "speech/speech_service_pocketsphinx.h"
#include "testing/files.h"
#include "testing/process.h"
#include "testing/recordings.h"

using namespace kavri;
using kavri::bench::median;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 5;
constexpr int kProbeRuns = 20;

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double fastest(std::vector<double> values) {
  return *std::min_element(values.begin(), values.end());
}

double audioSeconds(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return 0.0;
  sf_close(file);
  return static_cast<double>(info.frames) / info.samplerate;
}

// Wall time of one run of the program on one file, in seconds.
double timeOneFile(std::vector<std::string> argv, const std::string& file) {
  argv.push_back(file);
  auto start = Clock::now();
  auto run = testing::runProcess(argv, {.timeout = std::chrono::seconds(600)});
  double elapsed = seconds(Clock::now() - start);
  if (run.exitStatus != 0) {
    std::fprintf(stderr, "%s failed on %s\n", argv[0].c_str(), file.c_str());
    std::exit(1);
  }
  return elapsed;
}

double streamingSeconds(speech::SpeechService& service, const std::string& rawFloat) {
  std::ifstream in(rawFloat, std::ios::binary);
  const audio::AudioFormat format{audio::SampleFormat::float32, 44100.0, 2};
  auto request = std::make_shared<speech::AudioBufferRecognitionRequest>();
  request->shouldReportPartialResults = true;
  request->addsPunctuation = true;
  for (;;) {
    auto buffer = std::make_shared<audio::PcmBuffer>(format, 1024);
    in.read(reinterpret_cast<char*>(buffer->data()),
            static_cast<std::streamsize>(buffer->byteCapacity()));
    auto frames = static_cast<uint32_t>(in.gcount() / 8);
    if (frames == 0) break;
    buffer->setFrameLength(frames);
    request->append(buffer);
  }
  request->endAudio();
  auto recognizer = service.makeRecognizer("en-US");
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  auto start = Clock::now();
  recognizer->recognitionTask(request, [&](const std::optional<speech::Result>& result,
                                           const std::optional<speech::Error>& error) {
    if (error || (result && result->isFinal)) {
      std::lock_guard<std::mutex> hold(lock);
      finished = true;
      done.notify_all();
    }
  });
  std::unique_lock<std::mutex> hold(lock);
  done.wait(hold, [&] { return finished; });
  return seconds(Clock::now() - start);
}

}  // namespace

int main() {
  testing::TempDir dir;
  auto input = testing::goForwardInput();
  input.push_back(dir / "goforward.wav");
  if (!testing::sox(input)) return 1;

  std::vector<std::string> files{dir / "goforward.wav"};
  for (const auto& entry : std::filesystem::directory_iterator(testing::recording("librivox"))) {
    if (entry.path().extension() == ".wav") files.push_back(entry.path().string());
  }
  std::sort(files.begin() + 1, files.end());
  double audio = 0.0;
  for (const auto& file : files) audio += audioSeconds(file);

  // The two programs take turns file by file, so that a machine busy with other work slows both
  // alike; the fastest of the runs is the least disturbed one.
  std::vector<double> ours(kRuns, 0.0), stock(kRuns, 0.0);
  for (int run = 0; run < kRuns; ++run) {
    for (const auto& file : files) {
      ours[run] += timeOneFile({KAVRI_TRANSCRIBE_PATH, "--file"}, file);
      stock[run] += timeOneFile({"pocketsphinx_continuous", "-infile"}, file);
    }
  }
  std::printf(
      "file recognition over %zu files, %.2f s of audio (%d runs, process start and "
      "model load included)\n",
      files.size(), audio, kRuns);
  for (auto [name, pick] : {std::pair{"median", &median<double>}, std::pair{"fastest", &fastest}}) {
    double oursRtf = pick(ours) / audio;
    double stockRtf = pick(stock) / audio;
    std::printf(
        "  %-8s kavri-transcribe --file %.3f, pocketsphinx_continuous -infile %.3f "
        "(real-time factors), ratio %.2f\n",
        name, oursRtf, stockRtf, oursRtf / stockRtf);
  }

  // Two utterances with a pause, as a capture tap would deliver them.
  if (!testing::sox(
          {"-n", "-r", "16000", "-c", "1", "-b", "16", dir / "silence.wav", "trim", "0", "2"}) ||
      !testing::sox({dir / "goforward.wav", dir / "silence.wav", dir / "goforward.wav", "-r",
                     "44100", "-c", "2", "-e", "floating-point", "-b", "32", "-t", "raw",
                     dir / "twice.f32"})) {
    return 1;
  }
  double streamAudio = 2 * audioSeconds(dir / "goforward.wav") + 2.0;
  auto service = speech::makePocketSphinxSpeechService();
  service->prepareRecognizers("en-US", 1);
  streamingSeconds(*service, dir / "twice.f32");  // loads the decoder
  std::vector<double> streaming;
  for (int run = 0; run < kRuns; ++run)
    streaming.push_back(streamingSeconds(*service, dir / "twice.f32"));
  std::printf(
      "buffer-fed recognition of 1024-frame 44.1 kHz stereo float buffers, %.2f s of audio\n",
      streamAudio);
  std::printf("  real-time factor %.3f (decoder loaded, partial results on)\n",
              median(streaming) / streamAudio);

  std::vector<double> probe;
  for (int run = 0; run < kProbeRuns; ++run) {
    auto start = Clock::now();
    auto result = testing::runProcess({KAVRI_TRANSCRIBE_PATH, "--probe"});
    if (result.out.empty()) return 1;
    probe.push_back(seconds(Clock::now() - start));
  }
  std::printf("process start to the --probe line: median %.1f ms over %d runs\n",
              median(probe) * 1000.0, kProbeRuns);
  return 0;
}
