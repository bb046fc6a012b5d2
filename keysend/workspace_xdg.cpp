// Linux backend of the workspace: applications are XDG desktop entries, found and launched
// through GIO; the front-most application is the one owning the window that the window manager
// names in _NET_ACTIVE_WINDOW.
//
// Identity: the identifier of a desktop entry is its StartupWMClass when it has one, else its
// desktop-file id without ".desktop" (kde-chat for applications/kde/chat.desktop); that of an
// executable given by path is its file name. A window belongs to the application when either
// half of its WM_CLASS (class, instance) equals the identifier exactly.
//
// Opening an application that runs already brings its window to the front instead of starting
// another instance, as opening one does on other desktops; only when none of the window
// manager's windows belongs to it is it launched.
//
// Launching never goes through a shell: GIO splits the Exec line itself and execs the result, so
// quotes, "$(...)" and ";" in an entry or a name stay plain characters.
#include "workspace_xdg.h"

#include <fcntl.h>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "app_activation.h"
#include "lost_server_x11.h"
#include "unique_fd.h"
#include "window_manager_x11.h"
#include "workspace.h"
#include "x11_connection.h"

namespace kavri::keysend {
namespace {

constexpr char kDesktopSuffix[] = ".desktop";

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

std::string baseName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The application at path as GIO sees it, or the reason there is none.
GObjectPtr<GDesktopAppInfo> loadApplication(const std::string& path, std::string& error) {
  if (path.ends_with(kDesktopSuffix)) {
    GObjectPtr<GDesktopAppInfo> info(g_desktop_app_info_new_from_filename(path.c_str()));
    if (!info) error = "“" + path + "” is not a usable desktop entry";
    return info;
  }
  if (!isExecutableFile(path)) {
    error = "“" + path + "” is not an application";
    return nullptr;
  }
  GError* rawError = nullptr;
  GObjectPtr<GAppInfo> info(g_app_info_create_from_commandline(execLineForExecutable(path).c_str(),
                                                               baseName(path).c_str(),
                                                               G_APP_INFO_CREATE_NONE, &rawError));
  GErrorPtr failure(rawError);
  if (!info || !G_IS_DESKTOP_APP_INFO(info.get())) {
    error = failure ? failure->message : "“" + path + "” cannot be started";
    return nullptr;
  }
  return GObjectPtr<GDesktopAppInfo>(G_DESKTOP_APP_INFO(info.release()));
}

std::optional<std::string> launch(const std::string& path) {
  std::string error;
  GObjectPtr<GDesktopAppInfo> info = loadApplication(path, error);
  if (!info) return error;
  GObjectPtr<GAppLaunchContext> context(g_app_launch_context_new());
  // The application must not inherit our standard streams: a host that reads our output to its
  // end would otherwise wait for the application to exit.
  UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  GError* rawError = nullptr;
  const gboolean launched = g_desktop_app_info_launch_uris_as_manager_with_fds(
      info.get(), nullptr, context.get(), G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr,
      null.get(), null.get(), null.get(), &rawError);
  GErrorPtr failure(rawError);
  if (!launched) return failure ? std::string(failure->message) : "the launch failed";
  return std::nullopt;
}

// Brings the application's window to the front when it runs, else launches it; the error's
// description, or none.
std::optional<std::string> openOrActivate(const std::string& path,
                                          const std::optional<std::string>& identifier) {
  if (identifier) {
    if (auto connection = x11::Connection::open(kEndWithLostServer)) {
      if (std::optional<Window> window = findApplicationWindow(*connection, *identifier)) {
        // Beyond the caller's limit for the whole open, nobody waits for the answer any more.
        if (requestActivation(*connection, *window, x11::deadlineAfter(kOpenApplicationTimeout))) {
          return std::nullopt;
        }
        return "the X server did not answer the request to activate the running application";
      }
    }
  }
  return launch(path);
}

std::string environmentOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && value[0] == '/' ? std::string(value) : fallback;
}

// The "applications" folders of the XDG data folders: the user's before the system's, as XDG
// lookups go.
std::vector<std::string> applicationFolders() {
  const char* home = std::getenv("HOME");
  std::vector<std::string> folders{
      environmentOr("XDG_DATA_HOME", std::string(home ? home : "") + "/.local/share") +
      "/applications"};
  const std::string dirs = environmentOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string folder = dirs.substr(start, end - start);
    if (folder.starts_with("/")) folders.push_back(folder + "/applications");
    start = end + 1;
  }
  return folders;
}

