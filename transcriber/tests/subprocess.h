// Runs a program for a test, without a shell, and collects what it wrote and how it ended. The
// program is killed (by its pid) when it outlives the timeout, so no test can hang on it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kavri::test {

struct ProcessResult {
  std::string out;
  std::string err;
  std::optional<int> exitStatus;  // when the program exited
  std::optional<int> signal;      // when a signal ended it
  bool timedOut = false;
};

struct ProcessOptions {
  std::chrono::milliseconds timeout = std::chrono::seconds(120);
  // The program's standard output is a pipe whose reading end is closed before it starts.
  bool closedOutput = false;
};

ProcessResult runProcess(const std::vector<std::string>& argv, ProcessOptions options = {});

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Converts audio with sox (arguments as sox takes them); true when sox succeeded.
bool sox(const std::vector<std::string>& arguments);

inline constexpr char kTestData[] = "/usr/share/pocketsphinx/test/data";
// The test recording "go forward ten meters" (16 kHz, 16-bit, mono, headerless).
inline constexpr char kGoForwardRaw[] = "/usr/share/pocketsphinx/test/data/goforward.raw";
// sox's description of that headerless recording.
std::vector<std::string> goForwardInput();

}  // namespace kavri::test
