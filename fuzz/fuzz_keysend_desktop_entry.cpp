// Resolves an application name against a desktop entry made of fuzzed bytes and derives the
// entry's identifier, through the real desktop lookup, on XDG folders of our own. The entry lies
// twice: at the top of the applications folder (id "fuzzed") and in a subfolder ("sub-fuzzed").
// Input: the application name, a line feed, then the bytes of the entry. "@DIR@" in the name
// stands for the folder holding the entry, so that absolute paths can reach it.
//
// Nothing may ever be started: every way GLib has of running a program traps.
#include <glib.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app_activation.h"
#include "workspace.h"
#include "workspace_xdg.h"

using namespace kavri::keysend;

extern "C" {
int execve(const char*, char* const*, char* const*) {
  __builtin_trap();
}
int execv(const char*, char* const*) {
  __builtin_trap();
}
int execvp(const char*, char* const*) {
  __builtin_trap();
}
pid_t fork() {
  __builtin_trap();
}
int posix_spawn(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                char* const*, char* const*) {
  __builtin_trap();
}
int posix_spawnp(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                 char* const*, char* const*) {
  __builtin_trap();
}
}

namespace {

// One set of folders per process: the desktop lookup lists them once, so the entry keeps its
// file name and only its contents change from one input to the next.
struct Folders {
  std::string root;
  std::string applications;
  std::string entry;
  std::string subfolderEntry;

  Folders() {
    char pattern[] = "/tmp/kavri-fuzz-xdg.XXXXXX";
    root = ::mkdtemp(pattern);
    applications = root + "/data/applications";
    std::string system = root + "/system";
    for (const std::string& folder : {root + "/data", applications, applications + "/sub", system,
                                      system + "/applications", root + "/config"}) {
      ::mkdir(folder.c_str(), 0700);
    }
    entry = applications + "/fuzzed.desktop";
    subfolderEntry = applications + "/sub/fuzzed.desktop";
    std::ofstream(entry) << "[Desktop Entry]\n";
    std::ofstream(subfolderEntry) << "[Desktop Entry]\n";
    ::setenv("HOME", root.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ::setenv("XDG_DATA_DIRS", system.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (root + "/config").c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  ~Folders() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

bool isUtf8Safe(const std::string& text) {
  return text.find('\0') == std::string::npos;
}

std::string unescapeFieldCodes(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    plain += text[i];
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
  }
  return plain;
}

// The words GLib splits line into, or none when it refuses it.
std::optional<std::vector<std::string>> split(const std::string& line) {
  gchar** argv = nullptr;
  if (!g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) return std::nullopt;
  std::vector<std::string> words;
  for (gchar** word = argv; *word; ++word) words.emplace_back(*word);
  g_strfreev(argv);
  return words;
}

// An executable's Exec line must start exactly that file, whichever order the field codes and
// the splitting are undone in.
void checkExecLine(const std::string& path) {
  const std::string line = execLineForExecutable(path);
  const std::vector<std::string> expected{path};
  if (split(unescapeFieldCodes(line)) != expected) __builtin_trap();
  auto words = split(line);
  if (!words || words->size() != 1 || unescapeFieldCodes(words->front()) != path) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Folders folders;
  static std::unique_ptr<Workspace> workspace = makeSharedWorkspace();

  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  std::string name = input.substr(0, newline);
  const std::string body = newline == std::string::npos ? "" : input.substr(newline + 1);
  // A name comes from the command line, which cannot carry a NUL.
  if (name.find('\0') != std::string::npos) return 0;
  for (size_t at = name.find("@DIR@"); at != std::string::npos; at = name.find("@DIR@", at)) {
    name.replace(at, 5, folders.applications);
    at += folders.applications.size();
  }
  std::ofstream(folders.entry, std::ios::binary | std::ios::trunc) << body;
  std::ofstream(folders.subfolderEntry, std::ios::binary | std::ios::trunc) << body;
  checkExecLine(name);

  const std::optional<std::string> path = resolveAppURL(name, *workspace);
  if (path) {
    if (path->empty()) __builtin_trap();
    const std::optional<std::string> identifier = workspace->applicationIdentifier(*path);
    // An identifier is matched against window classes: it is never empty and never carries a
    // NUL that would cut it short there.
    if (identifier && (identifier->empty() || !isUtf8Safe(*identifier))) __builtin_trap();
    // Without a window class, a usable entry in the subfolder is known by its whole id (the
    // fixed places find one that GIO would refuse, and that has no identifier at all).
    if (identifier && *path == folders.subfolderEntry &&
        body.find("StartupWMClass") == std::string::npos && *identifier != "sub-fuzzed") {
      __builtin_trap();
    }
  }
  // The fixed places stay inside the folders they name, whatever the name holds.
  for (const std::string& candidate : workspace->candidatePaths(name)) {
    if (!candidate.ends_with(name + ".desktop")) __builtin_trap();
  }
  const std::optional<std::string> derived = desktopEntryIdentifier(name, body);
  if (derived && derived->empty()) __builtin_trap();
  // A desktop-file id is one word of a flat namespace, wherever the entry lies.
  if (desktopFileId(name, {folders.applications}).find('/') != std::string::npos) __builtin_trap();
  return 0;
}
