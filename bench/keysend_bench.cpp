// Wall time of kavri-keysend runs against a private X server, window manager and a recording
// application, as overhead over the fixed pauses of each command (0.42 s for paste, 1.51 s for
// new-chat). The new-chat figure includes launching the application and waiting for its window
// to become active, which the fixed pauses do not.
//   keysend_bench [runs]
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "process_usage.h"
#include "testing/files.h"
#include "testing/process.h"
#include "testing/wait.h"
#include "testing/x_server.h"

using namespace kavri::testing;
using namespace std::chrono_literals;

namespace {

constexpr double kPasteFixedPauses = 0.42;
constexpr double kNewChatFixedPauses = 1.51;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report(const char* name, double fixed, const std::vector<double>& overheadsMs) {
  auto figures = kavri::bench::summarize(overheadsMs);
  std::printf(
      "%-9s %2zu runs, overhead over %.2f s of fixed pauses: median %.0f ms, min %.0f ms, "
      "max %.0f ms\n",
      name, figures.count, fixed, figures.median, figures.min, figures.max);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  PrivateXServer session(true);  // with a window manager
  if (!session.ready()) {
    std::fprintf(stderr, "no X session (Xvfb and openbox are needed)\n");
    return 1;
  }
  TempDir dir;

  std::filesystem::create_directories(dir.path() + "/paste");
  ChildProcess target({KEYSEND_TARGET_PATH, dir.path() + "/paste"});
  if (!waitUntil([&] { return std::filesystem::exists(dir.path() + "/paste/events"); }, 30s)) {
    std::fprintf(stderr, "the target never got the focus\n");
    return 1;
  }
  std::vector<double> paste;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    RunResult result = runProcess({KAVRI_KEYSEND_PATH, "paste"}, {.input = "bench text"});
    double seconds = secondsSince(start);
    if (result.exitStatus != 0) {
      std::fprintf(stderr, "paste failed: %s", result.err.c_str());
      return 1;
    }
    paste.push_back((seconds - kPasteFixedPauses) * 1000);
  }
  target.stop();
  report("paste", kPasteFixedPauses, paste);

  writeFile(dir.path() + "/data/applications/bench-chat.desktop",
            "[Desktop Entry]\nType=Application\nName=Bench Chat\nStartupWMClass=KeysendTarget\n"
            "Exec=" KEYSEND_TARGET_PATH " " +
                dir.path() + "/chat\n");
  std::filesystem::create_directories(dir.path() + "/chat");
  std::vector<double> newChat;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    RunResult result = runProcess({KAVRI_KEYSEND_PATH, "new-chat", "Bench Chat"},
                                  {.input = "bench prompt",
                                   .environment = {{"XDG_DATA_HOME", dir.path() + "/data"},
                                                   {"XDG_DATA_DIRS", dir.path() + "/none"}}});
    double seconds = secondsSince(start);
    const std::string pidFile = dir.path() + "/chat/pid";
    if (std::filesystem::exists(pidFile)) {
      kill(std::stoi(readFile(pidFile)), SIGTERM);
      std::filesystem::remove(pidFile);
    }
    if (result.exitStatus != 0) {
      std::fprintf(stderr, "new-chat failed: %s", result.err.c_str());
      return 1;
    }
    newChat.push_back((seconds - kNewChatFixedPauses) * 1000);
  }
  report("new-chat", kNewChatFixedPauses, newChat);
  return 0;
}
