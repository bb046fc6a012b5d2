// kavri-transcribe in live mode end to end, on an audio server of the test's own: the program as
// its host runs it, recordings played into the server's sinks, and how long each step may take.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "testing/json_lines.h"
#include "testing/pulse_server.h"
#include "testing/recordings.h"
#include "testing/words.h"

namespace kavri::testing {

// Loading the speech models, under a sanitizer on a busy machine.
inline constexpr std::chrono::seconds kStartTimeout{60};
// The recordings are a few seconds long and play in real time.
inline constexpr std::chrono::seconds kPlayTimeout{30};
inline constexpr std::chrono::seconds kEventTimeout{30};
// "stop" may take 0.6 + 4 + 8 + 8 seconds in the worst case.
inline constexpr std::chrono::seconds kFinalTimeout{40};

inline JsonLinesChild liveTranscriber(const std::string& server,
                                      std::vector<std::string> arguments = {}) {
  arguments.insert(arguments.begin(), KAVRI_TRANSCRIBE_PATH);
  return JsonLinesChild(arguments, {{"PULSE_SERVER", server}});
}

// Plays one of the test recordings (headerless, 16 kHz) into a sink of the server.
inline std::unique_ptr<ChildProcess> playRecording(const std::string& server,
                                                   const std::string& sink,
                                                   const std::string& name) {
  return playRaw(server, sink, recording(name));
}

// Sends "start en-US <source>" and waits for "started" and for the program's record streams on
// the server.
inline bool startSession(JsonLinesChild& transcriber, const PrivatePulseServer& server,
                         const std::string& source) {
  transcriber.send("start en-US " + source);
  return transcriber.until("started", kStartTimeout) &&
         server.waitForRecordStreams(transcriber.pid(), source == "both" ? 2 : 1, kEventTimeout);
}

// Plays "go forward ten meters" to the microphone and "do something" to the system audio at
// once, and waits until both have played.
inline bool playIntoBoth(const std::string& server) {
  auto mic = playRecording(server, "kavri_mic_in", "goforward.raw");
  auto system = playRecording(server, "kavri_out", "something.raw");
  return mic->waitForExit(kPlayTimeout) && system->waitForExit(kPlayTimeout);
}

// Sends "stop" and reads up to "final", after which the program exits with status 0.
inline std::optional<Json> stopSession(JsonLinesChild& transcriber) {
  transcriber.send("stop");
  auto final = transcriber.until("final", kFinalTimeout);
  if (final) {
    EXPECT_EQ(transcriber.waitForExit(), 0) << transcriber.history();
  }
  return final;
}

// The final event of a session of both sources: the microphone's line with its words, then the
// system's line with its words.
inline void expectBothLines(const Json& final, const std::string& micWords,
                            const std::string& systemWords) {
  std::string text = lowercase(final.value("text", ""));
  auto newline = text.find('\n');
  ASSERT_NE(newline, std::string::npos) << final.dump();
  EXPECT_EQ(text.find('\n', newline + 1), std::string::npos) << final.dump();
  EXPECT_NE(text.substr(0, newline).find(micWords), std::string::npos) << final.dump();
  EXPECT_NE(text.substr(newline + 1).find(systemWords), std::string::npos) << final.dump();
  EXPECT_EQ(final["sources"], (std::vector<std::string>{"mic", "system"}));
}

}  // namespace kavri::testing
