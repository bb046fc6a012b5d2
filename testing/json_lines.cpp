#include "testing/json_lines.h"

#include <algorithm>
#include <sstream>

namespace kavri::testing {

bool isEvent(const Json& object, const std::string& name) {
  return object.is_object() && object.value("event", "") == name;
}

std::vector<Json> parseJsonLines(const std::string& text) {
  std::vector<Json> parsed;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    parsed.push_back(Json::parse(line, nullptr, false));
  }
  return parsed;
}

JsonLinesChild::JsonLinesChild(const std::vector<std::string>& argv, const Environment& environment)
    : ChildProcess(argv, {.environment = environment,
                          .pipeStdin = true,
                          .pipeStdout = true,
                          .silenceStderr = false}) {}

std::optional<Json> JsonLinesChild::next(std::chrono::milliseconds timeout) {
  auto line = readLine(timeout);
  if (!line) return std::nullopt;
  lines_.push_back(*line);
  Json object = Json::parse(*line, nullptr, false);
  if (object.is_object()) seen_.push_back(object);
  return object;
}

std::optional<Json> JsonLinesChild::until(const std::function<bool(const Json&)>& wanted,
                                          std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto object = next(left);
    if (!object || !object->is_object()) return std::nullopt;
    if (wanted(*object)) return object;
  }
}

std::optional<Json> JsonLinesChild::until(const std::string& name,
                                          std::chrono::milliseconds timeout) {
  return until([&name](const Json& object) { return isEvent(object, name); }, timeout);
}

std::vector<Json> JsonLinesChild::seen(const std::string& name) const {
  std::vector<Json> found;
  std::copy_if(seen_.begin(), seen_.end(), std::back_inserter(found),
               [&name](const Json& object) { return isEvent(object, name); });
  return found;
}

size_t JsonLinesChild::count(const std::function<bool(const Json&)>& which) const {
  return static_cast<size_t>(std::count_if(seen_.begin(), seen_.end(), which));
}

std::string JsonLinesChild::history() const {
  std::string text;
  for (const auto& line : lines_) text += line + "\n";
  return text;
}

}  // namespace kavri::testing
