#include "live_command.h"

#include <vector>

#include "command_line.h"
#include "unicode_text.h"

namespace kavri {

LiveCommand parseLiveCommand(std::string_view line) {
  if (!text::isValidUtf8(line)) return {};
  std::string_view trimmed = text::trimHorizontalSpace(line);
  // Whole characters: "start" followed by a combining mark is not "start".
  if (text::hasCharacterPrefix(trimmed, "start")) {
    std::vector<std::string_view> words;
    size_t pos = 0;
    while (pos <= trimmed.size()) {
      size_t space = trimmed.find(' ', pos);
      if (space == std::string_view::npos) space = trimmed.size();
      if (space > pos) words.push_back(trimmed.substr(pos, space - pos));
      pos = space + 1;
    }
    LiveCommand command{LiveCommand::Kind::start, kDefaultLocale, kDefaultSource};
    if (words.size() >= 2) command.localeId = words[1];
    if (words.size() >= 3) command.source = words[2];
    return command;
  }
  if (trimmed == "stop") return {LiveCommand::Kind::stop, {}, {}};
  if (trimmed == "cancel") return {LiveCommand::Kind::cancel, {}, {}};
  if (trimmed == "quit") return {LiveCommand::Kind::quit, {}, {}};
  return {};
}

}  // namespace kavri
