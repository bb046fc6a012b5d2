// The queueing contract of the hand-over to JavaScript, apart from Node-API: an event is copied,
// queued without waiting, and dropped when nobody listens or the queue refuses it.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace kavri::keyglue {

// Where events wait for the JavaScript thread: the thread-safe function in the addon.
class EventQueue {
 public:
  virtual ~EventQueue() = default;
  // Queues the text without waiting; false when the queue refuses it (closing, full).
  virtual bool queue(std::string text) = 0;
};

// Callable from any thread. text is copied before this returns; a refused event is lost without
// an error, since the thread that saw the key has nobody to tell.
void emitEvent(const std::atomic<bool>& listening, EventQueue* queue, std::string_view text);

}  // namespace kavri::keyglue
