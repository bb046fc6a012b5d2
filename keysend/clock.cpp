#include "clock.h"

#include <chrono>
#include <thread>

namespace kavri::keysend {
namespace {

class SystemClock final : public Clock {
 public:
  double now() override {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  void sleep(double seconds) override {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
};

}  // namespace

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace kavri::keysend
