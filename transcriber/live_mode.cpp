#include "live_mode.h"

#include <functional>

#include "command_reader.h"
#include "event_output.h"
#include "live_session.h"

namespace kavri {
namespace {

// The host is gone: there is nobody to hear us and nobody to stop us.
constexpr int kHostGoneExitStatus = kOutputClosedExitStatus;

// On the main queue: ends the session by `end`, then the process with status.
void endOnMainQueue(MainQueue& mainQueue, const std::shared_ptr<LiveSession>& session,
                    void (LiveSession::*end)(), int status) {
  mainQueue.async([session, end, status] {
    std::invoke(end, *session);
    exitProcess(status);
  });
}

void submitToMainQueue(const LiveCommand& command, MainQueue& mainQueue,
                       const std::shared_ptr<LiveSession>& session) {
  switch (command.kind) {
    case LiveCommand::Kind::start:
      mainQueue.async([session, command] { session->start(command.localeId, command.source); });
      break;
    case LiveCommand::Kind::stop:
      endOnMainQueue(mainQueue, session, &LiveSession::stop, 0);
      break;
    case LiveCommand::Kind::cancel:
      endOnMainQueue(mainQueue, session, &LiveSession::cancel, 3);
      break;
    case LiveCommand::Kind::quit:
      endOnMainQueue(mainQueue, session, &LiveSession::cancel, 0);
      break;
    case LiveCommand::Kind::none:
      break;
  }
}

}  // namespace

void startLiveMode(const CommandLine& commandLine, const Platform& platform, MainQueue& mainQueue) {
  auto session = std::make_shared<LiveSession>(platform);
  if (!platform.speech) {
    fatal("speech_authorization_" + speechStatusString(-1));
  }
  // Loading a recogniser takes a noticeable part of a second and tens of megabytes; loading one
  // while the permission is asked makes the first "start" quick. A session of both sources loads
  // its second after "started", on that recogniser's own thread, and nothing idle holds it.
  platform.speech->prepareRecognizers(kDefaultLocale, 1);

  platform.speech->requestAuthorization([&commandLine, &mainQueue, session](int status) {
    if (status != speech::kAuthorized) fatal("speech_authorization_" + speechStatusString(status));
    launchTask([&commandLine, &mainQueue, session] {
      CommandInput input = CommandInput::open(commandLine.argValue("--commands-fifo"));
      CommandReaderOptions options;
      // The host is known by what it holds, not by who started us (a launcher may have done that
      // and gone): once nobody reads our events and the command input is at its end, nobody is
      // there to send "stop", and an idle session writes nothing whose failure would end us.
      options.hostAlive = [] { return !eventOutput().readerGone(); };
      CommandReader reader(
          input.fd(),
          [&mainQueue, session](const LiveCommand& command) {
            submitToMainQueue(command, mainQueue, session);
          },
          [&mainQueue, session] {
            mainQueue.async([session] {
              session->cancel();
              exitProcess(kHostGoneExitStatus);
            });
          },
          options);
      reader.run();
    });
  });
}

}  // namespace kavri
