// The clipboard's owner in this process, against a private X server: what it serves, and when it
// reports the clipboard lost and its work done. The reader is the product's own requestor, behind
// the general pasteboard.
// gtest first: the X headers define None and Bool as macros, which gtest's own names collide with.
// clang-format off
#include <gtest/gtest.h>
// clang-format on

#include "selection_owner.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pasteboard.h"
#include "testing/wait.h"
#include "testing/x_server.h"
#include "x11_connection.h"

namespace kavri::keysend {
namespace {

using testing::waitUntil;

constexpr double kTakeTimeout = 3.0;

// More than one request can carry, so it crosses incrementally.
std::string largeText() {
  std::string text;
  for (int i = 0; text.size() < 1024 * 1024; ++i) text += "row " + std::to_string(i) + " ü\n";
  return text;
}

// An owner serving from a thread of its own, on a connection of its own.
class ServingOwner {
 public:
  explicit ServingOwner(std::string text) : connection_(x11::Connection::open(x11::kMarkLost)) {
    if (!connection_) return;
    owner_.emplace(*connection_, std::move(text),
                   SelectionOwner::Callbacks{.lost = [this] { note("lost"); },
                                             .done = [this] { note("done"); }});
    if (!owner_->take(x11::deadlineAfter(kTakeTimeout))) return;
    thread_ = std::thread([this] { owner_->serve(); });
  }
  ~ServingOwner() {
    if (!thread_.joinable()) return;
    // Serving ends only once the clipboard is lost.
    if (reports().empty()) makeGeneralPasteboard()->clearContents();
    thread_.join();
  }
  bool owns() const { return thread_.joinable(); }
  std::vector<std::string> reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }

 private:
  void note(const char* report) {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(report);
  }

  std::unique_ptr<x11::Connection> connection_;
  std::optional<SelectionOwner> owner_;
  mutable std::mutex mutex_;
  std::vector<std::string> reports_;
  std::thread thread_;
};

// A reader that goes through an incremental transfer one chunk at a time, at the test's pace: the
// owner sends a chunk only once the reader has deleted the property that held the last one.
class SlowReader {
 public:
  SlowReader() : connection_(x11::Connection::open(x11::kMarkLost)) {
    display_ = connection_->display();
    window_ = x11::createMessageWindow(display_);
    property_ = XInternAtom(display_, "KAVRI_TEST", False);
  }
  // Asks for the text as of time; the property that the owner's reply names, None when it
  // refused or did not answer.
  Atom request(Time time) {
    XConvertSelection(display_, XInternAtom(display_, "CLIPBOARD", False),
                      XInternAtom(display_, "UTF8_STRING", False), property_, window_, time);
    XFlush(display_);
    XEvent event;
    auto isReply = [](const XEvent& e) { return e.type == SelectionNotify; };
    if (!x11::waitForEvent(display_, x11::deadlineAfter(kTakeTimeout), isReply, event)) {
      return None;
    }
    return event.xselection.property;
  }
  std::optional<Time> serverTime() {
    return x11::serverTime(display_, window_, x11::deadlineAfter(kTakeTimeout));
  }
  // Asks for the text; true when the owner answers with an incremental transfer.
  bool start() {
    if (request(CurrentTime) == None) return false;
    XEvent event;
    // The notice of the INCR property came before the reply; it announces no chunk.
    while (XCheckTypedWindowEvent(display_, window_, PropertyNotify, &event)) {
    }
    Atom type = 0;
    read(type);
    return type == XInternAtom(display_, "INCR", False);
  }
  // Asks for the next chunk and returns it (empty at the end); none when the owner sends none.
  std::optional<std::string> nextChunk() {
    XDeleteProperty(display_, window_, property_);
    XFlush(display_);
    XEvent event;
    auto isChunk = [&](const XEvent& e) {
      return e.type == PropertyNotify && e.xproperty.atom == property_ &&
             e.xproperty.state == PropertyNewValue;
    };
    if (!x11::waitForEvent(display_, x11::deadlineAfter(kTakeTimeout), isChunk, event)) {
      return std::nullopt;
    }
    Atom type = 0;
    return read(type);
  }

