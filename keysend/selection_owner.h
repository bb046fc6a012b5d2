// Serving the clipboard: owns the CLIPBOARD selection with one text and answers every request for
// it, whole or, above what one request can carry, in an incremental ("INCR") transfer that the
// reader paces. It knows nothing of processes: it reports through callbacks when another client
// has taken the clipboard, and when, after that, the last running transfer is over.
#pragma once

#include <X11/Xlib.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "selection_atoms.h"
#include "x11_connection.h"

namespace kavri::keysend {

// An incremental transfer whose reader stops reading is dropped after this long.
inline constexpr double kIncrementalStallTimeout = 5.0;

// Whether the server time `time` is not before `since`. Server times are milliseconds in 32 bits
// that wrap around every 49.7 days, so a long-lived owner cannot compare them as numbers: a time
// less than half the range ahead of `since` counts as later, any other as earlier.
bool serverTimeNotBefore(Time time, Time since);

class SelectionOwner {
 public:
  struct Callbacks {
    // Another client owns the clipboard now, or the server went away.
    std::function<void()> lost;
    // Lost, and no transfer is running any more.
    std::function<void()> done;
  };

  SelectionOwner(x11::Connection& connection, std::string text, Callbacks callbacks,
                 double stallTimeout = kIncrementalStallTimeout);
  ~SelectionOwner();
  SelectionOwner(const SelectionOwner&) = delete;
  SelectionOwner& operator=(const SelectionOwner&) = delete;

  // Makes the clipboard ours from the server's current time on. False when the server does not
  // tell its time before the deadline, or another client keeps the clipboard.
  bool take(x11::Deadline deadline);

  // Answers requests until done has been reported.
  void serve();

 private:
  struct Transfer;

  x11::Deadline nextDeadline() const;
  void dropStalledTransfers();
  void dropFailedTransfers();
  void answer(const XSelectionRequestEvent& request);
  bool convert(Window requestor, Atom target, Atom property);
  void send(Window requestor, Atom property, Atom type,
            const std::shared_ptr<const std::string>& data);
  void continueTransfer(const XPropertyEvent& deleted);
  void reportLost();

  x11::Connection& connection_;
  Display* display_;
  SelectionAtoms atoms_;
  Window window_;
  Callbacks callbacks_;
  double stallTimeout_;
  Time since_ = CurrentTime;
  std::shared_ptr<const std::string> utf8_;
  std::shared_ptr<const std::string> latin1_;
  size_t chunkSize_;
  std::vector<Transfer> transfers_;
  // Windows whose requests failed (their client went away), with the failed request's serial.
  std::vector<std::pair<XID, unsigned long>> failedWindows_;
  bool lost_ = false;
};

}  // namespace kavri::keysend
