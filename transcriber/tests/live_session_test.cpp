#include "live_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "event_recorder.h"
#include "fake_audio.h"
#include "fake_speech_service.h"
#include "testing/files.h"
#include "testing/json_lines.h"
#include "testing/wait.h"

namespace kavri {
namespace {

using namespace std::chrono_literals;
using testing::FakeRecognizer;
using Next = speech::AudioBufferRecognitionRequest::Next;

class LiveSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mic = service->addRecognizer();
    system = service->addRecognizer();
    session = std::make_unique<LiveSession>(platform(), options());
  }
  Platform platform() {
    return Platform{service, [this] { return engine; }, capture};
  }
  // Short waits, and everything the session does recorded.
  LiveSessionOptions options() {
    LiveSessionOptions options;
    options.stopGrace = 1ms;
    options.systemStopWait = 2s;
    options.finalWait = 10ms;
    options.emit = recorder.sink();
    options.emitLast = recorder.sink();
    options.exit = recorder.exit();
    options.launch = recorder.launcher();
    options.now = [this] { return std::chrono::steady_clock::time_point(clock.load()); };
    return options;
  }
  void TearDown() override { recorder.joinTasks(); }

  std::vector<std::string> eventNames() {
    std::vector<std::string> names;
    for (const Event& event : recorder.events()) {
      names.push_back(event.value("event", "") + ":" + event.value("message", ""));
    }
    return names;
  }
  // Ends both recognisers' current tasks, as a service would after the end of audio.
  void completeTasks() {
    for (auto* fake : {mic.get(), system.get()}) {
      for (size_t i = 0; i < fake->taskCount(); ++i) {
        fake->task(i).task->setState(speech::TaskState::completed);
      }
    }
  }
  Event finalEvent() {
    auto finals = recorder.eventsNamed("final");
    EXPECT_EQ(finals.size(), 1u);
    return finals.empty() ? Event() : finals.back();
  }

  testing::EventRecorder recorder;
  std::shared_ptr<testing::FakeSpeechService> service =
      std::make_shared<testing::FakeSpeechService>();
  std::shared_ptr<FakeRecognizer> mic, system;
  std::shared_ptr<testing::FakeAudioEngine> engine = std::make_shared<testing::FakeAudioEngine>();
  std::shared_ptr<testing::FakeSystemAudioCapture> capture =
      std::make_shared<testing::FakeSystemAudioCapture>();
  std::atomic<std::chrono::steady_clock::duration> clock{std::chrono::steady_clock::duration{}};
  std::unique_ptr<LiveSession> session;
};

TEST_F(LiveSessionTest, BothStartsMicrophoneThenSystemAudioAndReportsStarted) {
  session->start("en-US", "both");
  recorder.joinTasks();
  EXPECT_EQ(
      recorder.events(),
      std::vector<Event>{(Event{{"event", "started"}, {"locale", "en-US"}, {"source", "both"}})});
  EXPECT_EQ(mic->taskCount(), 1u);
  EXPECT_EQ(system->taskCount(), 1u);
  EXPECT_TRUE(engine->running);
  EXPECT_TRUE(session->systemSource()->isCapturing());
  EXPECT_EQ(session->sources(), (std::vector<std::string>{"mic", "system"}));
  EXPECT_EQ(session->micRecognizer()->label(), "mic");
  EXPECT_EQ(session->systemRecognizer()->label(), "system");
  EXPECT_TRUE(recorder.exits().empty());
}

TEST_F(LiveSessionTest, EmptySourceWordMeansBothAndIsReportedAsReceived) {
  session->start("en-US", "");
  EXPECT_EQ(recorder.events().at(0),
            (Event{{"event", "started"}, {"locale", "en-US"}, {"source", ""}}));
  EXPECT_EQ(session->sources(), (std::vector<std::string>{"mic", "system"}));
}

TEST_F(LiveSessionTest, SingleSources) {
  session->start("en-US", "system");
  EXPECT_EQ(session->sources(), std::vector<std::string>{"system"});
  EXPECT_EQ(session->micRecognizer(), nullptr);
  EXPECT_FALSE(engine->hasTap());
  EXPECT_EQ(mic->taskCount(), 1u);  // the first recogniser handed out serves the system
}

TEST_F(LiveSessionTest, UnsupportedSourceWordExitsWithTwoAndStartsNothing) {
  for (const char* word : {"Mic", "BOTH", "speakers", "mic\r"}) {
    session->start("en-US", word);
    EXPECT_EQ(recorder.events().back(),
              (Event{{"event", "error"}, {"message", std::string("unsupported_source:") + word}}));
  }
  EXPECT_EQ(recorder.exits(), (std::vector<int>{2, 2, 2, 2}));
  EXPECT_EQ(mic->taskCount() + system->taskCount(), 0u);
  EXPECT_FALSE(engine->hasTap());
  EXPECT_FALSE(session->isRunning());
}

