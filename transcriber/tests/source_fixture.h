// The fixture of an audio source's tests: the source feeds a started recogniser on a fake speech
// service, whose request the test reads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "fake_speech_service.h"
#include "source_recognizer.h"

namespace kavri::testing {

class SourceFixture : public ::testing::Test {
 protected:
  explicit SourceFixture(const std::string& speaker)
      : fake(service.addRecognizer()),
        recognizer(SourceRecognizer::make(service, speaker, "en-US")) {
    recognizer->start(nullptr, nullptr);
  }

  // The next buffer the recogniser's request holds, or null.
  audio::PcmBufferPtr received() {
    audio::PcmBufferPtr out;
    using Next = speech::AudioBufferRecognitionRequest::Next;
    if (fake->lastTask().request->next(out, std::chrono::milliseconds(0)) != Next::buffer) {
      return nullptr;
    }
    return out;
  }

  FakeSpeechService service;
  std::shared_ptr<FakeRecognizer> fake;
  std::shared_ptr<SourceRecognizer> recognizer;
};

}  // namespace kavri::testing
