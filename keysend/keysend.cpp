#include "keysend.h"

#include <utf8proc.h>

#include <algorithm>
#include <optional>

namespace kavri::keysend {
namespace {

constexpr char kLongUsage[] = "Usage: kavri-keysend new-chat <AppName> | kavri-keysend paste";
constexpr char kNewChatUsage[] = "Usage: kavri-keysend new-chat <AppName>";
constexpr char kPasteNoAccessibility[] = "Accessibility permission not granted to KAVRI Connector.";
constexpr char kNewChatNoAccessibility[] =
    "Accessibility permission not granted to KAVRI Connector — open System Settings → Privacy & "
    "Security → Accessibility and enable it.";
constexpr char kHelp[] = R"(Usage: kavri-keysend paste
       kavri-keysend new-chat <AppName>
Delivers the text on standard input (read to its end) through the clipboard.

Commands:
  paste               paste the text into the frontmost application with Control+V, then
                      put back the string the clipboard held before
  new-chat <AppName>  open and activate the application (a desktop-file id, its shown name,
                      or an absolute path), start a new chat with Control+N, paste the text
                      and press Return
  --help              show this text and exit
  --version           show the version and exit

Messages go to standard error, one line each; nothing is written to standard output.

Exit status:
  0  the command completed
  2  usage error or unknown command
  3  new-chat: the application was not found
  4  new-chat: opening the application failed or timed out
  5  no way to post keystrokes (no X display with XTEST), or the clipboard could not be set
)";
// Without the new text on the clipboard the shortcut would paste whatever was there before.
constexpr char kPasteboardNotSet[] = "Failed to set the pasteboard string";

// Presses key with exactly these modifiers; writes failure when it cannot.
bool sendShortcut(KeySendServices& services, uint16_t key, uint64_t modifiers,
                  const char* failure) {
  if (sendKey(services.keyboard, services.clock, key, modifiers,
              services.timings.keyPressDuration)) {
    return true;
  }
  services.writeLine(failure);
  return false;
}

// Whether the keystrokes may be sent and the text is on the pasteboard, checked in that order;
// writes noAccessibility, or that the pasteboard was not set, when not.
bool readyToPaste(KeySendServices& services, bool textSet, const char* noAccessibility) {
  if (!ensureAccessibility(services.keyboard, services.clock,
                           services.timings.accessibilityPollInterval,
                           services.timings.accessibilityPromptLimit)) {
    services.writeLine(noAccessibility);
    return false;
  }
  if (!textSet) {
    services.writeLine(kPasteboardNotSet);
    return false;
  }
  return true;
}

int runPaste(KeySendServices& services) {
  const std::string text = decodeInput(services.readInput());
  Pasteboard& pasteboard = services.pasteboard();
  const std::optional<std::string> previous = pasteboard.stringForType();
  pasteboard.clearContents();
  const bool textSet = pasteboard.setString(text);
  if (!readyToPaste(services, textSet, kPasteNoAccessibility) ||
      !sendShortcut(services, kVK_ANSI_V, kCommandFlag, "Failed to dispatch Cmd+V")) {
    return kExitNoAccessibility;
  }
  services.clock.sleep(services.timings.pasteRestoreDelay);
  if (previous) {
    pasteboard.clearContents();
    pasteboard.setString(*previous);
  }
  return kExitSuccess;
}

int runNewChat(const std::string& appName, KeySendServices& services) {
  const std::string prompt = decodeInput(services.readInput());
  Workspace& workspace = services.workspace();
  const std::optional<std::string> appURL = resolveAppURL(appName, workspace);
  if (!appURL) {
    services.writeLine("App not found: " + appName);
    return kExitAppNotFound;
  }
  Pasteboard& pasteboard = services.pasteboard();
  pasteboard.clearContents();
  const bool promptSet = pasteboard.setString(prompt);
  if (!readyToPaste(services, promptSet, kNewChatNoAccessibility)) return kExitNoAccessibility;
  if (!activate(*appURL, workspace, services.writeLine, services.timings.openApplicationTimeout)) {
    return kExitOpenFailed;
  }
  const std::optional<std::string> bundleId = workspace.applicationIdentifier(*appURL);
  waitForFront(bundleId, workspace, services.clock, services.timings.frontPollInterval,
               services.timings.frontWaitLimit);
  services.clock.sleep(services.timings.beforeNewChatDelay);
  if (!sendShortcut(services, kVK_ANSI_N, kCommandFlag, "Failed to dispatch Cmd+N")) {
    return kExitNoAccessibility;
  }
  services.clock.sleep(services.timings.afterNewChatDelay);
  if (!sendShortcut(services, kVK_ANSI_V, kCommandFlag, "Failed to dispatch Cmd+V")) {
    return kExitNoAccessibility;
  }
  services.clock.sleep(services.timings.afterPasteDelay);
  if (!sendShortcut(services, kVK_Return, kNoModifiers, "Failed to dispatch Return")) {
    return kExitNoAccessibility;
  }
  return kExitSuccess;
}

}  // namespace

std::string decodeInput(const std::string& bytes) {
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(bytes.size());
  while (left > 0) {
    utf8proc_int32_t codepoint = 0;
    utf8proc_ssize_t used = utf8proc_iterate(data, left, &codepoint);
    if (used <= 0) return {};
    data += used;
    left -= used;
  }
  return bytes;
}

std::optional<std::string> helpOrVersionText(const std::vector<std::string>& args) {
  auto has = [&args](const char* flag) {
    return std::find(args.begin(), args.end(), flag) != args.end();
  };
  if (has("--help")) return kHelp;
  if (has("--version")) return std::string("kavri-keysend ") + KAVRI_VERSION + "\n";
  return std::nullopt;
}

int runKeySend(const std::vector<std::string>& args, KeySendServices& services) {
  if (args.size() < 2) {
    services.writeLine(kLongUsage);
    return kExitUsage;
  }
  const std::string& cmd = args[1];
  if (cmd == "paste") return runPaste(services);
  if (args.size() == 2) {
    services.writeLine(kNewChatUsage);
    return kExitUsage;
  }
  const std::string& appName = args[2];
  if (cmd != "new-chat") {
    services.writeLine("Unknown command: " + cmd);
    return kExitUsage;
  }
  return runNewChat(appName, services);
}

}  // namespace kavri::keysend
