#include "x11_server_probe.h"

#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>
#include <utility>

#include "leavable_thread.h"

namespace kavri::x11 {

namespace {

// Display names whose last probe overran its limit and still waits for the server. Never freed: a
// probe left running may reach it at any time.
struct UnansweredServers {
  std::mutex mutex;
  std::set<std::string> names;

  static UnansweredServers& get() {
    static UnansweredServers* servers = new UnansweredServers();
    return *servers;
  }
};

// What a probe's helper thread and its caller share.
struct Probe {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool abandoned = false;
  XcbConnection connection;
};

}  // namespace

ProbeResult probeServer(const std::string& name, std::chrono::milliseconds limit,
                        XcbConnection& answered) {
  UnansweredServers& unanswered = UnansweredServers::get();
  {
    std::lock_guard<std::mutex> lock(unanswered.mutex);
    if (unanswered.names.count(name) != 0) return ProbeResult::kSilent;
  }
  auto probe = std::make_shared<Probe>();
  LeavableThread helper;
  try {
    helper = LeavableThread([probe, name] {
      XcbConnection connection(xcb_connect(name.c_str(), nullptr));
      if (xcb_connection_has_error(connection.get()) != 0) connection.reset();
      {
        std::lock_guard<std::mutex> lock(probe->mutex);
        probe->finished = true;
        if (!probe->abandoned) {
          probe->connection = std::move(connection);
          probe->done.notify_all();
          return;
        }
      }
      connection.reset();
      UnansweredServers& servers = UnansweredServers::get();
      std::lock_guard<std::mutex> lock(servers.mutex);
      servers.names.erase(name);
    });
  } catch (const std::system_error&) {
    return ProbeResult::kUnreachable;
  }
  std::unique_lock<std::mutex> lock(probe->mutex);
  if (probe->done.wait_for(lock, limit, [&] { return probe->finished; })) {
    answered = std::move(probe->connection);
    lock.unlock();
    // The helper is only returning now.
    helper.joinWithin(limit);
    return answered ? ProbeResult::kAnswered : ProbeResult::kUnreachable;
  }
  probe->abandoned = true;
  {
    // Under the probe's lock, so that the helper cannot take the name out before it is in.
    std::lock_guard<std::mutex> names(unanswered.mutex);
    unanswered.names.insert(name);
  }
  lock.unlock();
  helper.joinWithin(std::chrono::milliseconds::zero());
  return ProbeResult::kSilent;
}

}  // namespace kavri::x11
