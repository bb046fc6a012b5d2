// What the key sender needs of the desktop: finding an application by name, opening it and
// telling which application is in front.
//
// An application is named by a path: on macOS its bundle, on Linux its desktop entry (or, when
// given as an absolute path, an executable). Its identifier is what the front-most window can be
// matched against: on macOS the bundle identifier, on Linux the window class (see the backend).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kavri::keysend {

class Workspace {
 public:
  // Called exactly once, on any thread: none on success, else the error's description.
  using OpenCompletion = std::function<void(std::optional<std::string> error)>;

  virtual ~Workspace() = default;
  // Whether anything (file or folder) exists at path.
  virtual bool fileExists(const std::string& path) = 0;
  // The desktop's own lookup of an application by name; its answer is not checked further.
  virtual std::optional<std::string> fullPathForApplication(const std::string& name) = 0;
  // The fixed places where an application called name may lie, in the order they are tried.
  virtual std::vector<std::string> candidatePaths(const std::string& name) = 0;
  // Opens the application at path and brings it to the front. Returns at once; completion
  // reports the outcome from another thread, possibly after the caller stopped waiting.
  virtual void openApplication(const std::string& path, OpenCompletion completion) = 0;
  // The identifier of the application at path, or none.
  virtual std::optional<std::string> applicationIdentifier(const std::string& path) = 0;
  // The identifiers of the front-most application; empty when none is known.
  virtual std::vector<std::string> frontmostApplicationIdentifiers() = 0;
};

// The workspace of the session this process runs in.
std::unique_ptr<Workspace> makeSharedWorkspace();

}  // namespace kavri::keysend
