// Cuts a byte stream into lines at line feeds, keeping an incomplete line until the rest comes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kavri {

// A command line is a few dozen bytes; a "line" that runs past this many bytes without a line
// feed is noise or a runaway writer, and keeping it would let the input grow memory without end.
inline constexpr size_t kMaxLineBytes = 64 * 1024;

class LineSplitter {
 public:
  explicit LineSplitter(size_t maxLineBytes = kMaxLineBytes) : maxLineBytes_(maxLineBytes) {}

  // Appends the bytes and returns every line they complete, in order, without their line feeds.
  // A line longer than the limit is dropped whole, up to and including its line feed; the line
  // after it is read normally.
  std::vector<std::string> push(std::string_view bytes);

  // Bytes held for the line in progress (never more than the limit).
  size_t pendingSize() const { return pending_.size(); }

 private:
  size_t maxLineBytes_;
  std::string pending_;
  bool discarding_ = false;
};

}  // namespace kavri
