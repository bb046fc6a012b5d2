// The engine's pure pieces: dictation formatting, mixing to mono, resampling as a stream.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "speech/dictation_format.h"
#include "speech/mono_mix.h"
#include "speech/resampler.h"

namespace kavri::speech {
namespace {

std::vector<EngineWord> words(std::initializer_list<const char*> spelled) {
  std::vector<EngineWord> out;
  double at = 0.0;
  for (const char* word : spelled) {
    out.push_back(EngineWord{word, at, 0.25});
    at += 0.25;
  }
  return out;
}

TEST(DictationFormat, FillersAndPronunciationMarkersAreNotWords) {
  EXPECT_EQ(spokenWord("was(2)"), "was");
  EXPECT_EQ(spokenWord("to(3)"), "to");
  EXPECT_EQ(spokenWord("i'm"), "i'm");
  for (const char* filler : {"<s>", "</s>", "<sil>", "[NOISE]", "[SPEECH]", "++BREATH++", ""}) {
    EXPECT_EQ(spokenWord(filler), std::nullopt) << filler;
  }
  // Only a number in brackets marks a pronunciation.
  EXPECT_EQ(spokenWord("word(a)"), "word(a)");
}

TEST(DictationFormat, EveryUtteranceIsASentence) {
  auto text = dictationTranscription(
      {words({"<s>", "go", "forward(2)", "<sil>", "ten", "meters", "</s>"}),
       words({"<s>", "[NOISE]", "</s>"}), words({"and", "i", "think", "i'm", "done"})},
      true);
  EXPECT_EQ(text.formattedString, "Go forward ten meters. And I think I'm done.");
  std::vector<std::string> segmentWords;
  for (const auto& segment : text.segments) segmentWords.push_back(segment.substring);
  EXPECT_EQ(segmentWords, (std::vector<std::string>{"Go", "forward", "ten", "meters", "And", "I",
                                                    "think", "I'm", "done"}));
  // Times are the engine's, fillers dropped around them.
  EXPECT_DOUBLE_EQ(text.segments[0].timestamp, 0.25);
  EXPECT_DOUBLE_EQ(text.segments[1].timestamp, 0.5);
  EXPECT_DOUBLE_EQ(text.segments[2].timestamp, 1.0);
  EXPECT_DOUBLE_EQ(text.segments[2].duration, 0.25);
}

TEST(DictationFormat, AnUtteranceStillBeingSpokenHasNoFullStopYet) {
  auto text = dictationTranscription({words({"go", "on"}), words({"i", "am"})}, true, true);
  EXPECT_EQ(text.formattedString, "Go on. I am");
  text = dictationTranscription({words({"go", "on"}), words({"<sil>"})}, true, true);
  EXPECT_EQ(text.formattedString, "Go on.");
}

TEST(DictationFormat, WithoutPunctuationOnlyTheFirstWordIsCapitalised) {
  auto text = dictationTranscription({words({"go", "on"}), words({"it", "is", "i"})}, false);
  EXPECT_EQ(text.formattedString, "Go on it is I");
}

TEST(DictationFormat, NothingSpokenIsAnEmptyTranscription) {
  auto text = dictationTranscription({words({"<s>", "<sil>", "</s>"}), {}}, true);
  EXPECT_EQ(text.formattedString, "");
  EXPECT_TRUE(text.segments.empty());
}

template <typename Sample>
audio::PcmBuffer bufferOf(audio::SampleFormat format, uint32_t channels,
                          std::vector<Sample> samples) {
  audio::AudioFormat audioFormat{format, 48000.0, channels};
  audio::PcmBuffer buffer(audioFormat, static_cast<uint32_t>(samples.size() * sizeof(Sample) /
                                                             audioFormat.bytesPerFrame()));
  std::memcpy(buffer.data(), samples.data(), samples.size() * sizeof(Sample));
  buffer.setFrameLength(buffer.frameCapacity());
  return buffer;
}

TEST(MonoMix, EveryFormatIsScaledAndChannelsAveraged) {
  std::vector<float> out;
  appendMonoSamples(bufferOf<int16_t>(audio::SampleFormat::s16, 2, {16384, -16384, 32767, 32767}),
                    out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_FLOAT_EQ(out[0], 0.0f);
  EXPECT_NEAR(out[1], 1.0f, 1e-4);

  out.clear();
  appendMonoSamples(bufferOf<uint8_t>(audio::SampleFormat::u8, 1, {128, 0, 255}), out);
  EXPECT_EQ(out, (std::vector<float>{0.0f, -1.0f, 127.0f / 128.0f}));

  out.clear();
  // -2 and +4194304 (half scale) as packed 24-bit little-endian samples.
  appendMonoSamples(
      bufferOf<uint8_t>(audio::SampleFormat::s24, 1, {0xFE, 0xFF, 0xFF, 0x00, 0x00, 0x40}), out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_FLOAT_EQ(out[0], -2.0f / 8388608.0f);
  EXPECT_FLOAT_EQ(out[1], 0.5f);

  out.clear();
  appendMonoSamples(bufferOf<int32_t>(audio::SampleFormat::s32, 1, {INT32_MIN, 1 << 30}), out);
  EXPECT_EQ(out, (std::vector<float>{-1.0f, 0.5f}));

  out.clear();
  appendMonoSamples(bufferOf<float>(audio::SampleFormat::float32, 3, {0.3f, 0.6f, 0.9f}), out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FLOAT_EQ(out[0], 0.6f);
}

TEST(MonoMix, OnlyTheFramesInUseAreRead) {
  audio::PcmBuffer buffer({audio::SampleFormat::s16, 16000.0, 1}, 8);
  buffer.setFrameLength(3);
  std::vector<float> out;
  appendMonoSamples(buffer, out);
  EXPECT_EQ(out.size(), 3u);
}

TEST(MonoMix, SamplesAreRoundedAndClipped) {
  EXPECT_EQ(toSample16(0.0f), 0);
  EXPECT_EQ(toSample16(0.5f), 16384);
  EXPECT_EQ(toSample16(-1.0f), -32768);
  EXPECT_EQ(toSample16(1.0f), 32767);
  EXPECT_EQ(toSample16(7.5f), 32767);
  EXPECT_EQ(toSample16(-7.5f), -32768);
  EXPECT_EQ(toSample16(NAN), 0);
}

std::vector<float> tone(double rate, double seconds) {
  std::vector<float> samples(static_cast<size_t>(rate * seconds));
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] =
        0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * static_cast<double>(i) / rate));
  }
  return samples;
}

std::vector<int16_t> resampleInPieces(const std::vector<float>& in, double rate, size_t piece) {
  std::string error;
  auto resampler = Resampler::create(rate, error);
  EXPECT_TRUE(resampler) << error;
  std::vector<int16_t> out;
  for (size_t at = 0; at < in.size(); at += piece) {
    resampler->process(in.data() + at, std::min(piece, in.size() - at), out);
  }
  resampler->finish(out);
  return out;
}

TEST(Resampler, PiecesGiveTheSameSamplesAsOneGoAndRunsRepeat) {
  for (double rate : {8000.0, 22050.0, 44100.0, 48000.0}) {
    auto in = tone(rate, 1.0);
    auto whole = resampleInPieces(in, rate, in.size());
    EXPECT_NEAR(static_cast<double>(whole.size()), 16000.0, 2.0) << rate;
    EXPECT_EQ(resampleInPieces(in, rate, 1024), whole) << rate;
    EXPECT_EQ(resampleInPieces(in, rate, 441), whole) << rate;
  }
}

TEST(Resampler, KeepsTheSignal) {
  auto out = resampleInPieces(tone(44100.0, 1.0), 44100.0, 4096);
  ASSERT_GT(out.size(), 1000u);
  // A 440 Hz tone at half scale keeps its level: RMS of a sine is amplitude / sqrt(2).
  double sum = 0.0;
  for (size_t i = 500; i < out.size() - 500; ++i) sum += double(out[i]) * out[i];
  double rms = std::sqrt(sum / static_cast<double>(out.size() - 1000)) / 32768.0;
  EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0), 0.01);
}

TEST(Resampler, AudioAtTheEngineRateIsOnlyRounded) {
  std::vector<float> in{0.0f, 0.25f, -0.5f, 1.5f};
  auto out = resampleInPieces(in, kEngineSampleRate, 3);
  EXPECT_EQ(out, (std::vector<int16_t>{0, 8192, -16384, 32767}));
}

TEST(Resampler, RefusesRatesThatAreNotRates) {
  for (double rate : {0.0, -44100.0, 1.0, 999.0, 1e7, double(NAN), double(INFINITY)}) {
    std::string error;
    EXPECT_EQ(Resampler::create(rate, error), nullptr);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace kavri::speech
