// The event channel: whole lines from any number of threads, the fixed fallback, fatal.
#include "event_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "last_event.h"
#include "testing/files.h"
#include "testing/wait.h"

namespace kavri {
namespace {

using testing::readFile;

class EventOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    outPath_ = dir_ / "out";
    errPath_ = dir_ / "err";
    outFd_ = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    errFd_ = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(outFd_, 0);
    ASSERT_GE(errFd_, 0);
  }
  void TearDown() override {
    ::close(outFd_);
    ::close(errFd_);
  }

  testing::TempDir dir_;
  std::string outPath_, errPath_;
  int outFd_ = -1, errFd_ = -1;
};

TEST_F(EventOutputTest, LinesFromManyThreadsStayWhole) {
  EventOutput output(outFd_, errFd_);
  constexpr int kThreads = 8;
  constexpr int kEventsEach = 300;
  // Long enough that one line takes more than one small write on most systems.
  const std::string padding(3000, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEventsEach; ++i) {
        output.emit(Event{{"event", "partial"}, {"thread", t}, {"n", i}, {"text", padding}});
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::istringstream in(readFile(outPath_));
  std::string line;
  std::vector<int> next(kThreads, 0);
  int count = 0;
  while (std::getline(in, line)) {
    auto event = nlohmann::json::parse(line);  // throws on a torn line
    int t = event["thread"];
    EXPECT_EQ(event["n"], next[static_cast<size_t>(t)]++) << "lines of one thread in order";
    EXPECT_EQ(event["text"], padding);
    ++count;
  }
  EXPECT_EQ(count, kThreads * kEventsEach);
  EXPECT_EQ(readFile(errPath_), "");
}

TEST_F(EventOutputTest, AnEventTheSerializerRejectsWritesTheFixedFallbackOnly) {
  EventOutput output(outFd_, errFd_);
  output.emit(Event{{"event", "partial"}, {"text", std::string("caf\xC3", 4)}});
  EXPECT_EQ(readFile(outPath_), "");
  EXPECT_EQ(readFile(errPath_), "{\"event\":\"error\",\"message\":\"json_encode_failed\"}\n");
  EXPECT_EQ(readFile(errPath_).size(), 49u);

  output.emit(Event{{"event", "partial"}, {"text", "fine"}});
  EXPECT_EQ(readFile(outPath_), "{\"event\":\"partial\",\"text\":\"fine\"}\n");
  EXPECT_EQ(readFile(errPath_).size(), 49u);
}

TEST_F(EventOutputTest, ALineFeedInsideAStringIsEscaped) {
  EventOutput output(outFd_, errFd_);
  output.emit(Event{{"text", "one\ntwo"}});
  EXPECT_EQ(readFile(outPath_), "{\"text\":\"one\\ntwo\"}\n");
}

TEST_F(EventOutputTest, NothingIsWrittenAfterTheLastLineOrOnceClosed) {
  EventOutput last(outFd_, errFd_);
  last.emit(Event{{"event", "partial"}});
  last.emitLast(Event{{"event", "final"}});
  last.emit(Event{{"event", "partial"}, {"text", "late"}});
  last.emitLast(Event{{"event", "error"}});
  EXPECT_TRUE(last.close());
  EXPECT_EQ(readFile(outPath_), "{\"event\":\"partial\"}\n{\"event\":\"final\"}\n");

  // Closed before any line (and writing to the other file).
  EventOutput closed(errFd_, outFd_);
  EXPECT_TRUE(closed.close());
  closed.emit(Event{{"event", "partial"}});
  EXPECT_EQ(readFile(errPath_), "");
}

// A line that another thread is writing when the process goes is finished first: the way out
// takes the output lock, and a line that begins after it is never written.
TEST(EventOutputClose, WaitsForALineInProgressAndLetsNoneBeginAfter) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const int capacity = ::fcntl(ends[1], F_GETPIPE_SZ);
  ASSERT_GT(capacity, 0);
  // The writer fills the pipe and then waits, mid-line, until the line is read.
  const std::string text(static_cast<size_t>(capacity) * 4, 'x');
  const std::string line = Event{{"text", text}}.dump() + "\n";
  EventOutput output(ends[1], 2, std::chrono::milliseconds(20));
  std::thread writer([&] { output.emit(Event{{"text", text}}); });
  ASSERT_TRUE(testing::waitUntil([&] {
    int queued = 0;
    return ::ioctl(ends[0], FIONREAD, &queued) == 0 && queued == capacity;
  }));
  EXPECT_FALSE(output.close()) << "closed under a line in progress";

  std::thread closer([&] {
    // Each try waits 20 ms for the writer.
    for (bool closed = false; !closed;) closed = output.close();
    output.emit(Event{{"event", "after"}});
  });
  std::string read;
  char chunk[4096];
  while (read.size() < line.size()) {
    ssize_t n = ::read(ends[0], chunk, sizeof chunk);
    ASSERT_GT(n, 0);
    read.append(chunk, static_cast<size_t>(n));
  }
  writer.join();
  closer.join();
  ::close(ends[1]);
  for (ssize_t n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;) {
    read.append(chunk, static_cast<size_t>(n));
  }
  ::close(ends[0]);
  EXPECT_EQ(read, line);
}

// Whether the reader of the output has gone is seen without writing to it, and only a pipe or a
// socket can lose its reader.
TEST(EventOutputReader, IsGoneOnlyWhenAPipeOrSocketHasLostIt) {
  for (bool socket : {false, true}) {
    for (bool readerClosed : {false, true}) {
      SCOPED_TRACE(std::string(socket ? "socket" : "pipe") + (readerClosed ? " unread" : " read"));
      int ends[2];
      ASSERT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends)
                       : ::pipe2(ends, O_CLOEXEC),
                0);
      if (readerClosed) ::close(ends[0]);
      EXPECT_EQ(EventOutput(ends[1]).readerGone(), readerClosed);
      if (!readerClosed) {
        int queued = -1;
        EXPECT_EQ(::ioctl(ends[0], FIONREAD, &queued), 0);
        EXPECT_EQ(queued, 0) << "looked by writing";
        ::close(ends[0]);
      }
      ::close(ends[1]);
    }
  }
  // A regular file, and a device, never lose their reader.
  testing::TempDir dir;
  int file = ::open((dir / "events").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  int device = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  EXPECT_FALSE(EventOutput(file).readerGone());
  EXPECT_FALSE(EventOutput(device).readerGone());
  ::close(file);
  ::close(device);
}

using EventOutputDeathTest = EventOutputTest;

TEST_F(EventOutputDeathTest, FatalWritesOneErrorLineAndExitsWithTwo) {
  EXPECT_ENDS_WITH(fatal("missing_file_arg"), 2,
                   "\\{\"event\":\"error\",\"message\":\"missing_file_arg\"\\}");
  EXPECT_ENDS_WITH(fatal("other", 5), 5, "\\{\"event\":\"error\",\"message\":\"other\"\\}");
}

TEST_F(EventOutputDeathTest, AClosedOutputEndsTheProcessWithStatusTwo) {
  EXPECT_EXIT(
      {
        ::signal(SIGPIPE, SIG_IGN);
        int ends[2];
        if (::pipe(ends) != 0) std::abort();
        ::close(ends[0]);
        EventOutput output(ends[1]);
        output.emit(Event{{"event", "final"}});
        std::abort();  // never reached: the failed write ends the process
      },
      ::testing::ExitedWithCode(kOutputClosedExitStatus), "^$");
}

}  // namespace
}  // namespace kavri
