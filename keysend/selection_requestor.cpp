#include "selection_requestor.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <memory>

#include "selection_transfer.h"

namespace kavri::keysend {
namespace {

SelectionProperty::Type propertyType(const SelectionAtoms& atoms, Atom type) {
  if (type == atoms.utf8String) return SelectionProperty::Type::utf8String;
  if (type == XA_STRING) return SelectionProperty::Type::latin1String;
  if (type == atoms.incr) return SelectionProperty::Type::incremental;
  return SelectionProperty::Type::other;
}

// Reads (and deletes) a whole property of our own window; none when it is missing.
std::optional<SelectionProperty> takeProperty(Display* display, const SelectionAtoms& atoms,
                                              Window window, Atom property) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  // A first look for the size, then one read of everything, so that the delete happens.
  if (XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType, &type, &format,
                         &count, &after, &data) != Success) {
    return std::nullopt;
  }
  if (data) XFree(data);
  if (type == None) return std::nullopt;
  if (after > kMaxSelectionBytes) {
    // Not worth fetching: the reader would refuse it anyway.
    XDeleteProperty(display, window, property);
    return SelectionProperty{};
  }
  long length = static_cast<long>((after + 3) / 4);
  if (XGetWindowProperty(display, window, property, 0, length, True, AnyPropertyType, &type,
                         &format, &count, &after, &data) != Success) {
    return std::nullopt;
  }
  std::unique_ptr<unsigned char, int (*)(void*)> owned(data, XFree);
  SelectionProperty result;
  result.type = propertyType(atoms, type);
  result.format = format;
  if (format == 8) {
    result.bytes.assign(reinterpret_cast<const char*>(data), count);
  } else if (format == 32) {
    // Xlib widens 32-bit items to C longs.
    for (unsigned long i = 0; i < count; ++i) {
      uint32_t item = static_cast<uint32_t>(reinterpret_cast<const long*>(data)[i]);
      result.bytes.append(reinterpret_cast<const char*>(&item), sizeof item);
    }
  } else if (format == 16) {
    result.bytes.assign(reinterpret_cast<const char*>(data), count * 2);
  }
  return result;
}

}  // namespace

SelectionRequestor::SelectionRequestor(x11::Connection& connection, Window window,
                                       double replyTimeout, double readLimit)
    : connection_(connection),
      display_(connection.display()),
      window_(window),
      atoms_(display_),
      replyTimeout_(replyTimeout),
      readLimit_(readLimit) {}

std::optional<std::string> SelectionRequestor::readText() {
  if (XGetSelectionOwner(display_, atoms_.clipboard) == None) return std::nullopt;
  x11::ErrorTrap trap(connection_);
  bool answered = false;
  const x11::Deadline whole = x11::deadlineAfter(readLimit_);
  if (auto text = convert(atoms_.utf8String, whole, answered)) return text;
  // Only an owner that refused UTF-8 is asked for Latin-1; a silent one is not waited for twice.
  if (!answered) return std::nullopt;
  return convert(XA_STRING, whole, answered);
}

std::optional<std::string> SelectionRequestor::convert(Atom target, x11::Deadline whole,
                                                       bool& answered) {
  answered = false;
  // Left-overs of an earlier read on this window: a reply that came after we gave up, notices of
  // our own property changes. Left queued they would pile up for the life of the connection, and
  // a late reply would be taken for this one.
  XSync(display_, False);
  XEvent stale;
  while (XCheckTypedWindowEvent(display_, window_, SelectionNotify, &stale) ||
         XCheckTypedWindowEvent(display_, window_, PropertyNotify, &stale)) {
  }
  auto nextStep = [&] { return std::min(x11::deadlineAfter(replyTimeout_), whole); };
  XDeleteProperty(display_, window_, atoms_.property);
  XConvertSelection(display_, atoms_.clipboard, target, atoms_.property, window_, CurrentTime);
  XFlush(display_);
  XEvent event;
  auto isReply = [&](const XEvent& e) {
    return e.type == SelectionNotify && e.xselection.requestor == window_ &&
           e.xselection.selection == atoms_.clipboard;
  };
  if (!x11::waitForEvent(display_, nextStep(), isReply, event)) return std::nullopt;
  answered = true;
  SelectionTransfer transfer;
  std::optional<SelectionProperty> reply;
  if (event.xselection.property != None) {
    reply = takeProperty(display_, atoms_, window_, event.xselection.property);
  }
  // Taking the INCR property deleted it, which tells the owner to send the first chunk.
  transfer.onReply(reply);
  const Atom property = event.xselection.property;
  while (transfer.state() == SelectionTransfer::State::awaitingChunk) {
    auto isChunk = [&](const XEvent& e) {
      return e.type == PropertyNotify && e.xproperty.window == window_ &&
             e.xproperty.atom == property && e.xproperty.state == PropertyNewValue;
    };
    if (!x11::waitForEvent(display_, nextStep(), isChunk, event)) return std::nullopt;
    // The notice of the INCR property itself may still be queued; it finds nothing to read.
    auto chunk = takeProperty(display_, atoms_, window_, property);
    if (chunk) transfer.onChunk(*chunk);
  }
  return transfer.text();
}

}  // namespace kavri::keysend