class XdgWorkspace final : public Workspace {
 public:
  bool fileExists(const std::string& path) override {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
  }

  std::optional<std::string> fullPathForApplication(const std::string& name) override {
    if (name.empty()) return std::nullopt;
    // By desktop-file id first, then by the name the desktop shows.
    const std::string id = name.ends_with(kDesktopSuffix) ? name : name + kDesktopSuffix;
    if (GObjectPtr<GDesktopAppInfo> info{g_desktop_app_info_new(id.c_str())}) {
      if (const char* file = g_desktop_app_info_get_filename(info.get())) return std::string(file);
    }
    std::optional<std::string> found;
    GList* all = g_app_info_get_all();
    for (GList* item = all; item && !found; item = item->next) {
      auto* app = static_cast<GAppInfo*>(item->data);
      if (!G_IS_DESKTOP_APP_INFO(app)) continue;
      const char* shown = g_app_info_get_name(app);
      const char* file = g_desktop_app_info_get_filename(G_DESKTOP_APP_INFO(app));
      if (shown && file && name == shown) found = file;
    }
    g_list_free_full(all, g_object_unref);
    return found;
  }

  std::vector<std::string> candidatePaths(const std::string& name) override {
    std::vector<std::string> candidates;
    for (const auto& folder : applicationFolders()) {
      candidates.push_back(folder + "/" + name + kDesktopSuffix);
    }
    return candidates;
  }

  void openApplication(const std::string& path, OpenCompletion completion) override {
    std::optional<std::string> identifier = applicationIdentifier(path);
    // GIO's launch blocks (and may block on D-Bus activation), and so does an X server slow to
    // answer; the caller waits with a limit.
    std::thread([path, identifier = std::move(identifier), completion = std::move(completion)] {
      completion(openOrActivate(path, identifier));
    }).detach();
  }

  std::optional<std::string> applicationIdentifier(const std::string& path) override {
    if (path.ends_with(kDesktopSuffix)) {
      GObjectPtr<GDesktopAppInfo> info(g_desktop_app_info_new_from_filename(path.c_str()));
      if (!info) return std::nullopt;
      const char* wmClass = g_desktop_app_info_get_startup_wm_class(info.get());
      return desktopEntryIdentifier(
          path, wmClass ? std::optional<std::string>(wmClass) : std::nullopt, applicationFolders());
    }
    if (isExecutableFile(path)) return baseName(path);
    return std::nullopt;
  }

  std::vector<std::string> frontmostApplicationIdentifiers() override {
    if (!connection_) connection_ = x11::Connection::open(kEndWithLostServer);
    if (!connection_) return {};
    return activeWindowClass(*connection_);
  }

 private:
  std::unique_ptr<x11::Connection> connection_;
};

}  // namespace

std::string execLineForExecutable(const std::string& path) {
  GCharPtr quoted(g_shell_quote(path.c_str()));
  // Exec field codes start with '%'; a literal one must be doubled, even inside quotes.
  std::string line;
  for (const char* c = quoted.get(); *c; ++c) {
    line += *c;
    if (*c == '%') line += '%';
  }
  return line;
}

std::unique_ptr<Workspace> makeSharedWorkspace() {
  return std::make_unique<XdgWorkspace>();
}

}  // namespace kavri::keysend
