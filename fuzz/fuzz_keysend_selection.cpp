// Replays any sequence of properties a clipboard owner might write against the selection reader.
// Input: records of [type byte][format byte][length byte][bytes...]; the first is the reply.
#include <cstddef>
#include <cstdint>

#include "selection_transfer.h"

using namespace kavri::keysend;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SelectionTransfer transfer(4096);
  bool first = true;
  size_t at = 0;
  while (at + 3 <= size) {
    SelectionProperty property;
    property.type = static_cast<SelectionProperty::Type>(data[at] % 4);
    property.format = (data[at + 1] % 3 + 1) * 8;
    size_t length = data[at + 2];
    at += 3;
    length = std::min(length, size - at);
    property.bytes.assign(reinterpret_cast<const char*>(data + at), length);
    at += length;
    if (first) {
      // A record of type "other" with format 24 stands for a refused conversion.
      if (property.format == 24 && property.type == SelectionProperty::Type::other) {
        transfer.onReply(std::nullopt);
      } else {
        transfer.onReply(property);
      }
      first = false;
    } else {
      transfer.onChunk(property);
    }
  }
  if (auto text = transfer.text()) {
    // Latin-1 and back must not grow the text beyond two bytes per input byte.
    if (latin1ToUtf8(utf8ToLatin1(*text)).size() > 2 * text->size()) __builtin_trap();
  }
  return 0;
}
