// X11 backend of the pasteboard: the CLIPBOARD selection. Reading goes to a requestor on our own
// connection; setting leaves a process behind that owns the clipboard and serves it; clearing
// disowns the clipboard, whoever holds it.
#include <X11/Xlib.h>

#include <memory>

#include "lost_server_x11.h"
#include "owner_process.h"
#include "pasteboard.h"
#include "selection_atoms.h"
#include "selection_requestor.h"
#include "x11_connection.h"

namespace kavri::keysend {
namespace {

// How long the server may take to tell its time when the clipboard is cleared.
constexpr double kServerTimeTimeout = kSelectionReplyTimeout;

class X11Pasteboard final : public Pasteboard {
 public:
  std::optional<std::string> stringForType() override {
    if (!connect()) return std::nullopt;
    return SelectionRequestor(*connection_, window_).readText();
  }

  void clearContents() override {
    if (!connect()) return;
    Display* display = connection_->display();
    // Anyone may disown a selection with a current time; the owner is told and lets go.
    if (auto now = x11::serverTime(display, window_, x11::deadlineAfter(kServerTimeTimeout))) {
      XSetSelectionOwner(display, SelectionAtoms(display).clipboard, None, *now);
      XSync(display, False);
    }
  }

  bool setString(const std::string& text) override {
    if (!connect()) return false;
    return startOwnerProcess(text);
  }

 private:
  bool connect() {
    if (!connection_) {
      connection_ = x11::Connection::open(kEndWithLostServer);
      if (connection_) window_ = x11::createMessageWindow(connection_->display());
    }
    return connection_ != nullptr;
  }

  std::unique_ptr<x11::Connection> connection_;
  Window window_ = None;
};

}  // namespace

std::unique_ptr<Pasteboard> makeGeneralPasteboard() {
  return std::make_unique<X11Pasteboard>();
}

}  // namespace kavri::keysend
