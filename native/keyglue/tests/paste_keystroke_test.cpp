#include "paste_keystroke.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "testing/fake_keyboard.h"

namespace kavri::keyglue {
namespace {

using testing::FakeKeyboardEvents;
using testing::PostedKey;

// Records posts and pauses in one timeline.
struct Timeline {
  std::vector<std::string> steps;
  SleepFunction sleep() {
    return [this](std::chrono::microseconds pause) {
      steps.push_back("sleep " + std::to_string(pause.count()));
    };
  }
  void watch(FakeKeyboardEvents& events) {
    events.onPost = [this](const PostedKey& key) {
      steps.push_back(std::string(key.keyDown ? "down " : "up ") + std::to_string(key.keyCode));
    };
  }
};

TEST(SendPaste, PostsVDownPauseVUpWithOnlyTheCommandFlag) {
  FakeKeyboardEvents events;
  Timeline timeline;
  timeline.watch(events);
  EXPECT_TRUE(sendPasteKeystroke(events, timeline.sleep()));
  EXPECT_EQ(timeline.steps, (std::vector<std::string>{"down 9", "sleep 15000", "up 9"}));
  EXPECT_EQ(events.posted, (std::vector<PostedKey>{{9, true, keys::kFlagCommand},
                                                   {9, false, keys::kFlagCommand}}));
  EXPECT_EQ(events.sourcesCreated, 1);
}

TEST(SendPaste, StillReturnsTrueWhenNothingCanBeMade) {
  FakeKeyboardEvents events;
  events.failSource = true;
  events.failEvents = true;
  Timeline timeline;
  timeline.watch(events);
  EXPECT_TRUE(sendPasteKeystroke(events, timeline.sleep()));
  EXPECT_TRUE(events.posted.empty());
  EXPECT_EQ(timeline.steps, (std::vector<std::string>{"sleep 15000"}));
}

TEST(SendPaste, WorksWithoutASource) {
  FakeKeyboardEvents events;
  events.failSource = true;
  EXPECT_TRUE(sendPasteKeystroke(events, [](std::chrono::microseconds) {}));
  EXPECT_EQ(events.posted.size(), 2u);
}

TEST(TrustQuery, PromptsOnlyWhenAsked) {
  FakeKeyboardEvents events;
  events.trustedAfterQueries = 0;
  EXPECT_TRUE(queryTrust(events, false));
  EXPECT_EQ(events.promptingTrustQueries, 0);
  EXPECT_TRUE(queryTrust(events, true));
  EXPECT_EQ(events.promptingTrustQueries, 1);
  events.trustedAfterQueries = -1;  // never
  EXPECT_FALSE(queryTrust(events, true));
  EXPECT_EQ(events.trustQueries, 3);
}

}  // namespace
}  // namespace kavri::keyglue
