#include "live_command.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <thread>

#include "command_reader.h"
#include "line_splitter.h"
#include "testing/files.h"

namespace kavri {
namespace {

using Kind = LiveCommand::Kind;

LiveCommand start(const std::string& locale, const std::string& source) {
  return {Kind::start, locale, source};
}

TEST(LiveCommandGrammar, StartWordsAndDefaults) {
  EXPECT_EQ(parseLiveCommand("start"), start("en-US", "both"));
  EXPECT_EQ(parseLiveCommand("start de-DE"), start("de-DE", "both"));
  EXPECT_EQ(parseLiveCommand("start de-DE mic extra words"), start("de-DE", "mic"));
  EXPECT_EQ(parseLiveCommand("start    de-DE     system"), start("de-DE", "system"));
  EXPECT_EQ(parseLiveCommand("   start de-DE  "), start("de-DE", "both"));
  // The source word is not checked here; the session reports what it cannot use.
  EXPECT_EQ(parseLiveCommand("start en-US Mic"), start("en-US", "Mic"));
}

TEST(LiveCommandGrammar, StartIsAPrefixTest) {
  EXPECT_EQ(parseLiveCommand("startx"), start("en-US", "both"));
  EXPECT_EQ(parseLiveCommand("starting fr-FR mic"), start("fr-FR", "mic"));
  EXPECT_EQ(parseLiveCommand("Start"), LiveCommand{});
  EXPECT_EQ(parseLiveCommand("star"), LiveCommand{});
  // A combining mark joins the "t" into another character: not "start".
  EXPECT_EQ(parseLiveCommand("start\u0301 de-DE"), LiveCommand{});
}

TEST(LiveCommandGrammar, OnlySpaceSeparatesWords) {
  EXPECT_EQ(parseLiveCommand("start\tde-DE"), start("en-US", "both"));
  EXPECT_EQ(parseLiveCommand("start\tde-DE mic"), start("mic", "both"));
  // A no-break space is trimmed at the ends but does not separate words.
  EXPECT_EQ(parseLiveCommand("start\u00A0de-DE"), start("en-US", "both"));
}

TEST(LiveCommandGrammar, WholeLineCommands) {
  EXPECT_EQ(parseLiveCommand("stop").kind, Kind::stop);
  EXPECT_EQ(parseLiveCommand("cancel").kind, Kind::cancel);
  EXPECT_EQ(parseLiveCommand("quit").kind, Kind::quit);
  EXPECT_EQ(parseLiveCommand("  stop \t").kind, Kind::stop);
  EXPECT_EQ(parseLiveCommand("\u3000stop\u00A0\u2003").kind, Kind::stop);  // Unicode spaces
  for (const char* ignored : {"STOP", "Stop", "stop now", "stopp", "cancel it", "quitting", "",
                              "   ", "hello", "stop\v", "\u2028stop", "stop\u0085"}) {
    EXPECT_EQ(parseLiveCommand(ignored).kind, Kind::none) << ignored;
  }
}

TEST(LiveCommandGrammar, CarriageReturnsAreKept) {
  EXPECT_EQ(parseLiveCommand("stop\r").kind, Kind::none);
  EXPECT_EQ(parseLiveCommand("cancel\r").kind, Kind::none);
  EXPECT_EQ(parseLiveCommand("quit\r").kind, Kind::none);
  EXPECT_EQ(parseLiveCommand("start de-DE mic\r"), start("de-DE", "mic\r"));
  EXPECT_EQ(parseLiveCommand("start\r"), start("en-US", "both"));
}

TEST(LiveCommandGrammar, InvalidUtf8IsAnEmptyLine) {
  for (std::string_view bad : {std::string_view("stop\xff"), std::string_view("start \xc3\x28"),
                               std::string_view("\xed\xa0\x80stop"),  // a surrogate
                               std::string_view("start\xc0\xafmic"),  // overlong
                               std::string_view("stop\0", 5)}) {
    if (bad.back() == '\0') {
      // NUL is valid UTF-8 and not white space: the line is just not a command.
      EXPECT_EQ(parseLiveCommand(bad).kind, Kind::none);
      continue;
    }
    EXPECT_EQ(parseLiveCommand(bad), LiveCommand{}) << bad;
  }
}

TEST(LineSplitting, KeepsAnIncompleteLineUntilItsLineFeed) {
  LineSplitter splitter;
  EXPECT_TRUE(splitter.push("sto").empty());
  EXPECT_EQ(splitter.pendingSize(), 3u);
  EXPECT_EQ(splitter.push("p\n"), std::vector<std::string>{"stop"});
  EXPECT_EQ(splitter.pendingSize(), 0u);
}

TEST(LineSplitting, SeveralLinesInOneChunk) {
  LineSplitter splitter;
  EXPECT_EQ(splitter.push("stop\nstart\n\nsta"), (std::vector<std::string>{"stop", "start", ""}));
  EXPECT_EQ(splitter.push("rt mic\n"), std::vector<std::string>{"start mic"});
  EXPECT_EQ(splitter.push("\r\n"), std::vector<std::string>{"\r"});
}

TEST(LineSplitting, DropsALineThatNeverEndsAndRecoversAtItsLineFeed) {
  LineSplitter splitter(16);
  EXPECT_TRUE(splitter.push("0123456789").empty());
  EXPECT_TRUE(splitter.push("0123456789").empty());
  EXPECT_EQ(splitter.pendingSize(), 0u);  // memory stays bounded
  for (int i = 0; i < 1000; ++i) EXPECT_TRUE(splitter.push("garbage garbage garbage").empty());
  EXPECT_EQ(splitter.pendingSize(), 0u);
  EXPECT_EQ(splitter.push("tail\nstop\n"), std::vector<std::string>{"stop"});
}

TEST(LineSplitting, ALineOfExactlyTheLimitIsKept) {
  LineSplitter splitter(4);
  EXPECT_EQ(splitter.push("stop\nstops\nquit\n"), (std::vector<std::string>{"stop", "quit"}));
  EXPECT_EQ(splitter.push("quit"), std::vector<std::string>{});
  EXPECT_EQ(splitter.push("!\nstop\n"), std::vector<std::string>{"stop"});
}

TEST(LineSplitting, DroppingTheLineInProgressStartsTheNextLineAfresh) {
  LineSplitter splitter(8);
  EXPECT_TRUE(splitter.push("start en").empty());
  splitter.dropPending();
  EXPECT_EQ(splitter.pendingSize(), 0u);
  EXPECT_EQ(splitter.push("stop\n"), std::vector<std::string>{"stop"});
  // Also in the middle of a line too long to keep: the next bytes begin a line of their own.
  EXPECT_TRUE(splitter.push("far too long a line").empty());
  splitter.dropPending();
  EXPECT_EQ(splitter.push("quit\n"), std::vector<std::string>{"quit"});
}

// Runs a CommandReader on its own thread and records what it submits.
class ReaderHarness {
 public:
  ReaderHarness(int fd, CommandReaderOptions options = {})
      : reader_(
            fd,
            [this](const LiveCommand& command) {
              std::lock_guard<std::mutex> hold(lock_);
              commands_.push_back(command);
              changed_.notify_all();
            },
            [this] {
              std::lock_guard<std::mutex> hold(lock_);
              ++hostGone_;
              changed_.notify_all();
            },
            withShortPoll(std::move(options))),
        thread_([this] {
          reader_.run();
          std::lock_guard<std::mutex> hold(lock_);
          returned_ = true;
          changed_.notify_all();
        }) {}
  ~ReaderHarness() {
    if (thread_.joinable()) thread_.join();
  }

