#include "selection_transfer.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstring>

namespace kavri::keysend {
namespace {

bool isText(SelectionProperty::Type type) {
  return type == SelectionProperty::Type::utf8String ||
         type == SelectionProperty::Type::latin1String;
}

}  // namespace

bool SelectionTransfer::append(const SelectionProperty& property) {
  if (property.format != 8 || property.bytes.size() > maxBytes_ - bytes_.size()) return false;
  bytes_ += property.bytes;
  return true;
}

SelectionTransfer::State SelectionTransfer::onReply(
    const std::optional<SelectionProperty>& property) {
  if (state_ != State::awaitingReply) return state_ = State::failed;
  if (!property) return state_ = State::failed;
  if (property->type == SelectionProperty::Type::incremental) {
    // The value is only a lower bound of the size, and some owners leave it out altogether; it
    // is used to reserve, never trusted further.
    uint32_t announced = 0;
    if (property->format == 32 && property->bytes.size() >= sizeof announced) {
      std::memcpy(&announced, property->bytes.data(), sizeof announced);
    }
    bytes_.reserve(std::min<size_t>(announced, std::min<size_t>(maxBytes_, 16u * 1024 * 1024)));
    return state_ = State::awaitingChunk;
  }
  if (!isText(property->type) || !append(*property)) return state_ = State::failed;
  textType_ = property->type;
  return state_ = State::done;
}

SelectionTransfer::State SelectionTransfer::onChunk(const SelectionProperty& chunk) {
  if (state_ != State::awaitingChunk) return state_ = State::failed;
  if (!isText(chunk.type)) return state_ = State::failed;
  // Every chunk must be of the type of the first: a mixture has no single meaning.
  if (textType_ != SelectionProperty::Type::other && chunk.type != textType_) {
    return state_ = State::failed;
  }
  textType_ = chunk.type;
  if (!append(chunk)) return state_ = State::failed;
  if (chunk.bytes.empty()) state_ = State::done;
  return state_;
}

std::optional<std::string> SelectionTransfer::text() const {
  if (state_ != State::done) return std::nullopt;
  if (textType_ == SelectionProperty::Type::latin1String) return latin1ToUtf8(bytes_);
  return bytes_;
}

std::string latin1ToUtf8(const std::string& latin1) {
  std::string utf8;
  utf8.reserve(latin1.size());
  for (unsigned char byte : latin1) {
    if (byte < 0x80) {
      utf8 += static_cast<char>(byte);
    } else {
      utf8 += static_cast<char>(0xC0 | (byte >> 6));
      utf8 += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return utf8;
}

std::string utf8ToLatin1(const std::string& utf8) {
  std::string latin1;
  latin1.reserve(utf8.size());
  const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(utf8.size());
  while (left > 0) {
    utf8proc_int32_t codepoint = 0;
    utf8proc_ssize_t used = utf8proc_iterate(data, left, &codepoint);
    if (used <= 0) {
      // Skip one byte of the broken sequence and go on with the rest.
      latin1 += '?';
      used = 1;
    } else {
      latin1 += codepoint <= 0xFF ? static_cast<char>(codepoint) : '?';
    }
    data += used;
    left -= used;
  }
  return latin1;
}

}  // namespace kavri::keysend
