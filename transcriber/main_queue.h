// The transcriber's two executors: the serial main queue that the main thread serves forever,
// and tasks on background threads.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace kavri {

// A serial queue of blocks. The main thread parks in runForever(); any thread may submit.
class MainQueue {
 public:
  void async(std::function<void()> block);
  // Serves the queue on the calling thread and never returns (the process ends by an exit call
  // from one of the blocks or from another thread).
  [[noreturn]] void runForever();
  // Runs what is queued now and whatever those blocks queue, then returns; for tests.
  void drain();

 private:
  std::mutex lock_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> blocks_;
};

// Runs the block on a new background thread that nobody joins: the equivalent of a task on the
// shared concurrent executor. The process may end while it still runs.
void launchTask(std::function<void()> block);

}  // namespace kavri
