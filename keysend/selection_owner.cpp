#include "selection_owner.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "selection_transfer.h"

namespace kavri::keysend {
namespace {

// How long serving waits for events when no transfer has a deadline sooner.
constexpr double kIdleWait = 3600;

}  // namespace

bool serverTimeNotBefore(Time time, Time since) {
  return static_cast<uint32_t>(time - since) < (uint32_t{1} << 31);
}

struct SelectionOwner::Transfer {
  Window requestor;
  Atom property;
  Atom type;
  std::shared_ptr<const std::string> data;
  size_t offset = 0;
  x11::Deadline stallDeadline;
  // Errors about requests older than this concern an earlier window that had the same id.
  unsigned long firstSerial;
};

SelectionOwner::SelectionOwner(x11::Connection& connection, std::string text, Callbacks callbacks,
                               double stallTimeout)
    : connection_(connection),
      display_(connection.display()),
      atoms_(display_),
      window_(x11::createMessageWindow(display_)),
      callbacks_(std::move(callbacks)),
      stallTimeout_(stallTimeout),
      utf8_(std::make_shared<const std::string>(std::move(text))),
      latin1_(std::make_shared<const std::string>(utf8ToLatin1(*utf8_))),
      // Above the server's request size a property cannot be written in one core request.
      chunkSize_(std::max<size_t>(4096, static_cast<size_t>(XMaxRequestSize(display_)) * 4 - 256)) {
  // Readers may go away in the middle of a transfer; writing to their windows then fails.
  connection_.setErrorHandler([this](const XErrorEvent& error) {
    failedWindows_.emplace_back(error.resourceid, error.serial);
  });
}

SelectionOwner::~SelectionOwner() {
  if (!connection_.lost()) {
    XDestroyWindow(display_, window_);
    // Requests still unsent may concern readers that are gone by now; their errors are ours.
    XSync(display_, False);
  }
  connection_.setErrorHandler(nullptr);
}

bool SelectionOwner::take(x11::Deadline deadline) {
  auto now = x11::serverTime(display_, window_, deadline);
  if (!now) return false;
  since_ = *now;
  XSetSelectionOwner(display_, atoms_.clipboard, window_, since_);
  return XGetSelectionOwner(display_, atoms_.clipboard) == window_;
}

void SelectionOwner::serve() {
  for (;;) {
    dropFailedTransfers();
    if (connection_.lost()) {
      // Nothing can be served any more, and nothing is ours.
      reportLost();
      transfers_.clear();
    }
    if (lost_ && transfers_.empty()) {
      if (callbacks_.done) callbacks_.done();
      return;
    }
    XEvent event;
    if (!x11::waitForEvent(
            display_, nextDeadline(), [](const XEvent&) { return true; }, event)) {
      dropStalledTransfers();
      continue;
    }
    switch (event.type) {
      case SelectionClear:
        if (event.xselectionclear.selection == atoms_.clipboard) reportLost();
        break;
      case SelectionRequest:
        answer(event.xselectionrequest);
        break;
      case PropertyNotify:
        if (event.xproperty.state == PropertyDelete) continueTransfer(event.xproperty);
        break;
      default:
        break;
    }
  }
}

void SelectionOwner::reportLost() {
  if (lost_) return;
  lost_ = true;
  if (callbacks_.lost) callbacks_.lost();
}

x11::Deadline SelectionOwner::nextDeadline() const {
  auto deadline = x11::deadlineAfter(kIdleWait);
  for (const auto& transfer : transfers_) deadline = std::min(deadline, transfer.stallDeadline);
  return deadline;
}

void SelectionOwner::dropStalledTransfers() {
  auto now = std::chrono::steady_clock::now();
  std::erase_if(transfers_, [&](const Transfer& t) { return t.stallDeadline <= now; });
}

void SelectionOwner::dropFailedTransfers() {
  for (const auto& failed : failedWindows_) {
    std::erase_if(transfers_, [&](const Transfer& t) {
      return t.requestor == failed.first && failed.second >= t.firstSerial;
    });
  }
  failedWindows_.clear();
}

void SelectionOwner::answer(const XSelectionRequestEvent& request) {
  // Obsolete requestors name no property and expect the target's name to be used.
  Atom property = request.property == None ? request.target : request.property;
  bool served = false;
  if (request.selection == atoms_.clipboard && !lost_ &&
      (request.time == CurrentTime || serverTimeNotBefore(request.time, since_))) {
    served = convert(request.requestor, request.target, property);
  }
  XEvent reply{};
  reply.xselection.type = SelectionNotify;
  reply.xselection.display = display_;
  reply.xselection.requestor = request.requestor;
  reply.xselection.selection = request.selection;
  reply.xselection.target = request.target;
  reply.xselection.property = served ? property : None;
  reply.xselection.time = request.time;
  XSendEvent(display_, request.requestor, False, NoEventMask, &reply);
  XFlush(display_);
}

bool SelectionOwner::convert(Window requestor, Atom target, Atom property) {
  if (target == atoms_.targets) {
    const Atom offered[] = {atoms_.targets, atoms_.timestamp, atoms_.utf8String, XA_STRING,
                            atoms_.text};
    XChangeProperty(display_, requestor, property, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(offered), std::size(offered));
    return true;
  }
  if (target == atoms_.timestamp) {
    const long stamp = static_cast<long>(since_);
    XChangeProperty(display_, requestor, property, XA_INTEGER, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&stamp), 1);
    return true;
  }
  if (target == atoms_.utf8String || target == atoms_.text) {
    send(requestor, property, atoms_.utf8String, utf8_);
    return true;
  }
  if (target == XA_STRING) {
    send(requestor, property, XA_STRING, latin1_);
    return true;
  }
  return false;
}

void SelectionOwner::send(Window requestor, Atom property, Atom type,
                          const std::shared_ptr<const std::string>& data) {
  if (data->size() <= chunkSize_) {
    XChangeProperty(display_, requestor, property, type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(data->data()),
                    static_cast<int>(data->size()));
    return;
  }
  // The reader deletes the INCR property to ask for the first chunk, and each chunk after.
  const unsigned long firstSerial = NextRequest(display_);
  XSelectInput(display_, requestor, PropertyChangeMask);
  const long size = static_cast<long>(data->size());
  XChangeProperty(display_, requestor, property, atoms_.incr, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&size), 1);
  transfers_.push_back(
      {requestor, property, type, data, 0, x11::deadlineAfter(stallTimeout_), firstSerial});
}

void SelectionOwner::continueTransfer(const XPropertyEvent& deleted) {
  auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
    return t.requestor == deleted.window && t.property == deleted.atom;
  });
  if (it == transfers_.end()) return;
  const size_t length = std::min(chunkSize_, it->data->size() - it->offset);
  // The last chunk is the empty one, which ends the transfer.
  XChangeProperty(display_, it->requestor, it->property, it->type, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(it->data->data() + it->offset),
                  static_cast<int>(length));
  XFlush(display_);
  it->offset += length;
  it->stallDeadline = x11::deadlineAfter(stallTimeout_);
  if (length == 0) {
    const Window requestor = it->requestor;
    transfers_.erase(it);
    bool stillReading = std::any_of(transfers_.begin(), transfers_.end(),
                                    [&](const Transfer& t) { return t.requestor == requestor; });
    if (!stillReading) XSelectInput(display_, requestor, NoEventMask);
  }
}

}  // namespace kavri::keysend
