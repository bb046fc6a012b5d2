#include "event_bridge.h"

namespace kavri::keyglue {

void emitEvent(const std::atomic<bool>& listening, EventQueue* queue, std::string_view text) {
  if (!listening.load(std::memory_order_acquire) || !queue) return;
  queue->queue(std::string(text));
}

}  // namespace kavri::keyglue
