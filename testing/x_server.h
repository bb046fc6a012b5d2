// An X server of the test's own (Xvfb), with a window manager when the test needs one. Tests
// that have their own server cannot see each other's keystrokes and focus, and may take it away.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "testing/files.h"
#include "testing/process.h"

namespace kavri::testing {

inline constexpr std::chrono::milliseconds kXServerStartTimeout{20'000};

// DISPLAY names the server while it lives, and what it named before once it is gone.
class PrivateXServer {
 public:
  // With a window manager (openbox), ready once the manager has announced itself.
  explicit PrivateXServer(bool withWindowManager = false);
  ~PrivateXServer();
  PrivateXServer(const PrivateXServer&) = delete;
  PrivateXServer& operator=(const PrivateXServer&) = delete;

  bool ready() const { return ready_; }
  const std::string& display() const { return display_; }
  // Ends the server (and the window manager with it), as a crash or a logout would. Every
  // connection of this process must be closed first: Xlib ends a process whose connection
  // breaks under it.
  void stop();
  // A stopped (SIGSTOP) server keeps its connections and answers nothing, as a hung one does;
  // thawed, it takes in what was sent meanwhile.
  void freeze(bool frozen);

 private:
  bool waitForWindowManager();

  std::optional<std::string> previousDisplay_;
  std::string display_;
  TempDir home_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> windowManager_;
  bool ready_ = false;
};

}  // namespace kavri::testing
