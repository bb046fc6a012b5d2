// Reading a selection's text out of the properties its owner writes: a whole reply, or an
// incremental ("INCR") transfer of chunks. Kept apart from X so that any byte sequence an owner
// may send can be replayed against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kavri::keysend {

// Owners decide how much they send; a reader must not hold more than this for one string.
inline constexpr size_t kMaxSelectionBytes = 256u * 1024 * 1024;

// A window property as the owner wrote it. For format 32, items are packed as 4-byte values in
// host order (not as the C longs that Xlib hands back).
struct SelectionProperty {
  enum class Type { utf8String, latin1String, incremental, other };
  Type type = Type::other;
  int format = 8;
  std::string bytes;
};

class SelectionTransfer {
 public:
  enum class State { awaitingReply, awaitingChunk, done, failed };

  explicit SelectionTransfer(size_t maxBytes = kMaxSelectionBytes) : maxBytes_(maxBytes) {}

  // The property named by the owner's reply; none when the owner refused the conversion.
  State onReply(const std::optional<SelectionProperty>& property);
  // One chunk of an incremental transfer; the empty chunk ends it.
  State onChunk(const SelectionProperty& chunk);

  State state() const { return state_; }
  // The text once the transfer is done, converted to UTF-8 from Latin-1 where the owner sent
  // Latin-1. UTF-8 replies are kept byte for byte, so a string read here and set again is the
  // one that was there.
  std::optional<std::string> text() const;

 private:
  bool append(const SelectionProperty& property);

  size_t maxBytes_;
  State state_ = State::awaitingReply;
  SelectionProperty::Type textType_ = SelectionProperty::Type::other;
  std::string bytes_;
};

// Latin-1 (the STRING target) to UTF-8 and back. Characters that Latin-1 lacks, and bytes that
// are not UTF-8, become '?'.
std::string latin1ToUtf8(const std::string& latin1);
std::string utf8ToLatin1(const std::string& utf8);

}  // namespace kavri::keysend
