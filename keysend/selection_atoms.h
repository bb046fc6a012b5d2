// The atoms of the clipboard protocol that the requestor and the owner both speak.
#pragma once

#include <X11/Xlib.h>

namespace kavri::keysend {

struct SelectionAtoms {
  explicit SelectionAtoms(Display* display)
      : clipboard(XInternAtom(display, "CLIPBOARD", False)),
        targets(XInternAtom(display, "TARGETS", False)),
        timestamp(XInternAtom(display, "TIMESTAMP", False)),
        utf8String(XInternAtom(display, "UTF8_STRING", False)),
        text(XInternAtom(display, "TEXT", False)),
        incr(XInternAtom(display, "INCR", False)),
        property(XInternAtom(display, "KAVRI_SELECTION", False)) {}
  Atom clipboard, targets, timestamp, utf8String, text, incr;
  // Where our own requests ask owners to put their replies.
  Atom property;
};

}  // namespace kavri::keysend
