#include "trigger_listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "testing/fake_keyboard.h"
#include "virtual_keys.h"

namespace kavri::keyglue {
namespace {

using keys::FlagsChangedEvent;

TEST(TriggerRule, ModifierKeysTestTheirOwnFlagAndOnlyTheirOwnKey) {
  struct Row {
    int32_t code;
    uint64_t flag;
  };
  const std::vector<Row> rows = {
      {54, keys::kFlagCommand}, {55, keys::kFlagCommand},  {56, keys::kFlagShift},
      {60, keys::kFlagShift},   {57, keys::kFlagCapsLock}, {58, keys::kFlagOption},
      {61, keys::kFlagOption},  {59, keys::kFlagControl},  {62, keys::kFlagControl},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    const TriggerRule rule = triggerRuleFor(row.code);
    EXPECT_EQ(rule.flag, row.flag);
    EXPECT_TRUE(rule.keyCodeMustMatch);
  }
}

TEST(TriggerRule, EveryOtherCodeIsTheFunctionKeyRule) {
  for (int32_t code : {63, 0, 9, 49, 53, 64, -1, 65535, 65536, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(code);
    const TriggerRule rule = triggerRuleFor(code);
    EXPECT_EQ(rule.flag, keys::kFlagFunction);
    EXPECT_FALSE(rule.keyCodeMustMatch);
  }
}

// Feeds events through the edge detector and names the edges, as the addon would emit them.
class Edges {
 public:
  explicit Edges(int32_t trigger) : trigger_(trigger) {}
  std::vector<std::string> feed(std::vector<FlagsChangedEvent> events) {
    std::vector<std::string> names;
    for (const auto& event : events) {
      if (const char* name = eventNameFor(triggerEdgeFor(trigger_, down_, event))) {
        names.emplace_back(name);
      }
    }
    return names;
  }
  void setTrigger(int32_t trigger) {
    trigger_ = trigger;
    down_ = false;
  }
  bool down() const { return down_; }

 private:
  int32_t trigger_;
  std::atomic<bool> down_{false};
};

using Names = std::vector<std::string>;

TEST(TriggerEdges, FunctionTriggerReportsEachEdgeOnceWhateverKeyChanged) {
  Edges edges(63);
  EXPECT_EQ(edges.feed({{63, keys::kFlagFunction},
                        {56, keys::kFlagFunction | keys::kFlagShift},
                        {56, keys::kFlagFunction},
                        {63, 0},
                        {56, keys::kFlagShift}}),
            (Names{"down", "up"}));
}

TEST(TriggerEdges, ASecondDeliveryOfTheSameStateGivesNothing) {
  Edges edges(59);
  EXPECT_EQ(edges.feed({{59, keys::kFlagControl}, {59, keys::kFlagControl}}), (Names{"down"}));
  EXPECT_EQ(edges.feed({{59, 0}, {59, 0}}), (Names{"up"}));
}

TEST(TriggerEdges, OptionIgnoresTheRightOptionKeyAndStaysDownWhileItIsHeld) {
  Edges edges(58);
  EXPECT_EQ(edges.feed({{61, keys::kFlagOption},  // right Option down: not the trigger
                        {58, keys::kFlagOption},  // Option down
                        {58, keys::kFlagOption},  // Option up, right Option still held
                        {61, 0}}),                // right Option up: not the trigger
            (Names{"down"}));
  EXPECT_TRUE(edges.down());
  EXPECT_EQ(edges.feed({{58, keys::kFlagOption}, {58, 0}}), (Names{"up"}));
}

TEST(TriggerEdges, CapsLockFollowsTheLockBitOfItsOwnEvents) {
  Edges edges(57);
  EXPECT_EQ(edges.feed({{57, keys::kFlagCapsLock}, {56, 0}, {57, keys::kFlagCapsLock}, {57, 0}}),
            (Names{"down", "up"}));
}

TEST(TriggerEdges, CodeOutsideTheTableBehavesAsTheFunctionKey) {
  const std::vector<FlagsChangedEvent> events = {
      {63, keys::kFlagFunction}, {59, keys::kFlagFunction | keys::kFlagControl}, {59, 0}};
  Edges function(63), space(49);
  EXPECT_EQ(space.feed(events), function.feed(events));
  EXPECT_EQ(space.feed({{63, keys::kFlagFunction}}), (Names{"down"}));
}

TEST(TriggerEdges, ChangingTheTriggerWhileHeldStartsOverWithoutAnUp) {
  Edges edges(59);
  EXPECT_EQ(edges.feed({{59, keys::kFlagControl}}), (Names{"down"}));
  edges.setTrigger(56);
  EXPECT_EQ(edges.feed({{56, keys::kFlagShift | keys::kFlagControl}}), (Names{"down"}));
}

TEST(TriggerEdges, AResetWhileHeldSwallowsTheRelease) {
  // What stopping the listener does to the state while the trigger is held.
  Edges edges(59);
  EXPECT_EQ(edges.feed({{59, keys::kFlagControl}}), (Names{"down"}));
  edges.setTrigger(59);
  EXPECT_EQ(edges.feed({{59, 0}}), Names{});
}

TEST(TapCallback, ReenablesATapTheSystemSwitchedOffForEitherReason) {
  for (uint32_t type :
       {keys::kEventTypeTapDisabledByTimeout, keys::kEventTypeTapDisabledByUserInput}) {
    SCOPED_TRACE(type);
    testing::FakeFlagsMonitor tap(nullptr, nullptr);
    tap.enable(false);
    EXPECT_TRUE(reenableTapIfDisabled(type, &tap));
    EXPECT_TRUE(tap.enabled());
    EXPECT_EQ(tap.enableCalls(), (std::vector<bool>{false, true}));
  }
}

TEST(TapCallback, LeavesTheTapAloneForOrdinaryEventsOrWhenThereIsNone) {
  testing::FakeFlagsMonitor tap(nullptr, nullptr);
  EXPECT_FALSE(reenableTapIfDisabled(keys::kEventTypeFlagsChanged, &tap));
  EXPECT_FALSE(reenableTapIfDisabled(0xFFFFFFFD, &tap));
  EXPECT_TRUE(tap.enableCalls().empty());
  EXPECT_FALSE(reenableTapIfDisabled(keys::kEventTypeTapDisabledByTimeout, nullptr));
}

}  // namespace
}  // namespace kavri::keyglue
