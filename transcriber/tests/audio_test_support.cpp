#include "audio_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace kavri::testing {

std::optional<std::string> sharedPulseServer() {
  const char* server = std::getenv("PULSE_SERVER");
  if (server == nullptr || *server == '\0') return std::nullopt;
  return std::string(server);
}

Process::Process(const std::vector<std::string>& argv, const Options& options) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text(*entry);
    std::string name = text.substr(0, text.find('='));
    if (options.environment.count(name) == 0) environment.push_back(text);
  }
  for (const auto& [name, value] : options.environment) {
    if (value) environment.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);

  int inPipe[2] = {-1, -1};
  int outPipe[2] = {-1, -1};
  if (options.pipeStdin && ::pipe2(inPipe, O_CLOEXEC) != 0) return;
  if (options.pipeStdout && ::pipe2(outPipe, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.pipeStdin) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  if (options.pipeStdout) posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  if (options.silenceStderr)
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int failed = ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (options.pipeStdin) {
    ::close(inPipe[0]);
    stdin_ = inPipe[1];
  }
  if (options.pipeStdout) {
    ::close(outPipe[1]);
    stdout_ = outPipe[0];
  }
  if (failed == 0) pid_ = pid;
}

Process::~Process() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (stdin_ >= 0) ::close(stdin_);
  if (stdout_ >= 0) ::close(stdout_);
}

std::optional<int> Process::waitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reaped_) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(10ms);
  }
  return exitStatus_;
}

void Process::signal(int sig) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

void Process::writeLine(const std::string& line) {
  if (stdin_ < 0) return;
  std::string text = line + "\n";
  const char* data = text.data();
  size_t size = text.size();
  while (size > 0) {
    ssize_t n = ::write(stdin_, data, size);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void Process::closeStdin() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

std::optional<std::string> Process::readLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return line;
    }
    if (stdout_ < 0) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd fd{stdout_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    ssize_t n = ::read(stdout_, buffer, sizeof buffer);
    if (n <= 0) {
      ::close(stdout_);
      stdout_ = -1;
      continue;
    }
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

std::optional<std::string> runCommand(const std::vector<std::string>& argv,
                                      std::chrono::milliseconds timeout) {
  Process::Options options;
  options.pipeStdout = true;
  Process process(argv, options);
  if (!process.started()) return std::nullopt;
  std::string output;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (auto line = process.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
             deadline - std::chrono::steady_clock::now()))) {
    output += *line + "\n";
  }
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  auto status = process.waitExit(std::max(left, std::chrono::milliseconds(0)));
  if (!status || *status != 0) return std::nullopt;
  return output;
}

std::optional<std::string> pactl(const std::string& server, std::vector<std::string> arguments) {
  std::vector<std::string> argv{"pactl", "--server=" + server};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runCommand(argv);
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
  for (auto deadline = std::chrono::steady_clock::now() + timeout;
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
    if (recordStreamsOf(server, pid) == count) return true;
  }
  return false;
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

PrivatePulseServer::PrivatePulseServer() {
  std::string pattern = std::filesystem::temp_directory_path() / "kavri-pulse.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return;
  dir_ = pattern;
  address_ = "unix:" + dir_ + "/native";
  process_ = std::make_unique<Process>(
      std::vector<std::string>{std::string(KAVRI_SOURCE_DIR) + "/scripts/pulse-server", dir_});
  auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pactl({"info"})) {
      ready_ = true;
      break;
    }
    if (process_->waitExit(0ms)) break;
    std::this_thread::sleep_for(50ms);
  }
}

PrivatePulseServer::~PrivatePulseServer() {
  if (process_) {
    process_->signal(SIGTERM);
    if (!process_->waitExit(5s)) process_->signal(SIGKILL);
    process_->waitExit(5s);
  }
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

void PrivatePulseServer::kill() {
  if (!process_) return;
  process_->signal(SIGKILL);
  process_->waitExit(5s);
}

std::optional<std::string> PrivatePulseServer::pactl(std::vector<std::string> arguments) {
  return testing::pactl(address_, std::move(arguments));
}

ToneFile::ToneFile(double frequency, std::chrono::milliseconds duration, double amplitude) {
  std::string pattern = std::filesystem::temp_directory_path() / "kavri-tone.XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return;
  ::close(fd);
  path_ = pattern;
  size_t frames = static_cast<size_t>(kRate * static_cast<double>(duration.count()) / 1000.0);
  std::vector<int16_t> samples(frames);
  for (size_t i = 0; i < frames; ++i) {
    samples[i] = static_cast<int16_t>(
        std::lround(amplitude * 32767.0 * std::sin(2.0 * M_PI * frequency * i / kRate)));
  }
  std::ofstream out(path_, std::ios::binary);
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * sizeof(int16_t)));
}