  bool waitForCommands(size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::seconds(10),
                             [&] { return commands_.size() >= count; });
  }
  bool waitUntilReturned() {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::seconds(10), [&] { return returned_; });
  }
  std::vector<LiveCommand> commands() {
    std::lock_guard<std::mutex> hold(lock_);
    return commands_;
  }
  int hostGone() {
    std::lock_guard<std::mutex> hold(lock_);
    return hostGone_;
  }
  CommandReader& reader() { return reader_; }

 private:
  static CommandReaderOptions withShortPoll(CommandReaderOptions options) {
    options.endOfInputPoll = std::chrono::milliseconds(5);
    return options;
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<LiveCommand> commands_;
  int hostGone_ = 0;
  bool returned_ = false;
  CommandReader reader_;
  std::thread thread_;
};

void writeAll(int fd, std::string_view bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

class Pipe {
 public:
  Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
  ~Pipe() {
    closeWrite();
    ::close(fds_[0]);
  }
  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }
  void closeWrite() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

// Asks the reader to stop, ends its input and waits until it has returned.
bool stopReading(ReaderHarness& harness, Pipe& pipe) {
  harness.reader().requestStop();
  pipe.closeWrite();
  return harness.waitUntilReturned();
}

TEST(CommandReading, CommandSplitAcrossWritesRunsOnceWhenItsLineFeedArrives) {
  Pipe pipe;
  ReaderHarness harness(pipe.readEnd());
  writeAll(pipe.writeEnd(), "st");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  writeAll(pipe.writeEnd(), "op");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(harness.commands().empty());
  writeAll(pipe.writeEnd(), "\n");
  ASSERT_TRUE(harness.waitForCommands(1));
  ASSERT_TRUE(stopReading(harness, pipe));
  EXPECT_EQ(harness.commands(), (std::vector<LiveCommand>{{Kind::stop, {}, {}}}));
}

TEST(CommandReading, TwoCommandsInOneWriteAreBothReadInOrder) {
  Pipe pipe;
  ReaderHarness harness(pipe.readEnd());
  writeAll(pipe.writeEnd(), "stop\nstart de-DE mic\n");
  ASSERT_TRUE(harness.waitForCommands(2));
  ASSERT_TRUE(stopReading(harness, pipe));
  EXPECT_EQ(harness.commands(),
            (std::vector<LiveCommand>{{Kind::stop, {}, {}}, start("de-DE", "mic")}));
}

TEST(CommandReading, IgnoresInvalidEmptyAndEndlessLines) {
  Pipe pipe;
  CommandReaderOptions options;
  options.maxLineBytes = 64;
  ReaderHarness harness(pipe.readEnd(), options);
  writeAll(pipe.writeEnd(), "\xff\xfe stop\n\nnonsense\n");
  for (int i = 0; i < 100; ++i) writeAll(pipe.writeEnd(), "stop stop stop stop ");
  writeAll(pipe.writeEnd(), "\ncancel\n");
  ASSERT_TRUE(harness.waitForCommands(1));
  ASSERT_TRUE(stopReading(harness, pipe));
  EXPECT_EQ(harness.commands(), (std::vector<LiveCommand>{{Kind::cancel, {}, {}}}));
}

TEST(CommandReading, EndOfInputKeepsPollingSoALaterWriterIsHeard) {
  testing::TempDir dir;
  const std::string fifo = dir / "commands";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  CommandInput input = CommandInput::open(fifo);
  ASSERT_FALSE(input.isStandardInput());
  ReaderHarness harness(input.fd());
  // No writer yet: the reader polls.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  writeAll(writer, "start\n");
  ::close(writer);  // end of input
  ASSERT_TRUE(harness.waitForCommands(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  writeAll(writer, "stop\n");
  ::close(writer);
  ASSERT_TRUE(harness.waitForCommands(2));
  harness.reader().requestStop();
  ASSERT_TRUE(harness.waitUntilReturned());
  EXPECT_EQ(harness.commands(),
            (std::vector<LiveCommand>{start("en-US", "both"), {Kind::stop, {}, {}}}));
}

TEST(CommandReading, ALineLeftUnfinishedAtTheEndOfInputIsNotACommand) {
  Pipe pipe;
  ReaderHarness harness(pipe.readEnd());
  writeAll(pipe.writeEnd(), "start\nstop");
  pipe.closeWrite();
  ASSERT_TRUE(harness.waitForCommands(1));
  harness.reader().requestStop();
  ASSERT_TRUE(harness.waitUntilReturned());
  EXPECT_EQ(harness.commands(), (std::vector<LiveCommand>{start("en-US", "both")}));
}

TEST(CommandReading, FallsBackToStandardInputSilently) {
  EXPECT_TRUE(CommandInput::open(std::nullopt).isStandardInput());
  EXPECT_TRUE(CommandInput::open("/nonexistent/kavri/commands").isStandardInput());
  EXPECT_TRUE(CommandInput::open("").isStandardInput());
}

TEST(CommandReading, EndsOnceWhenTheHostIsGoneAtEndOfInput) {
  Pipe pipe;
  std::atomic<bool> hostAlive{true};
  CommandReaderOptions options;
  options.hostAlive = [&] { return hostAlive.load(); };
  ReaderHarness harness(pipe.readEnd(), options);
  writeAll(pipe.writeEnd(), "start\n");
  pipe.closeWrite();
  ASSERT_TRUE(harness.waitForCommands(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(harness.hostGone(), 0);  // still polling while the host lives
  hostAlive = false;
  ASSERT_TRUE(harness.waitUntilReturned());
  EXPECT_EQ(harness.hostGone(), 1);
}

}  // namespace
}  // namespace kavri
