#include "event_bridge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "trigger_listener.h"
#include "virtual_keys.h"

namespace kavri::keyglue {
namespace {

class RecordingQueue final : public EventQueue {
 public:
  bool refuse = false;
  bool queue(std::string text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++attempts;
    if (refuse) return false;
    queued.push_back(std::move(text));
    return true;
  }
  std::vector<std::string> queued;
  int attempts = 0;

 private:
  std::mutex mutex_;
};

TEST(Emit, DropsEverythingWhileNotListeningOrWithoutAQueue) {
  std::atomic<bool> listening{false};
  RecordingQueue queue;
  emitEvent(listening, &queue, "down");
  EXPECT_EQ(queue.attempts, 0);
  listening = true;
  emitEvent(listening, nullptr, "down");
  emitEvent(listening, &queue, "up");
  EXPECT_EQ(queue.queued, (std::vector<std::string>{"up"}));
}

TEST(Emit, QueuesACopyThatOutlivesTheCallersBuffer) {
  std::atomic<bool> listening{true};
  RecordingQueue queue;
  char buffer[8];
  std::strcpy(buffer, "down");
  emitEvent(listening, &queue, buffer);
  std::strcpy(buffer, "xxxx");
  EXPECT_EQ(queue.queued, (std::vector<std::string>{"down"}));
}

TEST(Emit, ARefusedEventIsLostAndLaterOnesStillGo) {
  std::atomic<bool> listening{true};
  RecordingQueue queue;
  queue.refuse = true;
  emitEvent(listening, &queue, "down");
  queue.refuse = false;
  emitEvent(listening, &queue, "up");
  EXPECT_EQ(queue.attempts, 2);
  EXPECT_EQ(queue.queued, (std::vector<std::string>{"up"}));
}

TEST(Emit, KeepsTheOrderOfOneSendingThread) {
  std::atomic<bool> listening{true};
  RecordingQueue queue;
  constexpr int kCount = 1000;
  std::thread sender([&] {
    for (int i = 0; i < kCount; ++i) emitEvent(listening, &queue, std::to_string(i));
  });
  sender.join();
  ASSERT_EQ(queue.queued.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(queue.queued[i], std::to_string(i));
}

// The monitor's thread turns key changes into edges and queues them while the JavaScript thread
// starts and stops listening, which resets the held state. Whatever the interleaving, an "up"
// only ever follows its own "down", and what reaches the queue is those edges in their order.
TEST(Emit, StartAndStopOnOneThreadWhileAnotherDelivers) {
  std::atomic<bool> listening{true};
  std::atomic<bool> triggerDown{false};
  std::atomic<bool> done{false};
  RecordingQueue queue;
  std::vector<std::string> edges;
  constexpr int kPresses = 20000;
  std::thread monitor([&] {
    for (int i = 0; i < 2 * kPresses; ++i) {
      const keys::FlagsChangedEvent event{keys::kVK_Control, i % 2 == 0 ? keys::kFlagControl : 0};
      const char* name = eventNameFor(triggerEdgeFor(keys::kVK_Control, triggerDown, event));
      if (!name) continue;
      edges.emplace_back(name);
      emitEvent(listening, &queue, name);
    }
    done = true;
  });
  for (int round = 0; !done; ++round) {
    // What StopFnListener and StartFnListener do to the shared state.
    listening = round % 2 == 0;
    triggerDown = false;
    std::this_thread::yield();
  }
  monitor.join();

  int held = 0;
  for (const std::string& edge : edges) {
    if (edge == "down") {
      held = 1;
    } else {
      ASSERT_EQ(held, 1) << "an up without its down";
      held = 0;
    }
  }
  auto next = edges.begin();
  for (const std::string& queued : queue.queued) {
    next = std::find(next, edges.end(), queued);
    ASSERT_NE(next, edges.end()) << "queued out of order";
    ++next;
  }
  EXPECT_GE(edges.size(), static_cast<size_t>(kPresses));
}

}  // namespace
}  // namespace kavri::keyglue
