// A child driven as a host drives it: command lines on its standard input, and one JSON object a
// line on its standard output, read as they come. Every line read is kept, for the test's checks
// and for its failure messages.
#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "testing/process.h"

namespace kavri::testing {

using Json = nlohmann::json;

class JsonLinesChild : public ChildProcess {
 public:
  // Standard error stays the test's, so that a sanitizer's report from the child shows.
  explicit JsonLinesChild(const std::vector<std::string>& argv,
                          const Environment& environment = {});

  void send(const std::string& command) { writeLine(command); }

  // The next line; one that is not JSON comes as a discarded value, which equals no event.
  std::optional<Json> next(std::chrono::milliseconds timeout = kLineTimeout);
  // Reads until an object satisfies `wanted` (or has "event" equal to `name`); none when the
  // output ends, a line is no JSON object, or the deadline passes first.
  std::optional<Json> until(const std::function<bool(const Json&)>& wanted,
                            std::chrono::milliseconds timeout = kLineTimeout);
  std::optional<Json> until(const std::string& name,
                            std::chrono::milliseconds timeout = kLineTimeout);

  // What was read so far: every object with "event" equal to `name`, how many objects satisfy
  // `which`, and every line as it came.
  std::vector<Json> seen(const std::string& name) const;
  size_t count(const std::function<bool(const Json&)>& which) const;
  std::string history() const;

 private:
  std::vector<std::string> lines_;
  std::vector<Json> seen_;  // the lines that are objects
};

// Whether the object's "event" is name.
bool isEvent(const Json& object, const std::string& name);
// Each line of text parsed; a line that is not JSON becomes a discarded value.
std::vector<Json> parseJsonLines(const std::string& text);

}  // namespace kavri::testing
