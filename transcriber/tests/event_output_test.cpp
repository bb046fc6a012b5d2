// The event channel: whole lines from any number of threads, the fixed fallback, fatal.
#include "event_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "last_event.h"
#include "testing/files.h"

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