TEST_F(LiveSessionTest, UnsupportedLocaleIsReportedForTheMicrophoneFirst) {
  session->start("xx-XX", "both");
  EXPECT_EQ(eventNames(), std::vector<std::string>{"error:recognizer_unsupported_locale_mic"});
  EXPECT_EQ(recorder.exits(), std::vector<int>{2});
}

TEST_F(LiveSessionTest, UnsupportedLocaleForSystemAudioExitsEvenWithTheMicrophoneRunning) {
  system->available = false;
  session->start("en-US", "both");
  EXPECT_EQ(eventNames(), std::vector<std::string>{"error:recognizer_unsupported_locale_system"});
  EXPECT_EQ(recorder.exits(), std::vector<int>{2});
  EXPECT_TRUE(engine->running);
}

TEST_F(LiveSessionTest, MicrophoneThatDoesNotStartExitsWithTwo) {
  engine->startError = audio::AudioError{"pulse", 3, "Access denied"};
  session->start("en-US", "mic");
  EXPECT_EQ(recorder.events(),
            std::vector<Event>{(Event{{"event", "error"},
                                      {"message", "audio_engine_start_failed:Access denied"}})});
  EXPECT_EQ(recorder.exits(), std::vector<int>{2});
}

TEST_F(LiveSessionTest, ReportsPartialsAndEarlyRecognitionErrorsPerSpeaker) {
  session->start("en-US", "both");
  mic->partial(0, "hello");
  system->error(0, 1110, "No speech detected");
  system->partial(0, "ignored after the error");
  auto events = recorder.events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[1], (Event{{"event", "partial"}, {"speaker", "mic"}, {"text", "hello"}}));
  EXPECT_EQ(events[2], (Event{{"event", "error"},
                              {"speaker", "system"},
                              {"message", "recognition_failed"},
                              {"description", "No speech detected"},
                              {"code", 1110}}));
}

TEST_F(LiveSessionTest, SystemStartFailureAfterStartedLeavesTheMicrophoneRunning) {
  std::promise<void> gate;
  capture->gate = gate.get_future().share();
  capture->contentError = audio::AudioError{"pulse", 6, "Connection refused"};
  session->start("en-US", "both");
  EXPECT_EQ(eventNames(), std::vector<std::string>{"started:"});
  gate.set_value();
  recorder.joinTasks();
  EXPECT_EQ(recorder.events().back(), (Event{{"event", "error"},
                                             {"speaker", "system"},
                                             {"message", "system_audio_start_failed"},
                                             {"description", "Connection refused"}}));
  EXPECT_TRUE(recorder.exits().empty());
  auto buffer = testing::makeBuffer(64, engine->format);
  ASSERT_TRUE(engine->play(buffer));
  audio::PcmBufferPtr out;
  EXPECT_EQ(mic->task(0).request->next(out, 0ms), Next::buffer);
  mic->partial(0, "still listening");
  completeTasks();
  session->stop();
  EXPECT_EQ(finalEvent()["text"], "still listening");
}

// The microphone goes away mid-session: the host hears of it once, and the words before stay.
TEST_F(LiveSessionTest, AMicrophoneLostMidSessionIsReportedOnceAndStopKeepsItsWords) {
  session->start("en-US", "both");
  recorder.joinTasks();
  mic->partial(0, "heard before");
  ASSERT_TRUE(engine->stopWithError(audio::AudioError{"pulse", 12, "Entity killed"}));
  ASSERT_TRUE(engine->stopWithError(audio::AudioError{"pulse", 9, "Connection terminated"}));
  recorder.joinTasks();
  EXPECT_EQ(recorder.eventsNamed("error"),
            std::vector<Event>{(Event{{"event", "error"},
                                      {"message", "audio_engine_stopped"},
                                      {"speaker", "mic"},
                                      {"description", "Entity killed"}})});
  EXPECT_TRUE(recorder.exits().empty());
  system->partial(0, "system goes on");
  completeTasks();
  session->stop();
  EXPECT_EQ(finalEvent()["text"], "heard before\nsystem goes on");
}

