#include "test_support.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kavri::keysend::testing {
namespace {

std::vector<std::string> environmentWith(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry; ++entry) {
    std::string line(*entry);
    std::string name = line.substr(0, line.find('='));
    if (!changes.count(name)) result.push_back(line);
  }
  for (const auto& [name, value] : changes) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> env = environmentWith(options.environment);
  auto argp = pointers(args);
  auto envp = pointers(env);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  ProcessResult result;
  if (spawned != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return result;
  }
  signal(SIGPIPE, SIG_IGN);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  size_t written = 0;
  int inFd = in[1];
  if (options.input.empty() && !options.holdInputOpen) {
    close(inFd);
    inFd = -1;
  }
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(options.timeoutSeconds);
  int outFd = out[0], errFd = err[0];
  while (outFd >= 0 || errFd >= 0) {
    std::vector<pollfd> fds;
    if (outFd >= 0) fds.push_back({outFd, POLLIN, 0});
    if (errFd >= 0) fds.push_back({errFd, POLLIN, 0});
    const bool writing = inFd >= 0 && written < options.input.size();
    if (writing) fds.push_back({inFd, POLLOUT, 0});
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (const auto& fd : fds) {
      if (!fd.revents) continue;
      if (fd.fd == inFd) {
        ssize_t n = write(inFd, options.input.data() + written, options.input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) written = options.input.size();
        if (written == options.input.size() && !options.holdInputOpen) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      char buffer[65536];
      ssize_t n = read(fd.fd, buffer, sizeof buffer);
      std::string& sink = fd.fd == outFd ? result.out : result.err;
      if (n > 0) {
        sink.append(buffer, static_cast<size_t>(n));
      } else {
        close(fd.fd);
        (fd.fd == outFd ? outFd : errFd) = -1;
      }
    }
  }
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (inFd >= 0) close(inFd);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

pid_t startProcess(const std::vector<std::string>& argv,
                   const std::map<std::string, std::optional<std::string>>& environment) {
  std::vector<std::string> args = argv;
  std::vector<std::string> env = environmentWith(environment);
  auto argp = pointers(args);
  auto envp = pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void stopProcess(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 250; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
}

bool waitUntil(const std::function<bool()>& condition, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

std::vector<pid_t> processesOf(const std::string& executable, const std::string& environmentEntry) {
  std::vector<pid_t> found;
  const auto wanted = std::filesystem::canonical(executable);
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code error;
    auto exe = std::filesystem::read_symlink(entry.path() / "exe", error);
    if (error || exe != wanted) continue;
    if (readFile((entry.path() / "stat").string()).find(") Z ") != std::string::npos) continue;
    if (!environmentEntry.empty()) {
      const std::string environment = readFile((entry.path() / "environ").string());
      bool matches = false;
      for (size_t start = 0; start < environment.size() && !matches;) {
        size_t end = environment.find('\0', start);
        if (end == std::string::npos) end = environment.size();
        matches = environment.compare(start, end - start, environmentEntry) == 0;
        start = end + 1;
      }
      if (!matches) continue;
    }
    found.push_back(std::stoi(name));
  }
  return found;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

bool fileExists(const std::string& path) {
  return std::filesystem::exists(path);
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/kavri-keysend-test.XXXXXX";
  path_ = mkdtemp(pattern);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

XSession::XSession() {
  if (const char* current = std::getenv("DISPLAY")) previousDisplay_ = current;
  int displayPipe[2];
  if (pipe(displayPipe) != 0) return;
  // -displayfd picks a free display and writes its number once the server accepts clients.
  server_ = fork();
  if (server_ == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    close(displayPipe[0]);
    std::string fd = std::to_string(displayPipe[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
           "tcp", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(displayPipe[1]);
  std::string number;
  pollfd fd{displayPipe[0], POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (poll(&fd, 1, 200) <= 0) continue;
    char buffer[32];
    ssize_t n = read(displayPipe[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<size_t>(n));
  }
  close(displayPipe[0]);
  if (number.find('\n') == std::string::npos) return;
  display_ = ":" + number.substr(0, number.find('\n'));
  setenv("DISPLAY", display_.c_str(), 1);
  // A configuration folder of our own keeps the user's settings out; the font cache stays the
  // user's, since building a new one delays the first window by seconds.
  windowManager_ =
      startProcess({"/usr/bin/openbox", "--sm-disable"}, {{"XDG_CONFIG_HOME", home_.path()}});
  // The window manager is up once it announces itself on the root window.
  Display* display = XOpenDisplay(display_.c_str());
  if (!display) return;
  Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  ready_ = waitUntil([&] {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, AnyPropertyType,
                       &type, &format, &count, &after, &data);
    if (data) XFree(data);
    return count == 1;
  });
  XCloseDisplay(display);
}

void XSession::stopServer() {
  stopProcess(windowManager_);
  stopProcess(server_);
  windowManager_ = server_ = -1;
}

XSession::~XSession() {
  stopProcess(windowManager_);
  stopProcess(server_);
  if (previousDisplay_) {
    setenv("DISPLAY", previousDisplay_->c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
}

SilentClipboardOwner::SilentClipboardOwner() {
  Display* display = XOpenDisplay(nullptr);
  display_ = display;
  if (!display) return;
  Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  XSetSelectionOwner(display, clipboard, window, CurrentTime);
  owns_ = XGetSelectionOwner(display, clipboard) == window;
}

SilentClipboardOwner::~SilentClipboardOwner() {
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
}

namespace {
// The reader of a stalled transfer may be gone by the time we write to its window.
int ignoreErrors(Display*, XErrorEvent*) {
  return 0;
}
}  // namespace

StallingClipboardOwner::StallingClipboardOwner(Mode mode) : mode_(mode) {
  XSetErrorHandler(ignoreErrors);
  Display* display = XOpenDisplay(nullptr);
  display_ = display;
  if (!display) return;
  window_ = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  XSetSelectionOwner(display, clipboard, window_, CurrentTime);
  owns_ = XGetSelectionOwner(display, clipboard) == window_;
  thread_ = std::thread([this] { serve(); });
}

StallingClipboardOwner::~StallingClipboardOwner() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (display_) XCloseDisplay(static_cast<Display*>(display_));
  XSetErrorHandler(nullptr);
}

void StallingClipboardOwner::serve() {
  auto* display = static_cast<Display*>(display_);
  const Atom targets = XInternAtom(display, "TARGETS", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  const Atom incr = XInternAtom(display, "INCR", False);
  constexpr int kChunksBeforeStopping = 3;
  const std::string chunk(100, 'x');
  struct Reader {
    Window window = None;
    Atom property = None;
    bool wantsChunk = false;
  } reader;
  auto lastChunk = std::chrono::steady_clock::now();
  auto sendChunk = [&] {
    XChangeProperty(display, reader.window, reader.property, utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(chunk.data()),
                    static_cast<int>(chunk.size()));
    XFlush(display);
    reader.wantsChunk = false;
    lastChunk = std::chrono::steady_clock::now();
    ++chunks_;
  };
  while (!stop_) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete &&
          event.xproperty.window == reader.window && event.xproperty.atom == reader.property) {
        reader.wantsChunk = true;
        if (mode_ == Mode::stopsMidTransfer && chunks_ < kChunksBeforeStopping) sendChunk();
      }
      if (event.type != SelectionRequest) continue;
      const XSelectionRequestEvent& request = event.xselectionrequest;
      XEvent reply{};
      reply.xselection.type = SelectionNotify;
      reply.xselection.requestor = request.requestor;
      reply.xselection.selection = request.selection;
      reply.xselection.target = request.target;
      reply.xselection.property = None;
      reply.xselection.time = request.time;
      if (request.target == targets) {
        const Atom offered[] = {targets, utf8, XA_STRING};
        XChangeProperty(display, request.requestor, request.property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(offered), 3);
        reply.xselection.property = request.property;
      } else if (request.target == utf8 || request.target == XA_STRING) {
        ++requests_;
        if (mode_ == Mode::neverConverts) continue;
        reader = {request.requestor, request.property, false};
        XSelectInput(display, request.requestor, PropertyChangeMask);
        const long size = 1 << 20;
        XChangeProperty(display, request.requestor, request.property, incr, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&size), 1);
        reply.xselection.property = request.property;
      }
      XSendEvent(display, request.requestor, False, NoEventMask, &reply);
      XFlush(display);
    }
    if (mode_ == Mode::trickles && reader.wantsChunk &&
        std::chrono::steady_clock::now() - lastChunk > std::chrono::milliseconds(500)) {
      sendChunk();
    }
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, 20);
  }
}

bool pointActiveWindowAtAGoneWindow() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  Window gone = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XDestroyWindow(display, gone);
  const long value = static_cast<long>(gone);
  XChangeProperty(display, DefaultRootWindow(display),
                  XInternAtom(display, "_NET_ACTIVE_WINDOW", False), XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&value), 1);
  XCloseDisplay(display);
  return true;
}

}  // namespace kavri::keysend::testing
