// Placeholder until live mode lands.
#include "modes.h"

namespace kavri {
void startLiveMode(const CommandLine&, const Platform&, MainQueue&) {}
}  // namespace kavri
