#include "testing/pulse_server.h"

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "testing/wait.h"

namespace kavri::testing {
namespace {

constexpr auto kPactlTimeout = std::chrono::milliseconds(10'000);
// Each check runs pactl; checking more often would only load the machine.
constexpr auto kServerPollInterval = std::chrono::milliseconds(50);

}  // namespace

std::optional<std::string> sharedPulseServer() {
  const char* server = std::getenv("PULSE_SERVER");
  if (server == nullptr || *server == '\0') return std::nullopt;
  return std::string(server);
}

std::optional<std::string> pactl(const std::string& server,
                                 const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"pactl", "--server=" + server};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto run = runProcess(argv, {.timeout = kPactlTimeout});
  if (run.exitStatus != 0) return std::nullopt;
  return run.out;
}

int recordStreamsOf(const std::string& server, pid_t pid) {
  auto list = pactl(server, {"list", "source-outputs"});
  if (!list) return -1;
  const std::string mark = "application.process.id = \"" + std::to_string(pid) + "\"";
  int found = 0;
  for (size_t at = list->find(mark); at != std::string::npos; at = list->find(mark, at + 1)) {
    ++found;
  }
  return found;
}

bool waitForRecordStreams(const std::string& server, pid_t pid, int count,
                          std::chrono::milliseconds timeout) {
  return waitUntil([&] { return recordStreamsOf(server, pid) == count; }, timeout,
                   kServerPollInterval);
}

std::unique_ptr<ChildProcess> playRaw(const std::string& server, const std::string& sink,
                                      const std::string& path) {
  return std::make_unique<ChildProcess>(
      std::vector<std::string>{"pacat", "--playback", "--server=" + server, "--device=" + sink,
                               "--format=s16le", "--rate=16000", "--channels=1", path});
}

PrivatePulseServer::PrivatePulseServer() {
  std::string pattern = std::filesystem::temp_directory_path() / "kavri-pulse.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return;
  dir_ = pattern;
  address_ = "unix:" + dir_ + "/native";
  ready_ = start();
}

PrivatePulseServer::~PrivatePulseServer() {
  awake_.clear();
  if (process_) process_->stop();
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool PrivatePulseServer::start() {
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{std::string(KAVRI_SOURCE_DIR) + "/scripts/pulse-server", dir_});
  bool answered = false;
  waitUntil(
      [&] {
        answered = pactl({"info"}).has_value();
        return answered || process_->waitForExit(std::chrono::milliseconds(0));
      },
      kPulseServerTimeout, kServerPollInterval);
  return answered;
}

void PrivatePulseServer::kill() {
  if (!process_) return;
  process_->signal(SIGKILL);
  process_->waitForExit(kStopGrace);
}

std::optional<std::string> PrivatePulseServer::pactl(
    const std::vector<std::string>& arguments) const {
  return testing::pactl(address_, arguments);
}

int PrivatePulseServer::recordStreamsOf(pid_t pid) const {
  return testing::recordStreamsOf(address_, pid);
}

bool PrivatePulseServer::waitForRecordStreams(pid_t pid, int count,
                                              std::chrono::milliseconds timeout) const {
  return testing::waitForRecordStreams(address_, pid, count, timeout);
}

void PrivatePulseServer::keepSinksAwake() {
  awake_.clear();
  for (const char* sink : {"kavri_out", "kavri_mic_in"}) {
    awake_.push_back(playRaw(address_, sink, "/dev/zero"));
  }
}

}  // namespace kavri::testing