ToneFile::~ToneFile() {
  if (!path_.empty()) std::filesystem::remove(path_);
}

std::unique_ptr<Process> playRaw(const std::string& server, const std::string& sink,
                                 const std::string& path) {
  return std::make_unique<Process>(
      std::vector<std::string>{"pacat", "--playback", "--server=" + server, "--device=" + sink,
                               "--format=s16le", "--rate=16000", "--channels=1", path});
}

std::vector<float> firstChannel(audio::AudioFormat format, const std::byte* data, size_t frames) {
  std::vector<float> out(frames);
  size_t stride = format.bytesPerFrame();
  for (size_t i = 0; i < frames; ++i) {
    const std::byte* p = data + i * stride;
    switch (format.sampleFormat) {
      case audio::SampleFormat::u8:
        out[i] = (static_cast<float>(std::to_integer<uint8_t>(p[0])) - 128.0f) / 128.0f;
        break;
      case audio::SampleFormat::s16: {
        int16_t v;
        std::memcpy(&v, p, sizeof v);
        out[i] = static_cast<float>(v) / 32768.0f;
        break;
      }
      case audio::SampleFormat::s24: {
        int32_t v = std::to_integer<int32_t>(p[0]) | (std::to_integer<int32_t>(p[1]) << 8) |
                    (std::to_integer<int32_t>(p[2]) << 16);
        if (v & 0x800000) v -= 0x1000000;
        out[i] = static_cast<float>(v) / 8388608.0f;
        break;
      }
      case audio::SampleFormat::s32: {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        out[i] = static_cast<float>(v / 2147483648.0);
        break;
      }
      case audio::SampleFormat::float32:
        std::memcpy(&out[i], p, sizeof(float));
        break;
    }
  }
  return out;
}

namespace {
// Windows of this many seconds are judged loud or quiet as a whole.
constexpr double kWindowSeconds = 0.02;
// A tone at half of full scale has an RMS of 0.35; silence and dither stay far below this.
constexpr double kLoudRms = 0.1;

template <typename Visit>
void forEachLoudWindow(const std::vector<float>& samples, double rate, Visit visit) {
  if (rate <= 0) return;
  size_t window = static_cast<size_t>(rate * kWindowSeconds);
  for (size_t start = 0; start + window <= samples.size(); start += window) {
    double sum = 0;
    for (size_t i = start; i < start + window; ++i) sum += samples[i] * samples[i];
    if (std::sqrt(sum / window) >= kLoudRms) visit(start, window);
  }
}
}  // namespace

void AudioCollector::add(audio::AudioFormat format, const std::byte* data, size_t frames) {
  auto channel = firstChannel(format, data, frames);
  {
    std::lock_guard<std::mutex> hold(lock_);
    rate_ = format.sampleRate;
    ++deliveries_;
    samples_.insert(samples_.end(), channel.begin(), channel.end());
  }
  changed_.notify_all();
}

size_t AudioCollector::deliveries() const {
  std::lock_guard<std::mutex> hold(lock_);
  return deliveries_;
}

bool AudioCollector::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, timeout, done);
}

bool AudioCollector::waitForDeliveries(size_t count, std::chrono::milliseconds timeout) {
  return waitFor([&] { return deliveries_ >= count; }, timeout);
}

bool AudioCollector::waitForLoudSeconds(double seconds, std::chrono::milliseconds timeout) {
  return waitFor([&] { return loudSecondsLocked() >= seconds; }, timeout);
}

double AudioCollector::loudSecondsLocked() const {
  double seconds = 0;
  forEachLoudWindow(samples_, rate_, [&](size_t, size_t window) { seconds += window / rate_; });
  return seconds;
}

double AudioCollector::loudSeconds() const {
  std::lock_guard<std::mutex> hold(lock_);
  return loudSecondsLocked();
}

double AudioCollector::loudFrequency() const {
  std::lock_guard<std::mutex> hold(lock_);
  size_t crossings = 0;
  size_t samples = 0;
  forEachLoudWindow(samples_, rate_, [&](size_t start, size_t window) {
    for (size_t i = start + 1; i < start + window; ++i) {
      if ((samples_[i - 1] < 0) != (samples_[i] < 0)) ++crossings;
    }
    samples += window - 1;
  });
  if (samples == 0) return 0;
  return crossings / 2.0 / (samples / rate_);
}

}  // namespace kavri::testing
