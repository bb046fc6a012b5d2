// Placeholder until file transcription lands.
#include "modes.h"

namespace kavri {
void startFileMode(const CommandLine&, const Platform&) {}
}  // namespace kavri
