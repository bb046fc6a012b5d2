// Fakes of the key sender's seams that write every call into one shared log, so that tests can
// check the order of clipboard, keyboard, workspace and clock operations across seams.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "clock.h"
#include "keyboard_events.h"
#include "pasteboard.h"
#include "workspace.h"

namespace kavri::keysend::testing {

using Log = std::vector<std::string>;

class FakeClock final : public Clock {
 public:
  explicit FakeClock(Log& log) : log_(log) {}
  double now() override { return time; }
  void sleep(double seconds) override {
    char line[64];
    std::snprintf(line, sizeof line, "sleep %.2f", seconds);
    log_.push_back(line);
    time += seconds;
  }
  double time = 1000.0;

 private:
  Log& log_;
};

class FakeKeyEvent final : public keys::KeyEvent {
 public:
  FakeKeyEvent(Log& log, uint16_t key, bool down) : log_(log), key(key), down(down) {}
  void setFlags(uint64_t value) override {
    log_.push_back("setFlags " + name() + " " + std::to_string(value));
    flagsValue = value;
  }
  uint64_t flags() const override { return flagsValue; }
  std::string name() const { return std::to_string(key) + (down ? " down" : " up"); }

  Log& log_;
  uint16_t key;
  bool down;
  uint64_t flagsValue = 0;
};

class FakeKeyboardEvents final : public keys::KeyboardEvents {
 public:
  explicit FakeKeyboardEvents(Log& log) : log_(log) {}

  std::unique_ptr<keys::KeyEventSource> createSource() override {
    log_.push_back("createSource");
    if (!sourceAvailable) return nullptr;
    return std::make_unique<keys::KeyEventSource>();
  }
  std::unique_ptr<keys::KeyEvent> createKeyboardEvent(keys::KeyEventSource*, uint16_t keyCode,
                                                      bool keyDown) override {
    auto event = std::make_unique<FakeKeyEvent>(log_, keyCode, keyDown);
    if (failingKeys.count({keyCode, keyDown})) {
      log_.push_back("create " + event->name() + " failed");
      return nullptr;
    }
    log_.push_back("create " + event->name());
    return event;
  }
  void post(keys::KeyEvent& event) override {
    auto& fake = dynamic_cast<FakeKeyEvent&>(event);
    log_.push_back("post " + fake.name() + " flags " + std::to_string(fake.flagsValue));
  }
  bool isProcessTrusted() override {
    ++trustQueries;
    bool answer = trustedAfterQueries >= 0 && trustQueries > trustedAfterQueries;
    log_.push_back(answer ? "trusted" : "untrusted");
    return answer;
  }
  bool isProcessTrustedWithOptions(bool prompt) override {
    log_.push_back(prompt ? "prompt" : "trust query");
    return false;
  }

  bool sourceAvailable = true;
  std::set<std::pair<uint16_t, bool>> failingKeys;
  // Trusted from the query after this many untrusted ones; negative: never.
  int trustedAfterQueries = 0;
  int trustQueries = 0;

 private:
  Log& log_;
};

class FakePasteboard final : public Pasteboard {
 public:
  explicit FakePasteboard(Log& log) : log_(log) {}
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
  Log& log_;
};

class FakeWorkspace final : public Workspace {
 public:
  explicit FakeWorkspace(Log& log) : log_(log) {}
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
  Log& log_;
};

}  // namespace kavri::keysend::testing
