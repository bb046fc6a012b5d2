// What a running process costs, as /proc tells it: CPU time, resident and proportional memory;
// and how the benchmarks sum up the figures of several runs.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
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

// The value `p` of the way up the sorted values, to the nearest one: 0.5 gives the median (the
// upper middle of an even count), 1 the largest. None when there are no values.
template <typename T>
T percentile(std::vector<T> values, double p) {
  if (values.empty()) return T{};
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

template <typename T>
T median(std::vector<T> values) {
  return percentile(std::move(values), 0.5);
}

struct Summary {
  double median = 0;
  double min = 0;
  double max = 0;
  size_t count = 0;
};

inline Summary summarize(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back(), values.size()};
}

}  // namespace kavri::bench
