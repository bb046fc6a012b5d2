#include "keyboard_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "testing/fake_keyboard.h"

namespace kavri::keyglue {
namespace {

using testing::FakeKeyboardEvents;

// Short, so that a call held by the test overruns quickly; calls that are not held end in
// microseconds.
constexpr std::chrono::milliseconds kShortLimit{50};
// Generous: only a worker that waits for a held call takes this long.
constexpr std::chrono::seconds kHangTimeout{10};

// A call that stays in the system until the test lets it go.
struct HeldCall {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  KeyboardWorker::Call call() {
    return [released = released](keys::KeyboardEvents&) {
      released.wait();
      return true;
    };
  }
};

TEST(KeyboardWorker, RunsEachCallOnItsThreadWithServicesMadeThereOnce) {
  std::thread::id madeOn;
  int made = 0;
  KeyboardWorker worker([&] {
    madeOn = std::this_thread::get_id();
    ++made;
    auto events = std::make_unique<FakeKeyboardEvents>();
    events->trustedAfterQueries = 0;  // trusted from the first query on
    return events;
  });
  std::thread::id ranOn;
  auto trust = [&](keys::KeyboardEvents& events) {
    ranOn = std::this_thread::get_id();
    return events.isProcessTrusted();
  };
  EXPECT_EQ(worker.run(trust), true);
  EXPECT_EQ(worker.run([](keys::KeyboardEvents&) { return false; }), false);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(ranOn, madeOn);
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST(KeyboardWorker, MakesItsServicesAheadOnItsThreadWithoutTheCallerWaitingForThem) {
  HeldCall held;  // holds the making of the services
  std::promise<std::thread::id> making;
  int made = 0;
  KeyboardWorker worker([&] {
    if (++made == 1) making.set_value(std::this_thread::get_id());
    held.released.wait();
    return std::make_unique<FakeKeyboardEvents>();
  });
  auto ahead = std::async(std::launch::async, [&] { return worker.makeAhead(); });
  const bool returned = ahead.wait_for(kHangTimeout) == std::future_status::ready;
  std::future<std::thread::id> madeOn = making.get_future();
  const bool started = madeOn.wait_for(kHangTimeout) == std::future_status::ready;
  held.release.set_value();
  ASSERT_TRUE(returned) << "makeAhead waited for the services";
  ASSERT_TRUE(started) << "nothing was made ahead of a call";
  EXPECT_TRUE(ahead.get());

  std::thread::id ranOn;
  EXPECT_EQ(worker.run([&](keys::KeyboardEvents&) {
    ranOn = std::this_thread::get_id();
    return true;
  }),
            true);
  EXPECT_EQ(made, 1);
  EXPECT_EQ(ranOn, madeOn.get());
}

TEST(KeyboardWorker, ACallThatOverrunsGivesNoAnswerAndLaterCallsDoNotQueueBehindIt) {
  KeyboardWorker worker([] { return std::make_unique<FakeKeyboardEvents>(); }, kShortLimit);
  HeldCall held;
  EXPECT_EQ(worker.run(held.call()), std::nullopt);
  bool ranBehind = false;
  EXPECT_EQ(worker.run([&](keys::KeyboardEvents&) { return ranBehind = true; }), std::nullopt);

  held.release.set_value();
  std::optional<bool> answer;
  const auto deadline = std::chrono::steady_clock::now() + kHangTimeout;
  while (!answer && std::chrono::steady_clock::now() < deadline) {
    answer = worker.run([](keys::KeyboardEvents&) { return true; });
  }
  EXPECT_EQ(answer, true) << "the worker never took calls again";
  EXPECT_FALSE(ranBehind);
}

TEST(KeyboardWorker, GoesAwayWithoutWaitingForACallThatStillRuns) {
  HeldCall held;
  auto worker = std::make_unique<KeyboardWorker>(
      [] { return std::make_unique<FakeKeyboardEvents>(); }, kShortLimit);
  EXPECT_EQ(worker->run(held.call()), std::nullopt);
  auto destroyed = std::async(std::launch::async, [&] { worker.reset(); });
  const bool returned = destroyed.wait_for(kHangTimeout) == std::future_status::ready;
  // The call then ends on a thread that owns what it touches (the sanitizers watch that).
  held.release.set_value();
  EXPECT_TRUE(returned) << "the worker waited for the call";
}

}  // namespace
}  // namespace kavri::keyglue
