#include "event_bridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace kavri::keyglue
