// The system clipboard as the key sender uses it: one plain-text string, read, cleared and set.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace kavri::keysend {

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  // The current plain-text string, or none when nobody offers one (or the owner does not answer
  // in time).
  virtual std::optional<std::string> stringForType() = 0;
  // Drops whatever the clipboard holds, of every kind.
  virtual void clearContents() = 0;
  // Makes text the clipboard's plain-text string. False when the clipboard could not be taken.
  virtual bool setString(const std::string& text) = 0;
};

// The general clipboard of the session this process runs in.
std::unique_ptr<Pasteboard> makeGeneralPasteboard();

}  // namespace kavri::keysend
