// The PocketSphinx decoder behind the decoder seam, and where its model is.
#pragma once

#include <memory>
#include <string>

#include "speech/decoder.h"

namespace kavri::speech {

// Where the acoustic model, the language model and the pronunciation dictionary are.
struct PocketSphinxModel {
  std::string acousticModel;
  std::string languageModel;
  std::string dictionary;
  // The dictionary's words that the language model does not know are left out unless asked for:
  // no search can reach them.
  bool loadUnreachableWords = false;

  // The layout of Debian's pocketsphinx-en-us package under `directory`.
  static PocketSphinxModel inDirectory(const std::string& directory);
  static PocketSphinxModel installed() {
    return inDirectory("/usr/share/pocketsphinx/model/en-us");
  }
  bool isInstalled() const;
};

// Null, with the reason in `error`, when the model is missing or will not load. Loading costs
// about a third of a second and 75 MB; the decoders of a process share their language model, so
// each one loaded while another is alive costs 45 MB.
std::unique_ptr<Decoder> loadPocketSphinxDecoder(const PocketSphinxModel& model,
                                                 std::string& error);

}  // namespace kavri::speech