 private:
  std::string read(Atom& type) {
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display_, window_, property_, 0, 1 << 24, False, AnyPropertyType, &type,
                       &format, &count, &after, &data);
    std::string bytes = format == 8 ? std::string(reinterpret_cast<char*>(data), count) : "";
    if (data) XFree(data);
    return bytes;
  }

  std::unique_ptr<x11::Connection> connection_;
  Display* display_;
  Window window_;
  Atom property_;
};

TEST(ServerTimeNotBefore, ComparesAcrossTheWrapOfTheServersClock) {
  struct Case {
    Time time;
    Time since;
    bool notBefore;
  };
  const Case cases[] = {
      {1000, 1000, true},
      {1001, 1000, true},
      {999, 1000, false},
      {1000u + 0x7fffffff, 1000, true},
      {1000u + 0x80000000, 1000, false},
      // The clock wrapped after the clipboard was taken.
      {5, 0xfffffff0, true},
      {0xfffffff0, 5, false},
      {0, 0xffffffff, true},
      {0xffffffff, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(serverTimeNotBefore(c.time, c.since), c.notBefore) << c.time << " since " << c.since;
  }
}

class SelectionOwnerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.ready()) << "no private X server"; }

  testing::PrivateXServer server;
  std::unique_ptr<Pasteboard> reader = makeGeneralPasteboard();
};

TEST_F(SelectionOwnerTest, ServesItsTextWholeAndIncrementally) {
  for (const std::string& text : {std::string("grüße 😀 — ok\n"), largeText()}) {
    ServingOwner owner(text);
    ASSERT_TRUE(owner.owns());
    std::optional<std::string> read = reader->stringForType();
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->size(), text.size());
    EXPECT_TRUE(*read == text);
    EXPECT_TRUE(owner.reports().empty());
  }
}

TEST_F(SelectionOwnerTest, ReportsLostThenDoneWhenAnotherClientTakesTheClipboard) {
  ServingOwner first("first");
  ASSERT_TRUE(first.owns());
  ServingOwner second("second");
  ASSERT_TRUE(second.owns());
  EXPECT_TRUE(waitUntil([&] { return first.reports().size() == 2; }));
  EXPECT_EQ(first.reports(), (std::vector<std::string>{"lost", "done"}));
  EXPECT_EQ(reader->stringForType(), "second");
}

TEST_F(SelectionOwnerTest, ReportsDoneOnlyOnceTheTransfersRunningAtTheLossAreOver) {
  const std::string text = largeText();
  ServingOwner owner(text);
  ASSERT_TRUE(owner.owns());
  SlowReader slow;
  ASSERT_TRUE(slow.start());
  reader->clearContents();
  ASSERT_TRUE(waitUntil([&] { return !owner.reports().empty(); }));
  // A chunk after the loss proves the owner still serves; it must not have reported done.
  std::optional<std::string> chunk = slow.nextChunk();
  ASSERT_TRUE(chunk && !chunk->empty());
  EXPECT_EQ(owner.reports(), std::vector<std::string>{"lost"});
  std::string received = *chunk;
  while ((chunk = slow.nextChunk()) && !chunk->empty()) received += *chunk;
  ASSERT_TRUE(chunk.has_value()) << "the transfer stopped after " << received.size() << " bytes";
  EXPECT_TRUE(received == text);
  EXPECT_TRUE(waitUntil([&] { return owner.reports().size() == 2; }));
  EXPECT_EQ(owner.reports(), (std::vector<std::string>{"lost", "done"}));
}

TEST_F(SelectionOwnerTest, ServesRequestsUpToHalfTheClocksRangeAheadWhereverItWraps) {
  ServingOwner owner("text");
  ASSERT_TRUE(owner.owns());
  SlowReader reader;
  const std::optional<Time> now = reader.serverTime();
  ASSERT_TRUE(now.has_value());
  // Whatever time the server tells, one of the two lies beyond the wrap of its 32-bit clock, where
  // comparing the times as numbers gets the order wrong.
  const auto ahead = [&](uint32_t milliseconds) {
    return static_cast<Time>(static_cast<uint32_t>(*now + milliseconds));
  };
  EXPECT_NE(reader.request(ahead(0x7fff0000)), None) << "24.8 days later counts as later";
  EXPECT_EQ(reader.request(ahead(0x80010000)), None) << "24.9 days later counts as earlier";
}

}  // namespace
}  // namespace kavri::keysend
