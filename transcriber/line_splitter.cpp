#include "line_splitter.h"

namespace kavri {

std::vector<std::string> LineSplitter::push(std::string_view bytes) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t lineFeed = bytes.find('\n', pos);
    size_t end = lineFeed == std::string_view::npos ? bytes.size() : lineFeed;
    std::string_view piece = bytes.substr(pos, end - pos);
    if (!discarding_) {
      if (pending_.size() + piece.size() > maxLineBytes_) {
        std::string().swap(pending_);
        discarding_ = true;
      } else {
        pending_.append(piece);
      }
    }
    if (lineFeed == std::string_view::npos) break;
    if (!discarding_) lines.push_back(std::move(pending_));
    pending_.clear();
    discarding_ = false;
    pos = lineFeed + 1;
  }
  return lines;
}

}  // namespace kavri
