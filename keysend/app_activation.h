// Finding the application that new-chat names, opening it, and waiting for it to come to the
// front.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "clock.h"
#include "workspace.h"

namespace kavri::keysend {

// How long the desktop may take to answer the open request.
inline constexpr double kOpenApplicationTimeout = 5.0;
// How often, and for how long, the front-most application is compared with the opened one.
inline constexpr double kFrontPollInterval = 0.1;
inline constexpr double kFrontWaitLimit = 3.0;

using LineWriter = std::function<void(const std::string&)>;

// The path of the application called name, or none. Tried in order: name itself when it is an
// absolute path to something that exists; the desktop's own lookup; the workspace's fixed
// candidate places. The name is used unchanged.
std::optional<std::string> resolveAppURL(const std::string& name, Workspace& workspace);

// The desktop-file id of the entry at path: its path below the first of applicationFolders (the
// "applications" folders of the XDG data folders, in their order) that holds it, with each '/'
// turned into '-', so that applications/kde/chat.desktop is kde-chat.desktop; its file name when
// none holds it.
std::string desktopFileId(const std::string& path,
                          const std::vector<std::string>& applicationFolders);

// The identifier of the desktop entry at path whose StartupWMClass is startupWmClass: that class
// when it is not empty, else the desktop-file id without ".desktop". None when both are empty,
// because an empty identifier would match every window whose class hint leaves one half blank.
std::optional<std::string> desktopEntryIdentifier(
    const std::string& path, const std::optional<std::string>& startupWmClass,
    const std::vector<std::string>& applicationFolders = {});

// Opens the application at appURL and brings it to the front. False, after one line through
// writeLine, when the desktop reports an error or does not answer within timeout seconds.
bool activate(const std::string& appURL, Workspace& workspace, const LineWriter& writeLine,
              double timeout = kOpenApplicationTimeout);

// Returns once the front-most application has the identifier bundleId, or once limit seconds
// have passed. An absent bundleId never matches.
void waitForFront(const std::optional<std::string>& bundleId, Workspace& workspace, Clock& clock,
                  double pollInterval = kFrontPollInterval, double limit = kFrontWaitLimit);

}  // namespace kavri::keysend
