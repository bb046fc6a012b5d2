// The thread of a flags monitor's listener, for every backend: it runs until it is told to stop,
// through a descriptor that its wait includes, or until its work ends on its own (its source of
// keys went away). The thread that stops it is the host's JavaScript thread, so stopping waits for
// it only a bounded time; a listener that has not returned by then (its system froze) is left to
// finish alone, and nothing of its run reaches the handler after the stop.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "flags_monitor.h"
#include "leavable_thread.h"
#include "unique_fd.h"

namespace kavri::keys {

// How long stopping gives a listener to report the keys that its system took in before the stop.
inline constexpr std::chrono::milliseconds kListenerDrainLimit{250};

// What a listener's thread shares with the monitor that started it. The thread can outlive the
// monitor's interest in it, and the monitor itself, so each holds a share.
class ListenerRun {
 public:
  ListenerRun();
  // False when no wake-up descriptor could be made: the run cannot be stopped, so never start it.
  bool valid() const { return wake_.valid(); }
  // Readable once the listener must return.
  int wakeFd() const { return wake_.get(); }
  // Hands an event to the handler unless the run was stopped, however late its thread gets to it.
  void deliver(const FlagsMonitor::FlagsHandler& handler, const FlagsChangedEvent& event);

 private:
  friend class ListenerThread;

  UniqueFd wake_;
  std::mutex mutex_;
  bool delivering_ = true;
};

class ListenerThread {
 public:
  ListenerThread() = default;
  ~ListenerThread() { stop(std::chrono::milliseconds::zero()); }
  ListenerThread(const ListenerThread&) = delete;
  ListenerThread& operator=(const ListenerThread&) = delete;

  // A monitor's enable: starting while the listener runs (or from its own thread) changes
  // nothing, and stopping stops it. Otherwise startRun gets a new run, starts it through start and
  // answers whether the listener delivers now.
  bool enable(bool on, const std::function<bool(std::shared_ptr<ListenerRun>)>& startRun);

  // Runs body(*run) on a new thread; the run before it must have been stopped. False when no
  // thread could be made. A body that throws ends its listener only.
  bool start(std::shared_ptr<ListenerRun> run, std::function<void(ListenerRun&)> body);
  // Wakes the listener and gives it drainLimit to return; from then on nothing of its run is
  // delivered, and a thread still waiting on its system is left to finish alone.
  void stop(std::chrono::milliseconds drainLimit = kListenerDrainLimit);
  // Whether the run started last is neither stopped nor ended on its own.
  bool running() const { return run_ && !thread_.finished(); }
  bool onListenerThread() const { return std::this_thread::get_id() == thread_.id(); }

 private:
  std::mutex mutex_;  // held by enable
  std::shared_ptr<ListenerRun> run_;
  LeavableThread thread_;
};

}  // namespace kavri::keys