// That line waits for the host, and the audio library's thread that noticed the loss must not
// wait with it: its own stop would then wait for the host too.
TEST_F(LiveSessionTest, ALostMicrophoneIsReportedByATaskNotOnTheAudioThread) {
  std::vector<std::function<void()>> launched;
  LiveSessionOptions held = options();
  held.launch = [&launched](std::function<void()> block) { launched.push_back(std::move(block)); };
  LiveSession session(platform(), std::move(held));
  session.start("en-US", "mic");
  const size_t before = launched.size();
  ASSERT_TRUE(engine->stopWithError(audio::AudioError{"pulse", 12, "Entity killed"}));
  EXPECT_TRUE(recorder.eventsNamed("error").empty());
  ASSERT_EQ(launched.size(), before + 1);
  launched.back()();
  EXPECT_EQ(recorder.eventsNamed("error").size(), 1u);
}

TEST_F(LiveSessionTest, NoAudioOutputIsReportedWithTheSystemSpeaker) {
  capture->targets.clear();
  session->start("en-US", "system");
  recorder.joinTasks();
  auto errors = recorder.eventsNamed("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]["speaker"], "system");
  EXPECT_EQ(errors[0]["description"], "no_audio_output");
}

TEST_F(LiveSessionTest, FinalTextJoinsTrimmedSourcesMicrophoneFirst) {
  session->start("en-US", "both");
  recorder.joinTasks();
  mic->partial(0, " \tHello there.\n ");
  system->final(0, "General Kenobi.");
  system->partial(1, "\r\n");
  completeTasks();
  clock.store(std::chrono::duration_cast<std::chrono::steady_clock::duration>(59.9s));
  session->stop();
  EXPECT_EQ(finalEvent(), (Event{{"event", "final"},
                                 {"text", "Hello there.\nGeneral Kenobi."},
                                 {"segments", Event::array()},
                                 {"language", "en-US"},
                                 {"duration_seconds", 59},
                                 {"sources", {"mic", "system"}}}));
  EXPECT_TRUE(mic->task(0).request->audioEnded());
  EXPECT_FALSE(engine->running);
  EXPECT_FALSE(engine->hasTap());
  EXPECT_EQ(*capture->stops, 1);
}

// The two last decodes overlap: both sources' audio has ended before stop() waits for either,
// and the text keeps its order whichever source finishes first.
TEST_F(LiveSessionTest, StopEndsEverySourceBeforeWaitingForAny) {
  LiveSessionOptions patient = options();
  patient.finalWait = testing::kWaitTimeout;
  LiveSession both(platform(), patient);
  both.start("en-US", "both");
  recorder.joinTasks();
  auto stopped = std::async(std::launch::async, [&] { both.stop(); });
  EXPECT_TRUE(testing::waitUntil([&] {
    return mic->task(0).request->audioEnded() && system->task(0).request->audioEnded();
  })) << "the system audio was still going while the microphone's last result was awaited";
  system->final(0, "System words.");
  mic->final(0, "Mic words.");
  stopped.get();
  EXPECT_EQ(finalEvent()["text"], "Mic words.\nSystem words.");
}

TEST_F(LiveSessionTest, FinalTextLeavesOutEmptySources) {
  EXPECT_EQ(LiveSession::finalText("  mic words \n", ""), "mic words");
  EXPECT_EQ(LiveSession::finalText("", "system words"), "system words");
  EXPECT_EQ(LiveSession::finalText(" \n", "\t"), "");
  EXPECT_EQ(LiveSession::finalText("a", "b"), "a\nb");
}

TEST_F(LiveSessionTest, IdleStopReportsAnEmptyFinal) {
  session->stop();
  EXPECT_EQ(recorder.events(), std::vector<Event>{(Event{{"event", "final"},
                                                         {"text", ""},
                                                         {"segments", Event::array()},
                                                         {"language", "en-US"},
                                                         {"duration_seconds", 0},
                                                         {"sources", Event::array()}})});
}

// The wait for the last result runs out, and the result comes later: the host, which takes
// "final" for the end, never sees a line after it.
TEST_F(LiveSessionTest, AResultThatComesAfterTheFinalIsNeverWritten) {
  testing::TempDir dir;
  int fd = ::open((dir / "events").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  EventOutput output(fd);
  LiveSessionOptions written = options();
  written.emit = [&output](const Event& event) { output.emit(event); };
  written.emitLast = [&output](const Event& event) { output.emitLast(event); };
  LiveSession late(platform(), std::move(written));
  late.start("en-US", "mic");
  mic->partial(0, "in time");
  late.stop();
  mic->partial(0, "in time and late");
  ::close(fd);
  auto lines = testing::parseJsonLines(testing::readFile(dir / "events"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines.back()["event"], "final");
  EXPECT_EQ(lines.back()["text"], "in time");
}

TEST_F(LiveSessionTest, StopBeforeTheSystemStartCompletesLeavesNothingCapturing) {
  std::promise<void> gate;
  capture->gate = gate.get_future().share();
  session->start("en-US", "system");
  session->stop();
  gate.set_value();
  recorder.joinTasks();
  EXPECT_EQ(capture->startedStreams, 1);
  EXPECT_EQ(*capture->stops, 1);
  EXPECT_EQ(finalEvent()["sources"], Event({"system"}));
}

// The start of system capture runs on a task that may not have begun when "stop" comes; the
// stop still wins, whichever task the scheduler runs first.
TEST_F(LiveSessionTest, StopBeforeTheSystemStartTaskHasBegunLeavesNothingCapturing) {
  std::vector<std::function<void()>> launched;
  LiveSessionOptions quick = options();
  quick.systemStopWait = 1ms;
  quick.finalWait = 1ms;
  quick.launch = [&launched](std::function<void()> block) { launched.push_back(std::move(block)); };
  LiveSession held(platform(), std::move(quick));
  held.start("en-US", "system");
  held.stop();
  ASSERT_EQ(launched.size(), 2u);
  launched[1]();  // the stop task, before the start task has run at all
  launched[0]();
  EXPECT_EQ(capture->startedStreams, 1);
  EXPECT_EQ(*capture->stops, 1);
}

// A host that stops reading holds up every result, and with them the reading of the audio.
TEST_F(LiveSessionTest, UnreadAudioBeyondTheBoundDropsTheOldestAndIsReportedOnce) {
  LiveSessionOptions bounded = options();
  bounded.maxUnreadAudio = 250ms;
  LiveSession held(platform(), bounded);
  held.start("en-US", "both");
  recorder.joinTasks();
  auto tenthOfASecond = [&] { return testing::makeBuffer(4800, engine->format); };
  std::vector<audio::PcmBufferPtr> played;
  for (int i = 0; i < 4; ++i) {
    played.push_back(tenthOfASecond());
    ASSERT_TRUE(engine->play(played.back()));
  }
  for (int i = 0; i < 4; ++i) held.systemRecognizer()->feed(testing::makeBuffer(1600));
  recorder.joinTasks();
  EXPECT_EQ(recorder.eventsNamed("error"),
            std::vector<Event>{(Event{
                {"event", "error"}, {"message", "audio_backlog_dropped"}, {"speaker", "mic"}})});
  auto request = mic->task(0).request;
  auto unread = [&] {
    std::vector<audio::PcmBufferPtr> buffers;
    for (audio::PcmBufferPtr out; request->next(out, 0ms) == Next::buffer;) buffers.push_back(out);
    return buffers;
  };
  EXPECT_EQ(unread(), (std::vector<audio::PcmBufferPtr>{played[2], played[3]}));
  // What has been read makes room again.
  played = {tenthOfASecond(), tenthOfASecond()};
  for (const auto& buffer : played) ASSERT_TRUE(engine->play(buffer));
  EXPECT_EQ(unread(), played);
}

TEST_F(LiveSessionTest, CancelStopsEverythingAndEmitsNothing) {
  session->start("en-US", "both");
  recorder.joinTasks();
  mic->partial(0, "words");
  auto before = recorder.events().size();
  session->cancel();
  recorder.joinTasks();
  EXPECT_EQ(recorder.events().size(), before);
  EXPECT_FALSE(engine->running);
  EXPECT_FALSE(engine->hasTap());
  EXPECT_EQ(*capture->stops, 1);
  EXPECT_EQ(mic->task(0).task->cancelCount(), 1);
  EXPECT_EQ(system->task(0).task->cancelCount(), 1);
}

TEST_F(LiveSessionTest, CancelOnAnIdleSessionDoesNothing) {
  session->cancel();
  EXPECT_TRUE(recorder.events().empty());
  EXPECT_TRUE(recorder.exits().empty());
}

TEST_F(LiveSessionTest, SecondStartKeepsTheFirstSessionAndItsText) {
  service->addRecognizer();
  service->addRecognizer();
  session->start("en-US", "mic");
  mic->partial(0, "first words");
  session->start("de-DE", "both");
  recorder.joinTasks();
  EXPECT_EQ(recorder.eventsNamed("started").size(), 1u);
  EXPECT_EQ(system->taskCount(), 0u);
  EXPECT_EQ(capture->contentQueries, 0);
  EXPECT_EQ(engine->installedTaps, 1);
  completeTasks();
  session->stop();
  EXPECT_EQ(finalEvent()["text"], "first words");
  EXPECT_EQ(finalEvent()["language"], "en-US");
  EXPECT_EQ(finalEvent()["sources"], Event({"mic"}));
}

}  // namespace
}  // namespace kavri
