// X11 backend of the pasteboard: the CLIPBOARD selection.
//
// X keeps no clipboard contents: the owning client serves each paste itself. A short-lived
// program can therefore only "set" the clipboard by leaving a process behind that owns the
// selection and answers requests until another client takes ownership, as the standard X11
// clipboard tools do. That process is a daemon (double fork, own session, standard streams on
// /dev/null) so that it neither becomes a zombie of its caller nor holds the caller's pipes open.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "display_x11.h"
#include "pasteboard.h"
#include "selection_transfer.h"

namespace kavri::keysend {
namespace {

using x11::DisplayPtr;

// How long an owner may take for each step of a reply before we give up on it.
constexpr double kSelectionReplyTimeout = 1.0;
// How long a whole reply may take, however steadily an owner trickles it: the paste waits on it.
constexpr double kSelectionReadLimit = 5.0;
// How long a new owner may take to connect and take the selection.
constexpr double kOwnershipTimeout = 3.0;
// An incremental transfer whose reader stops reading is dropped after this long.
constexpr double kIncrementalStallTimeout = 5.0;

struct Atoms {
  explicit Atoms(Display* display)
      : clipboard(XInternAtom(display, "CLIPBOARD", False)),
        targets(XInternAtom(display, "TARGETS", False)),
        timestamp(XInternAtom(display, "TIMESTAMP", False)),
        utf8String(XInternAtom(display, "UTF8_STRING", False)),
        text(XInternAtom(display, "TEXT", False)),
        incr(XInternAtom(display, "INCR", False)),
        property(XInternAtom(display, "KAVRI_SELECTION", False)) {}
  Atom clipboard, targets, timestamp, utf8String, text, incr, property;
};

SelectionProperty::Type propertyType(const Atoms& atoms, Atom type) {
  if (type == atoms.utf8String) return SelectionProperty::Type::utf8String;
  if (type == XA_STRING) return SelectionProperty::Type::latin1String;
  if (type == atoms.incr) return SelectionProperty::Type::incremental;
  return SelectionProperty::Type::other;
}

// Reads (and deletes) a whole property of our own window; none when it is missing.
std::optional<SelectionProperty> takeProperty(Display* display, const Atoms& atoms, Window window,
                                              Atom property) {
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

// Sets answered to false when the owner let the reply time out (rather than refusing). Nothing
// is waited for past whole.
std::optional<std::string> convertSelection(Display* display, const Atoms& atoms, Window window,
                                            Atom target, x11::Deadline whole, bool& answered) {
  answered = false;
  // Left-overs of an earlier read on this window: a reply that came after we gave up, notices of
  // our own property changes. Left queued they would pile up for the life of the connection, and
  // a late reply would be taken for this one.
  XSync(display, False);
  XEvent stale;
  while (XCheckTypedWindowEvent(display, window, SelectionNotify, &stale) ||
         XCheckTypedWindowEvent(display, window, PropertyNotify, &stale)) {
  }
  auto nextStep = [&] { return std::min(x11::deadlineAfter(kSelectionReplyTimeout), whole); };
  XDeleteProperty(display, window, atoms.property);
  XConvertSelection(display, atoms.clipboard, target, atoms.property, window, CurrentTime);
  XFlush(display);
  XEvent event;
  auto isReply = [&](const XEvent& e) {
    return e.type == SelectionNotify && e.xselection.requestor == window &&
           e.xselection.selection == atoms.clipboard;
  };
  if (!x11::waitForEvent(display, nextStep(), isReply, event)) return std::nullopt;
  answered = true;
  SelectionTransfer transfer;
  std::optional<SelectionProperty> reply;
  if (event.xselection.property != None) {
    reply = takeProperty(display, atoms, window, event.xselection.property);
  }
  // Taking the INCR property deleted it, which tells the owner to send the first chunk.
  transfer.onReply(reply);
  const Atom property = event.xselection.property;
  while (transfer.state() == SelectionTransfer::State::awaitingChunk) {
    auto isChunk = [&](const XEvent& e) {
      return e.type == PropertyNotify && e.xproperty.window == window &&
             e.xproperty.atom == property && e.xproperty.state == PropertyNewValue;
    };
    if (!x11::waitForEvent(display, nextStep(), isChunk, event)) return std::nullopt;
    // The notice of the INCR property itself may still be queued; it finds nothing to read.
    auto chunk = takeProperty(display, atoms, window, property);
    if (chunk) transfer.onChunk(*chunk);
  }
  return transfer.text();
}

// ---- The owner process ----

struct OutgoingTransfer {
  Window requestor;
  Atom property;
  Atom type;
  std::shared_ptr<const std::string> data;
  size_t offset = 0;
  x11::Deadline stallDeadline;
  // Errors about requests older than this concern an earlier window that had the same id.
  unsigned long firstSerial;
};

// Windows whose requests failed (their client went away), with the failed request's serial;
// filled by the error handler.
std::vector<std::pair<XID, unsigned long>> gFailedWindows;

int noteFailedWindow(Display*, XErrorEvent* error) {
  gFailedWindows.emplace_back(error->resourceid, error->serial);
  return 0;
}

// The server went away, and the clipboard with it. Leave without the caller's exit handlers,
// which this forked copy of its memory must not run.
int leaveWithServer(Display*) {
  _exit(0);
}

class SelectionOwner {
 public:
  SelectionOwner(Display* display, Window, Time since, std::string text)
      : display_(display),
        atoms_(display),
        since_(since),
        utf8_(std::make_shared<const std::string>(std::move(text))),
        latin1_(std::make_shared<const std::string>(utf8ToLatin1(*utf8_))),
        // Above the server's request size a property cannot be written in one core request.
        chunkSize_(
            std::max<size_t>(4096, static_cast<size_t>(XMaxRequestSize(display)) * 4 - 256)) {}

  // Serves until another client owns the clipboard and our running transfers are over.
  void serve() {
    for (;;) {
      dropFailedTransfers();
      if (lost_ && transfers_.empty()) return;
      XEvent event;
      if (!x11::waitForEvent(
              display_, nextDeadline(), [](const XEvent&) { return true; }, event)) {
        dropStalledTransfers();
        continue;
      }
      switch (event.type) {
        case SelectionClear:
          if (event.xselectionclear.selection == atoms_.clipboard) lost_ = true;
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

 private:
  x11::Deadline nextDeadline() const {
    auto deadline = x11::deadlineAfter(3600);
    for (const auto& transfer : transfers_) deadline = std::min(deadline, transfer.stallDeadline);
    return deadline;
  }

  void dropStalledTransfers() {
    auto now = std::chrono::steady_clock::now();
    std::erase_if(transfers_, [&](const OutgoingTransfer& t) { return t.stallDeadline <= now; });
  }

  void dropFailedTransfers() {
    for (const auto& failed : gFailedWindows) {
      std::erase_if(transfers_, [&](const OutgoingTransfer& t) {
        return t.requestor == failed.first && failed.second >= t.firstSerial;
      });
    }
    gFailedWindows.clear();
  }

  void answer(const XSelectionRequestEvent& request) {
    // Obsolete requestors name no property and expect the target's name to be used.
    Atom property = request.property == None ? request.target : request.property;
    bool served = false;
    if (request.selection == atoms_.clipboard && !lost_ &&
        (request.time == CurrentTime || request.time >= since_)) {
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

  bool convert(Window requestor, Atom target, Atom property) {
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

  void send(Window requestor, Atom property, Atom type,
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
    transfers_.push_back({requestor, property, type, data, 0,
                          x11::deadlineAfter(kIncrementalStallTimeout), firstSerial});
  }

  void continueTransfer(const XPropertyEvent& deleted) {
    auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const OutgoingTransfer& t) {
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
    it->stallDeadline = x11::deadlineAfter(kIncrementalStallTimeout);
    if (length == 0) {
      const Window requestor = it->requestor;
      transfers_.erase(it);
      bool stillReading =
          std::any_of(transfers_.begin(), transfers_.end(),
                      [&](const OutgoingTransfer& t) { return t.requestor == requestor; });
      if (!stillReading) XSelectInput(display_, requestor, NoEventMask);
    }
  }

  Display* display_;
  Atoms atoms_;
  Time since_;
  std::shared_ptr<const std::string> utf8_;
  std::shared_ptr<const std::string> latin1_;
  size_t chunkSize_;
  std::vector<OutgoingTransfer> transfers_;
  bool lost_ = false;
};

void reportReady(int fd, bool owned) {
  const char answer = owned ? '1' : '0';
  while (::write(fd, &answer, 1) < 0 && errno == EINTR) {
  }
  ::close(fd);
}

// The body of the owner process; never returns.
[[noreturn]] void runOwner(const std::string& text, int readyFd) {
  // Whatever happens before the selection is ours must not leave a stray process behind.
  alarm(static_cast<unsigned>(kOwnershipTimeout) + 1);
  DisplayPtr display = x11::openDisplay();
  if (!display) {
    reportReady(readyFd, false);
    _exit(1);
  }
  XSetErrorHandler(noteFailedWindow);
  XSetIOErrorHandler(leaveWithServer);
  Atoms atoms(display.get());
  Window window = x11::createMessageWindow(display.get());
  auto since = x11::serverTime(display.get(), window, x11::deadlineAfter(kOwnershipTimeout));
  if (!since) {
    reportReady(readyFd, false);
    _exit(1);
  }
  XSetSelectionOwner(display.get(), atoms.clipboard, window, *since);
  const bool owned = XGetSelectionOwner(display.get(), atoms.clipboard) == window;
  alarm(0);
  reportReady(readyFd, owned);
  if (!owned) _exit(1);
  SelectionOwner(display.get(), window, *since, text).serve();
  _exit(0);
}

// Returns the descriptor under which keepFd lives on.
int detachStandardStreams(int keepFd) {
  setsid();
  // Out of the way first: with standard streams closed by the caller, the pipe may be 0, 1 or 2.
  const int moved = fcntl(keepFd, F_DUPFD, 10);
  int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  // Nothing else of the caller's stays open in us: not its X connection, not its pipes.
  constexpr int kReadyFd = 3;
  dup2(moved, kReadyFd);
  close_range(kReadyFd + 1, ~0U, 0);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  return kReadyFd;
}

class X11Pasteboard final : public Pasteboard {
 public:
  std::optional<std::string> stringForType() override {
    Display* display = connection();
    if (!display) return std::nullopt;
    Atoms atoms(display);
    if (XGetSelectionOwner(display, atoms.clipboard) == None) return std::nullopt;
    x11::ErrorTrap trap(display);
    bool answered = false;
    const x11::Deadline whole = x11::deadlineAfter(kSelectionReadLimit);
    if (auto text = convertSelection(display, atoms, window_, atoms.utf8String, whole, answered)) {
      return text;
    }
    // Only an owner that refused UTF-8 is asked for Latin-1; a silent one is not waited for twice.
    if (!answered) return std::nullopt;
    return convertSelection(display, atoms, window_, XA_STRING, whole, answered);
  }

  void clearContents() override {
    Display* display = connection();
    if (!display) return;
    Atoms atoms(display);
    // Anyone may disown a selection with a current time; the owner is told and lets go.
    if (auto now = x11::serverTime(display, window_, x11::deadlineAfter(kSelectionReplyTimeout))) {
      XSetSelectionOwner(display, atoms.clipboard, None, *now);
      XSync(display, False);
    }
  }

  bool setString(const std::string& text) override {
    if (!connection()) return false;
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return false;
    pid_t child = fork();
    if (child < 0) {
      ::close(ready[0]);
      ::close(ready[1]);
      return false;
    }
    if (child == 0) {
      // The middle process exits at once so that the owner is adopted by init, not left as
      // our zombie.
      ::close(ready[0]);
      pid_t owner = fork();
      if (owner != 0) _exit(owner < 0 ? 1 : 0);
      runOwner(text, detachStandardStreams(ready[1]));
    }
    ::close(ready[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    char answer = '0';
    pollfd fd{ready[0], POLLIN, 0};
    const int waitMs = static_cast<int>(kOwnershipTimeout * 1000) + 500;
    if (poll(&fd, 1, waitMs) > 0) {
      while (::read(ready[0], &answer, 1) < 0 && errno == EINTR) {
      }
    }
    ::close(ready[0]);
    return answer == '1';
  }

 private:
  Display* connection() {
    if (!display_) {
      display_ = x11::openDisplay();
      if (display_) window_ = x11::createMessageWindow(display_.get());
    }
    return display_.get();
  }

  DisplayPtr display_;
  Window window_ = None;
};

}  // namespace

std::unique_ptr<Pasteboard> makeGeneralPasteboard() {
  return std::make_unique<X11Pasteboard>();
}

}  // namespace kavri::keysend
