// Waiting for a condition that another process or thread brings about.
#pragma once

#include <chrono>
#include <functional>

namespace kavri::testing {

inline constexpr std::chrono::milliseconds kWaitTimeout{15'000};
inline constexpr std::chrono::milliseconds kPollInterval{20};

// Tests condition every interval until it holds (true) or the timeout passes (false).
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = kWaitTimeout,
               std::chrono::milliseconds interval = kPollInterval);

}  // namespace kavri::testing
