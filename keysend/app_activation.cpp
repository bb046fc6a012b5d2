#include "app_activation.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace kavri::keysend {

std::optional<std::string> resolveAppURL(const std::string& name, Workspace& workspace) {
  if (name.starts_with("/") && workspace.fileExists(name)) return name;
  if (auto path = workspace.fullPathForApplication(name)) return path;
  for (const std::string& candidate : workspace.candidatePaths(name)) {
    if (workspace.fileExists(candidate)) return candidate;
  }
  return std::nullopt;
}

bool activate(const std::string& appURL, Workspace& workspace, const LineWriter& writeLine,
              double timeout) {
  // Shared with the completion, which may run after we have given up and returned.
  struct Outcome {
    std::mutex lock;
    std::condition_variable answered;
    bool done = false;
    bool success = true;
  };
  auto outcome = std::make_shared<Outcome>();
  workspace.openApplication(appURL, [outcome, writeLine](std::optional<std::string> error) {
    if (error) writeLine("openApplication failed: " + *error);
    std::lock_guard guard(outcome->lock);
    if (error) outcome->success = false;
    outcome->done = true;
    outcome->answered.notify_all();
  });
  std::unique_lock guard(outcome->lock);
  if (!outcome->answered.wait_for(guard, std::chrono::duration<double>(timeout),
                                  [&] { return outcome->done; })) {
    guard.unlock();
    writeLine("openApplication timed out for " + appURL);
    return false;
  }
  return outcome->success;
}

void waitForFront(const std::optional<std::string>& bundleId, Workspace& workspace, Clock& clock,
                  double pollInterval, double limit) {
  const double deadline = clock.now() + limit;
  while (clock.now() < deadline) {
    if (bundleId) {
      auto front = workspace.frontmostApplicationIdentifiers();
      if (std::find(front.begin(), front.end(), *bundleId) != front.end()) return;
    }
    clock.sleep(pollInterval);
  }
}

}  // namespace kavri::keysend
