// The key sender's command line: "paste" and "new-chat <AppName>", every message and exit status.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app_activation.h"
#include "keyboard_events.h"
#include "keystrokes.h"
#include "pasteboard.h"
#include "workspace.h"

namespace kavri::keysend {

// The process's exit statuses, which the host reads as plain integers.
enum : int {
  kExitSuccess = 0,
  kExitUsage = 2,
  kExitAppNotFound = 3,
  kExitOpenFailed = 4,
  kExitNoAccessibility = 5
};

// paste: after Cmd+V, before the previous string is put back.
inline constexpr double kPasteRestoreDelay = 0.4;
// new-chat: after the wait for the front, after Cmd+N and after Cmd+V.
inline constexpr double kBeforeNewChatDelay = 0.4;
inline constexpr double kAfterNewChatDelay = 0.7;
inline constexpr double kAfterPasteDelay = 0.35;

struct KeySendTimings {
  double keyPressDuration = kKeyPressDuration;
  double pasteRestoreDelay = kPasteRestoreDelay;
  double beforeNewChatDelay = kBeforeNewChatDelay;
  double afterNewChatDelay = kAfterNewChatDelay;
  double afterPasteDelay = kAfterPasteDelay;
  double frontPollInterval = kFrontPollInterval;
  double frontWaitLimit = kFrontWaitLimit;
  double accessibilityPollInterval = kAccessibilityPollInterval;
  double accessibilityPromptLimit = kAccessibilityPromptLimit;
  double openApplicationTimeout = kOpenApplicationTimeout;
};

// Everything the commands touch outside the process. The pasteboard and workspace are made on
// first use, so that a usage error touches neither.
struct KeySendServices {
  // All bytes of standard input up to end of file; called at most once, and only by a command.
  std::function<std::string()> readInput;
  LineWriter writeLine;
  std::function<Pasteboard&()> pasteboard;
  std::function<Workspace&()> workspace;
  keys::KeyboardEvents& keyboard;
  Clock& clock;
  KeySendTimings timings;
};

// Runs the command that args (index 0 the program path) names and returns the exit status.
int runKeySend(const std::vector<std::string>& args, KeySendServices& services);

// What "--help" (usage) or "--version" asks for, wherever either occurs, "--help" first: the text
// for standard output, status 0, instead of any command. None when neither is there.
std::optional<std::string> helpOrVersionText(const std::vector<std::string>& args);

// The text of the input bytes: the bytes themselves when they are valid UTF-8, else empty.
std::string decodeInput(const std::string& bytes);

}  // namespace kavri::keysend
