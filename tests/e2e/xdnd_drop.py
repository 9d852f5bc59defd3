#!/usr/bin/python3
"""Drop one local file on an X window by XDND, as a file manager does.

Usage: xdnd_drop.py [--verbose] [--timeout S] [--hold-until PATH] --window WID --x X --y Y FILE

X and Y are relative to the window WID (decimal or 0x-hex). The drop goes to the
XDND-aware window at that point: WID itself (or its XdndProxy), else the deepest
window under the point inside WID that is aware, else an aware ancestor of WID.
Only text/uri-list is offered, with the action XdndActionCopy; a request for
text/plain, text/plain;charset=utf-8 or UTF8_STRING gets the plain path. With
--hold-until, the drag waits over the target once it is accepted (printing
"accepted") until PATH exists, and only then drops, as a user's hand may.

Exit status: 0 the target accepted the drop and finished it; 1 the target refused
(XdndStatus or XdndFinished said no); 2 bad arguments or no X server; 3 no
XDND-aware window there, or no answer in time. Needs python3-xlib.
"""

import argparse
import os
import select
import sys
import time
import urllib.parse

try:
    from Xlib import X, Xatom, display as xdisplay, error as xerror
    from Xlib.protocol import event as xevent
except ImportError:
    sys.exit("xdnd_drop.py: python3-xlib is missing (apt-get install python3-xlib)")

OUR_VERSION = 5
OFFERED = "text/uri-list"


