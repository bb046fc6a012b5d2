// The PocketSphinx engine: one decoder per recogniser, reused across its tasks, loaded ahead of
// time into a pool; every task of a recogniser runs in order on the recogniser's own worker
// thread, which is also where results are delivered.
#include "speech/speech_service_pocketsphinx.h"

#include <string_view>

#include "speech/decoder_pool.h"
#include "speech/recognition_worker.h"

namespace kavri::speech {

namespace {

class PocketSphinxSpeechService : public SpeechService {
 public:
  explicit PocketSphinxSpeechService(PocketSphinxModel model)
      : model_(std::move(model)),
        pool_(std::make_shared<DecoderPool>([model = model_](std::string& error) {
          return loadPocketSphinxDecoder(model, error);
        })) {}

  // There is no speech permission to ask for on this platform: recognition is possible exactly
  // when the model is installed.
  int authorizationStatus() override { return model_.isInstalled() ? kAuthorized : kRestricted; }

  void requestAuthorization(std::function<void(int status)> handler) override {
    answers_.answer(std::move(handler), authorizationStatus());
  }

  std::shared_ptr<Recognizer> makeRecognizer(const std::string& localeId) override {
    if (!isSupportedLocale(localeId)) return nullptr;
    return std::make_shared<WorkerRecognizer>(
        pool_, EngineAudio{&AudioFileReader::open, &Resampler::create}, model_.isInstalled());
  }

  void prepareRecognizers(const std::string& localeId, int count) override {
    if (count > 0 && isSupportedLocale(localeId) && model_.isInstalled()) pool_->prepare(count);
  }

 private:
  const PocketSphinxModel model_;
  const std::shared_ptr<DecoderPool> pool_;
  AuthorizationAnswers answers_;
};

}  // namespace

bool isSupportedLocale(const std::string& localeId) {
  std::string_view id = localeId;
  id = id.substr(0, id.find_first_of(".@"));
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return id.size() == 5 && lower(id[0]) == 'e' && lower(id[1]) == 'n' &&
         (id[2] == '-' || id[2] == '_') && lower(id[3]) == 'u' && lower(id[4]) == 's';
}

std::shared_ptr<SpeechService> makePocketSphinxSpeechService(PocketSphinxModel model) {
  return std::make_shared<PocketSphinxSpeechService>(std::move(model));
}

std::shared_ptr<SpeechService> makePlatformSpeechService() {
  return makePocketSphinxSpeechService();
}

}  // namespace kavri::speech
