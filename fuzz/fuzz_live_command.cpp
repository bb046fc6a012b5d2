// The live command channel as a byte stream cut at arbitrary points: the line splitter, the
// command grammar and the real reader over a pipe must agree with a reading of the whole stream
// at once, whatever the cuts.
//
// Input: byte 0 chooses the line limit (below 0x80 a small one, 1 to 64 bytes, so that the limit
// is reached by short inputs; else the program's own), byte 1 the number n of cut lengths (0 to
// 15), the next n bytes the pieces, used in turn; the rest is the stream. The low 7 bits of a
// piece byte are its length; the high bit says that the writer leaves after it and a new one
// comes, so that what it left unfinished is not part of any line.
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

constexpr uint8_t kWriterLeaves = 0x80;

struct Piece {
  std::string_view bytes;
  bool writerLeavesAfter = false;
};

std::vector<Piece> pieces(std::string_view stream, std::string_view cuts) {
  std::vector<Piece> out;
  size_t pos = 0;
  size_t zeroRun = 0;
  for (size_t i = 0; pos < stream.size(); ++i) {
    uint8_t cut = cuts.empty() ? 0x7f : static_cast<uint8_t>(cuts[i % cuts.size()]);
    size_t length = cuts.empty() ? stream.size() : (cut & 0x7f);
    // Empty pushes are part of the test, but a cycle of them only would never end.
    zeroRun = length == 0 ? zeroRun + 1 : 0;
    if (zeroRun > cuts.size()) length = stream.size();
    bool leaves = (cut & kWriterLeaves) != 0;
    length = std::min(length, stream.size() - pos);
    out.push_back({stream.substr(pos, length), leaves});
    pos += length;
  }
  return out;
}

// Every complete line, read from each writer's bytes in one go; those over the limit are dropped.
std::vector<std::string> wholeStreamLines(const std::vector<Piece>& input, size_t limit) {
  std::vector<std::string> lines;
  std::string writer;
  auto flush = [&] {
    size_t pos = 0;
    for (size_t lineFeed; (lineFeed = writer.find('\n', pos)) != std::string::npos;
         pos = lineFeed + 1) {
      if (lineFeed - pos <= limit) lines.push_back(writer.substr(pos, lineFeed - pos));
    }
    writer.clear();
  };
  for (const Piece& piece : input) {
    writer.append(piece.bytes);
    if (piece.writerLeavesAfter) flush();
  }
  flush();
  return lines;
}

// The bytes after the last line feed or change of writer: the line the reader still holds.
size_t unfinishedTail(const std::vector<Piece>& input) {
  size_t tail = 0;
  for (const Piece& piece : input) {
    size_t lineFeed = piece.bytes.rfind('\n');
    tail = lineFeed == std::string_view::npos ? tail + piece.bytes.size()
                                              : piece.bytes.size() - lineFeed - 1;
    if (piece.writerLeavesAfter) tail = 0;
  }
  return tail;
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
std::vector<LiveCommand> readThroughPipe(const std::vector<Piece>& input, size_t limit) {
  std::vector<LiveCommand> commands;
  int fds[2];
  if (::pipe(fds) != 0) return {};
  std::thread writer([&input, fd = fds[1]] {
    for (const Piece& whole : input) {
      std::string_view piece = whole.bytes;
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

  const std::vector<Piece> input = pieces(stream, cuts);
  const std::vector<std::string> expected = wholeStreamLines(input, limit);

  kavri::LineSplitter splitter(limit);
  std::vector<std::string> lines;
  bool writerChanges = false;
  for (const Piece& piece : input) {
    for (std::string& line : splitter.push(piece.bytes)) {
      check(line.size() <= limit && line.find('\n') == std::string::npos);
      lines.push_back(std::move(line));
    }
    // Memory for the line in progress stays within the limit, however long the line runs.
    check(splitter.pendingSize() <= limit);
    // What the reader does at the end of a writer's input.
    if (piece.writerLeavesAfter) splitter.dropPending();
    writerChanges = writerChanges || piece.writerLeavesAfter;
  }
  check(lines == expected);
  // What is left is the unfinished last line, unless it already ran past the limit.
  size_t tail = unfinishedTail(input);
  check(splitter.pendingSize() == (tail <= limit ? tail : 0));

  std::vector<LiveCommand> commands;
  for (const std::string& line : lines) {
    LiveCommand command = kavri::parseLiveCommand(line);
    checkGrammar(line, command);
    if (command.kind != LiveCommand::Kind::none) commands.push_back(command);
  }
  // Each complete command line is heard exactly once, however the pipe cut the stream. (A pipe
  // has one writer; changes of writer are the splitter's part above.)
  if (!writerChanges) check(readThroughPipe(input, limit) == commands);
  return 0;
}
