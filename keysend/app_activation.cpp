#include "app_activation.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>

namespace kavri::keysend {

std::optional<std::string> resolveAppURL(const std::string& name, Workspace& workspace) {
  if (name.starts_with("/") && workspace.fileExists(name)) return name;
  if (auto path = workspace.fullPathForApplication(name)) return path;
  for (const std::string& candidate : workspace.candidatePaths(name)) {
    if (workspace.fileExists(candidate)) return candidate;
  }
  return std::nullopt;
}

std::string desktopFileId(const std::string& path,
                          const std::vector<std::string>& applicationFolders) {
  for (std::string_view folder : applicationFolders) {
    while (folder.size() > 1 && folder.ends_with('/')) folder.remove_suffix(1);
    if (folder.empty() || path.size() <= folder.size() + 1 || !path.starts_with(folder) ||
        path[folder.size()] != '/') {
      continue;
    }
    std::string id = path.substr(folder.size() + 1);
    std::replace(id.begin(), id.end(), '/', '-');
    return id;
  }
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> desktopEntryIdentifier(
    const std::string& path, const std::optional<std::string>& startupWmClass,
    const std::vector<std::string>& applicationFolders) {
  if (startupWmClass && !startupWmClass->empty()) return startupWmClass;
  constexpr std::string_view kSuffix = ".desktop";
  std::string id = desktopFileId(path, applicationFolders);
  if (id.ends_with(kSuffix)) id.resize(id.size() - kSuffix.size());
  if (id.empty()) return std::nullopt;
  return id;
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
