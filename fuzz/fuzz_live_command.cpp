// The live command channel as a byte stream cut at arbitrary points: the line splitter, the
// command grammar and the real reader over a pipe must agree with a reading of the whole stream
// at once, whatever the cuts.
//
// Input: byte 0 chooses the line limit (below 0x80 a small one, 1 to 64 bytes, so that the limit
// is reached by short inputs; else the program's own), byte 1 the number n of cut lengths (0 to
// 15), the next n bytes the lengths of the pieces, used in turn; the rest is the stream.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "command_reader.h"
#include "line_splitter.h"
#include "live_command.h"
#include "unicode_text.h"

using kavri::LiveCommand;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Every complete line of the stream, read in one go; those over the limit are dropped.
std::vector<std::string> wholeStreamLines(std::string_view stream, size_t limit) {
  std::vector<std::string> lines;
  size_t pos = 0;
  for (size_t lineFeed; (lineFeed = stream.find('\n', pos)) != std::string_view::npos;
       pos = lineFeed + 1) {
    if (lineFeed - pos <= limit) lines.emplace_back(stream.substr(pos, lineFeed - pos));
  }
  return lines;
}

std::vector<std::string_view> pieces(std::string_view stream, std::string_view cuts) {
  std::vector<std::string_view> out;
  size_t pos = 0;
  size_t zeroRun = 0;
  for (size_t i = 0; pos < stream.size(); ++i) {
    size_t length = cuts.empty() ? stream.size() : static_cast<uint8_t>(cuts[i % cuts.size()]);
    // Empty pushes are part of the test, but a cycle of them only would never end.
    zeroRun = length == 0 ? zeroRun + 1 : 0;
    if (zeroRun > cuts.size()) length = stream.size();
    length = std::min(length, stream.size() - pos);
    out.push_back(stream.substr(pos, length));
    pos += length;
  }
  return out;
}

// An independent reading of the grammar for lines made of ASCII only, where the only horizontal
// white space is the space and the tab.
LiveCommand asciiReference(std::string_view line) {
  size_t begin = line.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  size_t end = line.find_last_not_of(" \t");
  std::string_view trimmed = line.substr(begin, end - begin + 1);
  if (trimmed.substr(0, 5) == "start") {
    std::vector<std::string> words;
    std::string word;
    for (char c : trimmed) {
      if (c == ' ') {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word.push_back(c);
      }
    }
    if (!word.empty()) words.push_back(word);
    return {LiveCommand::Kind::start, words.size() > 1 ? words[1] : "en-US",
            words.size() > 2 ? words[2] : "both"};
  }
  if (trimmed == "stop") return {LiveCommand::Kind::stop, {}, {}};
  if (trimmed == "cancel") return {LiveCommand::Kind::cancel, {}, {}};
  if (trimmed == "quit") return {LiveCommand::Kind::quit, {}, {}};
  return {};
}

bool isAscii(std::string_view bytes) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

void checkGrammar(std::string_view line, const LiveCommand& command) {
  if (isAscii(line)) {
    check(command == asciiReference(line));
    return;
  }
  if (command.kind == LiveCommand::Kind::none) return;
  // Whatever the Unicode spaces around it, a command comes only from a UTF-8 line.
  check(kavri::text::isValidUtf8(line));
  std::string_view trimmed = kavri::text::trimHorizontalSpace(line);
  switch (command.kind) {
    case LiveCommand::Kind::start:
      check(trimmed.substr(0, 5) == "start");
      for (const std::string* word : {&command.localeId, &command.source}) {
        check(!word->empty() && word->find(' ') == std::string::npos);
        check(trimmed.find(*word) != std::string_view::npos || *word == "en-US" || *word == "both");
      }
      break;
    case LiveCommand::Kind::stop:
      check(trimmed == "stop");
      break;
    case LiveCommand::Kind::cancel:
      check(trimmed == "cancel");
      break;
    case LiveCommand::Kind::quit:
      check(trimmed == "quit");
      break;
    case LiveCommand::Kind::none:
      break;
  }
}

// The real reader on a pipe fed with the pieces by another thread.
std::vector<LiveCommand> readThroughPipe(const std::vector<std::string_view>& input, size_t limit) {
  std::vector<LiveCommand> commands;
  int fds[2];
  if (::pipe(fds) != 0) return {};
  std::thread writer([&input, fd = fds[1]] {
    for (std::string_view piece : input) {
      while (!piece.empty()) {
        ssize_t n = ::write(fd, piece.data(), piece.size());
        if (n <= 0) break;
        piece.remove_prefix(static_cast<size_t>(n));
      }
    }
    ::close(fd);
  });
  kavri::CommandReaderOptions options;
  options.maxLineBytes = limit;
  kavri::CommandReader reader(
      fds[0], [&commands](const LiveCommand& command) { commands.push_back(command); }, {},
      options);
  // Stop at the end of the input instead of polling for a later writer.
  reader.requestStop();
  reader.run();
  writer.join();
  ::close(fds[0]);
  return commands;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t limit = data[0] < 0x80 ? (data[0] & 0x3f) + 1 : kavri::kMaxLineBytes;
  const size_t cutCount = std::min<size_t>(data[1] % 16, size - 2);
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string_view cuts = bytes.substr(2, cutCount);
  std::string_view stream = bytes.substr(2 + cutCount);

  const std::vector<std::string> expected = wholeStreamLines(stream, limit);
  const std::vector<std::string_view> input = pieces(stream, cuts);

  kavri::LineSplitter splitter(limit);
  std::vector<std::string> lines;
  for (std::string_view piece : input) {
    for (std::string& line : splitter.push(piece)) {
      check(line.size() <= limit && line.find('\n') == std::string::npos);
      lines.push_back(std::move(line));
    }
    // Memory for the line in progress stays within the limit, however long the line runs.
    check(splitter.pendingSize() <= limit);
  }
  check(lines == expected);
  // What is left is the unfinished last line, unless it already ran past the limit.
  size_t lastLineFeed = stream.rfind('\n');
  size_t tail =
      lastLineFeed == std::string_view::npos ? stream.size() : stream.size() - lastLineFeed - 1;
  check(splitter.pendingSize() == (tail <= limit ? tail : 0));

  std::vector<LiveCommand> commands;
  for (const std::string& line : lines) {
    LiveCommand command = kavri::parseLiveCommand(line);
    checkGrammar(line, command);
    if (command.kind != LiveCommand::Kind::none) commands.push_back(command);
  }
  // Each complete command line is heard exactly once, however the pipe cut the stream.
  check(readThroughPipe(input, limit) == commands);
  return 0;
}
