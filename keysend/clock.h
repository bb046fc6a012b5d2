// Wall-clock time and blocking sleeps, both in seconds, behind a seam so that tests run the key
// sender's waits on a fake clock.
#pragma once

namespace kavri::keysend {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual double now() = 0;
  virtual void sleep(double seconds) = 0;
};

Clock& systemClock();

}  // namespace kavri::keysend
