#include "mic_source.h"

#include <gtest/gtest.h>

#include <thread>

#include "fake_audio.h"
#include "source_fixture.h"

namespace kavri {
namespace {

using testing::FakeAudioEngine;

class MicSourceTest : public testing::SourceFixture {
 protected:
  MicSourceTest() : SourceFixture("mic") {}

  std::shared_ptr<FakeAudioEngine> engine = std::make_shared<FakeAudioEngine>();
  std::shared_ptr<MicSource> source = std::make_shared<MicSource>(engine);
};

TEST_F(MicSourceTest, FeedsTheSinkWithBuffersInTheInputFormatUnchanged) {
  source->setSink(recognizer);
  ASSERT_EQ(source->start(), std::nullopt);
  EXPECT_TRUE(engine->running);
  EXPECT_EQ(engine->prepareCount, 1);
  EXPECT_EQ(engine->lastBufferSize, 1024u);
  EXPECT_EQ(engine->lastTapFormat, engine->format);
  auto buffer = testing::makeBuffer(1024, engine->format);
  ASSERT_TRUE(engine->play(buffer));
  EXPECT_EQ(received(), buffer);  // the same buffer: nothing copied or resampled
}

TEST_F(MicSourceTest, SecondStartReplacesTheTap) {
  source->setSink(recognizer);
  ASSERT_EQ(source->start(), std::nullopt);
  ASSERT_EQ(source->start(), std::nullopt);
  EXPECT_EQ(engine->installedTaps, 2);  // one per start, never two at once
  ASSERT_TRUE(engine->play(testing::makeBuffer(8)));
  EXPECT_NE(received(), nullptr);
  EXPECT_EQ(received(), nullptr);  // delivered once, not twice
}

TEST_F(MicSourceTest, BuffersWithoutASinkAreDropped) {
  ASSERT_EQ(source->start(), std::nullopt);
  EXPECT_TRUE(engine->play(testing::makeBuffer(8)));
  EXPECT_EQ(received(), nullptr);
}

TEST_F(MicSourceTest, StopIsHarmlessWhenNotRunningAndTwice) {
  source->stop();
  EXPECT_EQ(engine->stopCount, 0);
  EXPECT_FALSE(engine->hasTap());
  ASSERT_EQ(source->start(), std::nullopt);
  source->stop();
  source->stop();
  EXPECT_EQ(engine->stopCount, 1);
  EXPECT_FALSE(engine->hasTap());
  EXPECT_FALSE(engine->running);
}

TEST_F(MicSourceTest, StartFailureReportsTheEngineErrorAndKeepsTheTap) {
  engine->startError = audio::AudioError{"pulse", 5, "Connection refused"};
  auto error = source->start();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "Connection refused");
  EXPECT_TRUE(engine->hasTap());
}

TEST(MicSourceWithoutEngine, StartFailsWithAClearError) {
  auto source = std::make_shared<MicSource>(nullptr);
  auto error = source->start();
  ASSERT_TRUE(error);
  EXPECT_FALSE(error->description.empty());
  source->stop();
}

TEST_F(MicSourceTest, TapDoesNotKeepTheSourceAlive) {
  source->setSink(recognizer);
  ASSERT_EQ(source->start(), std::nullopt);
  std::weak_ptr<MicSource> weak = source;
  source.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(engine->play(testing::makeBuffer(8)));
  EXPECT_EQ(received(), nullptr);
}

TEST_F(MicSourceTest, SinkChangesWhileTheTapRuns) {
  ASSERT_EQ(source->start(), std::nullopt);
  std::atomic<bool> done{false};
  std::thread audioThread([&] {
    auto buffer = testing::makeBuffer(8);
    while (!done) engine->play(buffer);
  });
  for (int i = 0; i < 200; ++i) source->setSink(i % 2 ? recognizer : nullptr);
  done = true;
  audioThread.join();
  source->setSink(recognizer);
  engine->play(testing::makeBuffer(8));
  EXPECT_NE(received(), nullptr);
}

}  // namespace
}  // namespace kavri
