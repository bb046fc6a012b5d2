// What a running process costs, as /proc tells it: CPU time, resident and proportional memory.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace kavri::bench {

struct ProcessUsage {
  double cpuSeconds = 0;
  long rssKiB = 0;
  long peakRssKiB = 0;
  // Resident memory with every page shared with other processes (libraries) counted at its share:
  // what the process adds to the machine.
  long pssKiB = 0;
};

// The value of the line that begins with `key` in a /proc file of "Key:   value kB" lines.
inline long procKiB(const std::string& path, const std::string& key) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  }
  return 0;
}

inline ProcessUsage usageOf(pid_t pid) {
  ProcessUsage usage;
  const std::string proc = "/proc/" + std::to_string(pid);
  std::ifstream stat(proc + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(text.substr(close + 2));
    std::vector<std::string> values;
    std::string value;
    while (fields >> value) values.push_back(value);
    // utime and stime are fields 14 and 15 of the whole line, 12 and 13 after the name.
    if (values.size() > 12) {
      usage.cpuSeconds = (std::stod(values[11]) + std::stod(values[12])) /
                         static_cast<double>(sysconf(_SC_CLK_TCK));
    }
  }
  usage.rssKiB = procKiB(proc + "/status", "VmRSS:");
  usage.peakRssKiB = procKiB(proc + "/status", "VmHWM:");
  usage.pssKiB = procKiB(proc + "/smaps_rollup", "Pss:");
  return usage;
}

inline double mebibytes(long kib) {
  return static_cast<double>(kib) / 1024.0;
}

}  // namespace kavri::bench