class DropFailed(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Drop:
    def __init__(self, dpy, file_path, verbose, timeout, hold_until=None):
        self.dpy = dpy
        self.hold_until = hold_until
        self.root = dpy.screen().root
        self.verbose = verbose
        self.timeout = timeout
        self.atom = lambda name: dpy.intern_atom(name)
        raw = os.fsencode(file_path)
        uri = b"file://" + urllib.parse.quote_from_bytes(raw, safe="/").encode("ascii") + b"\r\n"
        self.answers = {}
        for name, data in ((OFFERED, uri), ("text/plain", raw),
                           ("text/plain;charset=utf-8", raw), ("UTF8_STRING", raw)):
            self.answers[self.atom(name)] = (name, data)
        self.x_errors = []
        self.source = self.root.create_window(
            -10, -10, 1, 1, 0, X.CopyFromParent, X.InputOutput, X.CopyFromParent,
            override_redirect=True, event_mask=X.PropertyChangeMask)
        self.log("source window 0x%x, uri %r", self.source.id, uri)

    def log(self, fmt, *args):
        if self.verbose:
            print("xdnd: " + fmt % args, file=sys.stderr, flush=True)

    def note_error(self, err, *_):
        self.x_errors.append(err)

    # --- finding the target ---------------------------------------------------------

    def property_value(self, win, name, kind):
        try:
            prop = win.get_full_property(self.atom(name), kind)
        except xerror.BadWindow:
            return None
        if prop is None or prop.format != 32 or len(prop.value) == 0:
            return None
        return int(prop.value[0])

    def aware(self, win):
        """(window to send to, XDND version) when win takes drops, else None."""
        to = win
        proxy = self.property_value(win, "XdndProxy", Xatom.WINDOW)
        if proxy:
            proxy_win = self.dpy.create_resource_object("window", proxy)
            if self.property_value(proxy_win, "XdndProxy", Xatom.WINDOW) == proxy:
                to = proxy_win
                self.log("0x%x has XdndProxy 0x%x", win.id, proxy)
            else:
                self.log("0x%x has a stale XdndProxy 0x%x, ignored", win.id, proxy)
        version = self.property_value(to, "XdndAware", Xatom.ATOM)
        if version is None:
            return None
        self.log("0x%x has XdndAware version %d", to.id, version)
        return to, version

    def find_target(self, win, rx, ry):
        tried = []
        w = win
        while w is not None and w.id != X.NONE:
            tried.append(w.id)
            found = self.aware(w)
            if found:
                return w, found
            child = w.translate_coords(self.root, rx, ry).child
            w = child if child and child.id != X.NONE else None
        parent = win.query_tree().parent
        while getattr(parent, "id", X.NONE) not in (X.NONE, self.root.id):
            tried.append(parent.id)
            found = self.aware(parent)
            if found:
                return parent, found
            parent = parent.query_tree().parent
        raise DropFailed(3, "no XDND-aware window at that point (tried %s)"
                         % ", ".join("0x%x" % i for i in tried))

    # --- events -----------------------------------------------------------------

    def server_time(self):
        """A real server timestamp, from a property change on our own window."""
        self.source.change_property(self.atom("XdndActionList"), Xatom.ATOM, 32,
                                    [self.atom("XdndActionCopy")])
        deadline = time.monotonic() + self.timeout
        while True:
            ev = self.next_event(deadline)
            if ev is None:
                raise DropFailed(3, "no PropertyNotify from the X server")
            if ev.type == X.PropertyNotify and ev.window.id == self.source.id:
                return ev.time
            self.handle_other(ev)

    def next_event(self, deadline):
        while True:
            if self.dpy.pending_events():
                return self.dpy.next_event()
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            select.select([self.dpy], [], [], left)

    def handle_other(self, ev):
        if ev.type == X.SelectionRequest:
            self.answer(ev)
        elif ev.type == X.SelectionClear and ev.atom == self.atom("XdndSelection"):
            raise DropFailed(3, "another client took the XdndSelection")

    def answer(self, req):
        name = self.dpy.get_atom_name(req.target)
        prop = req.property if req.property != X.NONE else req.target
        refused = False
        if req.selection != self.atom("XdndSelection"):
            refused = True
        elif req.target == self.atom("TARGETS"):
            targets = [self.atom("TARGETS")] + list(self.answers)
            req.requestor.change_property(prop, Xatom.ATOM, 32, targets, onerror=self.note_error)
        elif req.target in self.answers:
            req.requestor.change_property(prop, req.target, 8, self.answers[req.target][1],
                                          onerror=self.note_error)
        else:
            refused = True
        self.log("SelectionRequest from 0x%x for %s: %s", req.requestor.id, name,
                 "refused" if refused else "sent")
        reply = xevent.SelectionNotify(time=req.time, requestor=req.requestor,
                                       selection=req.selection, target=req.target,
                                       property=X.NONE if refused else prop)
        req.requestor.send_event(reply, onerror=self.note_error)
        self.dpy.flush()

    def send(self, to, target, name, data):
        data = list(data) + [0] * (5 - len(data))
        msg = xevent.ClientMessage(window=target, client_type=self.atom(name), data=(32, data))
        to.send_event(msg, onerror=self.note_error)
        self.dpy.flush()
        self.log("sent %s to 0x%x", name, to.id)

    def wait_for(self, name, target, seconds):
        deadline = time.monotonic() + seconds
        while True:
            ev = self.next_event(deadline)
            if ev is None:
                return None
            if (ev.type == X.ClientMessage and ev.client_type == self.atom(name)
                    and ev.data[1][0] == target.id):
                return ev.data[1]
            if ev.type == X.ClientMessage:
                self.log("ignored %s", self.dpy.get_atom_name(ev.client_type))
            self.handle_other(ev)

    # --- the drop ---------------------------------------------------------------

    def run(self, win, x, y):
        try:
            geo = win.get_geometry()
        except (xerror.BadWindow, xerror.BadDrawable):
            raise DropFailed(2, "no window 0x%x" % win.id)
        if win.get_attributes().map_state != X.IsViewable:
            raise DropFailed(2, "window 0x%x is not viewable" % win.id)
        if not (0 <= x < geo.width and 0 <= y < geo.height):
            raise DropFailed(2, "point %d,%d is outside window 0x%x (%dx%d)"
                             % (x, y, win.id, geo.width, geo.height))
        pos = self.root.translate_coords(win, x, y)
        rx, ry = pos.x, pos.y
        self.log("point %d,%d of 0x%x is %d,%d on the root", x, y, win.id, rx, ry)
        target, (to, their_version) = self.find_target(win, rx, ry)
        if their_version < 3:
            raise DropFailed(3, "0x%x speaks XDND version %d, too old" % (to.id, their_version))
        version = min(OUR_VERSION, their_version)
        now = self.server_time()
        sel = self.atom("XdndSelection")
        self.source.set_selection_owner(sel, now)
        if getattr(self.dpy.get_selection_owner(sel), "id", X.NONE) != self.source.id:
            raise DropFailed(3, "could not take the XdndSelection")
        self.source.change_property(self.atom("XdndTypeList"), Xatom.ATOM, 32,
                                    [self.atom(OFFERED)])
        self.log("owner of XdndSelection at time %d; target 0x%x, version %d",
                 now, target.id, version)
        src = self.source.id
        copy = self.atom("XdndActionCopy")
        self.send(to, target, "XdndEnter", [src, version << 24, self.atom(OFFERED)])
        self.send(to, target, "XdndPosition", [src, 0, (rx << 16) | ry, now, copy])
        status = self.wait_for("XdndStatus", target, self.timeout)
        if status is None:
            self.send(to, target, "XdndLeave", [src])
            raise DropFailed(3, "no XdndStatus from 0x%x within %g s" % (target.id, self.timeout))
        accepted = bool(status[1] & 1)
        action = self.dpy.get_atom_name(status[4]) if status[4] else "none"
        self.log("XdndStatus: %s, action %s", "accepted" if accepted else "refused", action)
        if not accepted:
            self.send(to, target, "XdndLeave", [src])
            raise DropFailed(1, "0x%x refused the drag (XdndStatus)" % target.id)
        if self.hold_until:
            print("accepted", flush=True)
            deadline = time.monotonic() + 60
            while not os.path.lexists(self.hold_until):
                if time.monotonic() > deadline:
                    raise DropFailed(3, "%s never appeared" % self.hold_until)
                ev = self.next_event(time.monotonic() + 0.01)
                if ev is not None:
                    self.handle_other(ev)
        self.send(to, target, "XdndDrop", [src, 0, now])
        finished = self.wait_for("XdndFinished", target, self.timeout)
        if finished is None:
            raise DropFailed(3, "no XdndFinished from 0x%x within %g s" % (target.id, self.timeout))
        if version >= 5:
            done = bool(finished[1] & 1)
            action = self.dpy.get_atom_name(finished[2]) if finished[2] else "none"
        else:
            done = True
        self.log("XdndFinished: %s, action %s", "accepted" if done else "refused", action)
        if self.x_errors:
            raise DropFailed(3, "X errors: %s" % "; ".join(str(e) for e in self.x_errors))
        if not done:
            raise DropFailed(1, "0x%x refused the drop (XdndFinished)" % target.id)


def main():
    parser = argparse.ArgumentParser(description="Drop one local file on an X window by XDND.")
    parser.add_argument("--window", required=True, type=lambda s: int(s, 0),
                        help="target window id, decimal or 0x-hex")
    parser.add_argument("--x", required=True, type=int, help="x relative to the window")
    parser.add_argument("--y", required=True, type=int, help="y relative to the window")
    parser.add_argument("--timeout", type=float, default=10.0,
                        help="seconds to wait for each answer (default 10)")
    parser.add_argument("--hold-until", metavar="PATH", help="drop only once PATH exists")
    parser.add_argument("--verbose", action="store_true", help="log the protocol steps to stderr")
    parser.add_argument("file")
    args = parser.parse_args()

    path = os.path.abspath(args.file)
    if not os.path.lexists(path):
        print("xdnd_drop.py: no such file: %s" % path, file=sys.stderr)
        return 2
    try:
        dpy = xdisplay.Display()
    except Exception as exc:  # Xlib raises several kinds for a missing or refused display
        print("xdnd_drop.py: cannot open the X display: %s" % exc, file=sys.stderr)
        return 2
    try:
        drop = Drop(dpy, path, args.verbose, args.timeout, args.hold_until)
        win = dpy.create_resource_object("window", args.window)
        drop.run(win, args.x, args.y)
        drop.log("done")
        return 0
    except DropFailed as failure:
        print("xdnd_drop.py: %s" % failure, file=sys.stderr)
        return failure.status
    except xerror.XError as exc:
        print("xdnd_drop.py: X error: %s" % exc, file=sys.stderr)
        return 3
    finally:
        dpy.close()


if __name__ == "__main__":
    sys.exit(main())
