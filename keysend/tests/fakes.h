// Fakes of the key sender's seams that write every call into one shared log, so that tests can
// check the order of clipboard, keyboard (see testing/fake_keyboard.h), workspace and clock
// operations across seams.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "clock.h"
#include "pasteboard.h"
#include "testing/fake_keyboard.h"
#include "workspace.h"

namespace kavri::testing {

class FakeClock final : public keysend::Clock {
 public:
  explicit FakeClock(CallLog& log) : log_(log) {}
  double now() override { return time; }
  void sleep(double seconds) override {
    char line[64];
    std::snprintf(line, sizeof line, "sleep %.2f", seconds);
    log_.push_back(line);
    time += seconds;
  }
  double time = 1000.0;

 private:
  CallLog& log_;
};

class FakePasteboard final : public keysend::Pasteboard {
 public:
  explicit FakePasteboard(CallLog& log) : log_(log) {}
  std::optional<std::string> stringForType() override {
    log_.push_back("read pasteboard");
    return contents;
  }
  void clearContents() override {
    log_.push_back("clear pasteboard");
    contents.reset();
  }
  bool setString(const std::string& text) override {
    log_.push_back("set pasteboard " + text);
    if (!settable) return false;
    contents = text;
    return true;
  }
  std::optional<std::string> contents;
  bool settable = true;

 private:
  CallLog& log_;
};

class FakeWorkspace final : public keysend::Workspace {
 public:
  explicit FakeWorkspace(CallLog& log) : log_(log) {}
  bool fileExists(const std::string& path) override {
    log_.push_back("exists? " + path);
    return existing.count(path) > 0;
  }
  std::optional<std::string> fullPathForApplication(const std::string& name) override {
    log_.push_back("lookup " + name);
    auto it = known.find(name);
    if (it == known.end()) return std::nullopt;
    return it->second;
  }
  std::vector<std::string> candidatePaths(const std::string& name) override {
    return {"/apps/" + name + ".desktop", "/home/u/apps/" + name + ".desktop"};
  }
  void openApplication(const std::string& path, OpenCompletion completion) override {
    log_.push_back("open " + path);
    if (openBehaviour) {
      openBehaviour(std::move(completion));
    } else {
      completion(std::nullopt);
    }
  }
  std::optional<std::string> applicationIdentifier(const std::string& path) override {
    log_.push_back("identifier " + path);
    return identifier;
  }
  std::vector<std::string> frontmostApplicationIdentifiers() override {
    log_.push_back("front?");
    if (frontAfterQueries >= 0 && ++frontQueries > frontAfterQueries) return front;
    return {"Other"};
  }

  std::set<std::string> existing;
  std::map<std::string, std::string> known;
  std::function<void(OpenCompletion)> openBehaviour;
  std::optional<std::string> identifier = "ChatApp";
  std::vector<std::string> front = {"ChatApp", "chat-app"};
  int frontAfterQueries = 0;
  int frontQueries = 0;

 private:
  CallLog& log_;
};

}  // namespace kavri::testing
