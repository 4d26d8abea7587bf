"""A small X client for the operator benchmark, on libX11, libXfixes and libXtst through ctypes.

One connection watches everything the benchmark times, driven by events rather than by starting
tools: top-level windows as they are mapped (SubstructureNotify on the root) and painted (a few
pixels read back until they are no longer the black root), the CLIPBOARD's owner changes (XFixes
selection notify, after which the text is asked for once), and clicks sent with XTest.
"""

import ctypes
import ctypes.util
import os
import select
import time

_CreateNotify, _DestroyNotify, _UnmapNotify, _MapNotify = 16, 17, 18, 19
_SelectionNotify = 31
_SubstructureNotifyMask = 1 << 19
_ZPixmap = 2
_AllPlanes = 0xFFFFFFFF
_AnyPropertyType = 0
_CurrentTime = 0
_XFixesSetSelectionOwnerNotifyMask = 1
STALLED = 0.02  # seconds after which an unanswered clipboard request is asked again


class _AnyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong)]


class _MapEvent(ctypes.Structure):  # also the layout of Unmap/Destroy up to .window
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("event", ctypes.c_ulong),
                ("window", ctypes.c_ulong)]


class _SelectionEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("requestor", ctypes.c_ulong),
                ("selection", ctypes.c_ulong), ("target", ctypes.c_ulong),
                ("property", ctypes.c_ulong), ("time", ctypes.c_ulong)]


class _FixesSelectionNotify(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("subtype", ctypes.c_int), ("owner", ctypes.c_ulong),
                ("selection", ctypes.c_ulong), ("timestamp", ctypes.c_ulong),
                ("selection_timestamp", ctypes.c_ulong)]


class _Event(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("any", _AnyEvent), ("map", _MapEvent),
                ("selection", _SelectionEvent), ("fixes", _FixesSelectionNotify),
                ("pad", ctypes.c_long * 24)]


class _Image(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_ubyte)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int),
                ("bits_per_pixel", ctypes.c_int)]


def _library(name):
    path = ctypes.util.find_library(name)
    if path is None:
        raise OSError("lib%s is not installed" % name)
    return ctypes.CDLL(path)


_x = _library("X11")
_fixes = _library("Xfixes")
_tst = _library("Xtst")

_x.XOpenDisplay.restype = ctypes.c_void_p
_x.XOpenDisplay.argtypes = [ctypes.c_char_p]
_x.XDefaultRootWindow.restype = ctypes.c_ulong
_x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_x.XConnectionNumber.argtypes = [ctypes.c_void_p]
_x.XInternAtom.restype = ctypes.c_ulong
_x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
_x.XCreateSimpleWindow.restype = ctypes.c_ulong
_x.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int] * 2 + \
    [ctypes.c_uint] * 3 + [ctypes.c_ulong] * 2
_x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
_x.XSetWindowBackground.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong]
_x.XClearWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
_x.XPending.argtypes = [ctypes.c_void_p]
_x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Event)]
_x.XFlush.argtypes = [ctypes.c_void_p]
_x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
_x.XCloseDisplay.argtypes = [ctypes.c_void_p]
_x.XFree.argtypes = [ctypes.c_void_p]
_x.XConvertSelection.argtypes = [ctypes.c_void_p] + [ctypes.c_ulong] * 5
_x.XGetWindowProperty.argtypes = [
    ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int,
    ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
    ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
    ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte))]
_x.XGetImage.restype = ctypes.POINTER(_Image)
_x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                         ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
_x.XTranslateCoordinates.argtypes = [
    ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
    ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong)]
_ErrorHandler = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_x.XSetErrorHandler.argtypes = [_ErrorHandler]
_fixes.XFixesQueryExtension.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int),
                                        ctypes.POINTER(ctypes.c_int)]
_fixes.XFixesSelectSelectionInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                              ctypes.c_ulong]
_tst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                      ctypes.c_ulong]
_tst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                      ctypes.c_ulong]

# Windows vanish while they are looked at (a program is stopped); their errors are expected.
_errors = [0]


@_ErrorHandler
def _count_error(_display, _event):
    _errors[0] += 1
    return 0


_x.XSetErrorHandler(_count_error)


class Window:
    def __init__(self, wid, name, mapped_at):
        self.id = wid
        self.name = name
        self.mapped_at = mapped_at
        self.painted_at = None


class XWatch:
    def __init__(self, display):
        self.dpy = _x.XOpenDisplay(display.encode())
        if not self.dpy:
            raise OSError("cannot open display " + display)
        self.root = _x.XDefaultRootWindow(self.dpy)
        self.fd = _x.XConnectionNumber(self.dpy)
        atom = lambda name: _x.XInternAtom(self.dpy, name, 0)
        self.CLIPBOARD = atom(b"CLIPBOARD")
        self.UTF8_STRING = atom(b"UTF8_STRING")
        self.NET_WM_NAME = atom(b"_NET_WM_NAME")
        self.WM_NAME = 39  # XA_WM_NAME
        self.PROPERTY = atom(b"QUORNA_BENCH_CLIPBOARD")
        self.own = _x.XCreateSimpleWindow(self.dpy, self.root, 0, 0, 1, 1, 0, 0, 0)
        base, error_base = ctypes.c_int(), ctypes.c_int()
        if not _fixes.XFixesQueryExtension(self.dpy, ctypes.byref(base), ctypes.byref(error_base)):
            raise OSError("the X server has no XFixes")
        self.fixes_notify = base.value  # XFixesSelectionNotify is the extension's first event
        _fixes.XFixesSelectSelectionInput(self.dpy, self.own, self.CLIPBOARD,
                                          _XFixesSetSelectionOwnerNotifyMask)
        _x.XSelectInput(self.dpy, self.root, _SubstructureNotifyMask)
        # A black root: a window counts as painted once its pixels are not black any more.
        _x.XSetWindowBackground(self.dpy, self.root, 0)
        _x.XClearWindow(self.dpy, self.root)
        _x.XSync(self.dpy, 0)

        self.windows = {}
        self.clipboard = None        # last text read from the CLIPBOARD
        self.clipboard_at = None     # when it was read
        self.clipboard_owner_changes = 0
        self.read_clipboard = True   # False: only count owner changes, ask nobody for the text
        # Seconds between requests while a wait goes on, for owners that take the selection once
        # and keep it (wine's clipboard bridge); None: ask only when the owner changes.
        self.ask_every = None
        self._converting = False
        self._again = False
        self._asked_at = 0.0

    def close(self):
        _x.XCloseDisplay(self.dpy)

    # -- events ------------------------------------------------------------------------------
    def pump(self, timeout):
        """Handles what the server sent, waiting up to timeout seconds for something."""
        if not _x.XPending(self.dpy):
            select.select([self.fd], [], [], max(timeout, 0))
        event = _Event()
        while _x.XPending(self.dpy):
            _x.XNextEvent(self.dpy, ctypes.byref(event))
            self._handle(event, time.monotonic())

    def _handle(self, event, now):
        kind = event.type
        if kind == _MapNotify:
            wid = event.map.window
            self.windows[wid] = Window(wid, self._name(wid), now)
        elif kind in (_UnmapNotify, _DestroyNotify):
            self.windows.pop(event.map.window, None)
        elif kind == self.fixes_notify and event.fixes.selection == self.CLIPBOARD:
            self.clipboard_owner_changes += 1
            if self.read_clipboard:
                self._request_clipboard()
        elif kind == _SelectionNotify and event.selection.requestor == self.own:
            self._converting = False
            if not event.selection.property:
                self.clipboard, self.clipboard_at = None, now
            else:
                # Empty when an answer to a request asked again was read with an earlier one.
                text = self._take_property()
                if text is not None:
                    self.clipboard, self.clipboard_at = text, now
            if self._again:
                self._again = False
                self._request_clipboard()

    def _request_clipboard(self):
        if self._converting:
            self._again = True  # ask again once the answer in flight has come
            return
        self._converting = True
        self._asked_at = time.monotonic()
        _x.XConvertSelection(self.dpy, self.CLIPBOARD, self.UTF8_STRING, self.PROPERTY, self.own,
                             _CurrentTime)
        _x.XFlush(self.dpy)

    def _property(self, wid, prop, delete):
        kind, fmt = ctypes.c_ulong(), ctypes.c_int()
        count, after = ctypes.c_ulong(), ctypes.c_ulong()
        data = ctypes.POINTER(ctypes.c_ubyte)()
        status = _x.XGetWindowProperty(self.dpy, wid, prop, 0, 1 << 16, delete, _AnyPropertyType,
                                       ctypes.byref(kind), ctypes.byref(fmt), ctypes.byref(count),
                                       ctypes.byref(after), ctypes.byref(data))
        if status != 0 or not data:
            return None
        try:
            return ctypes.string_at(data, count.value * max(fmt.value, 8) // 8).decode(
                errors="replace")
        finally:
            _x.XFree(data)

    def _take_property(self):
        return self._property(self.own, self.PROPERTY, 1)

    def _name(self, wid):
        return self._property(wid, self.NET_WM_NAME, 0) or self._property(wid, self.WM_NAME, 0)

    # -- windows -----------------------------------------------------------------------------
    def painted(self, window):
        """True once a patch near the window's top-left corner is no longer the black root."""
        image = _x.XGetImage(self.dpy, window.id, 2, 2, 12, 12, _AllPlanes, _ZPixmap)
        if not image:
            return False
        try:
            img = image.contents
            size = img.bytes_per_line * img.height
            return any(ctypes.string_at(img.data, size))
        finally:
            _x.XFree(image.contents.data)
            _x.XFree(image)

    def wait_painted(self, name, deadline, alive=lambda: True):
        """The first mapped window of that name once painted, polling its pixels every ms."""
        while time.monotonic() < deadline:
            for window in list(self.windows.values()):
                if window.name is None:
                    window.name = self._name(window.id)  # some toolkits name it after mapping
                if window.name == name:
                    if window.painted_at is None and self.painted(window):
                        window.painted_at = time.monotonic()
                    if window.painted_at is not None:
                        return window
            if not alive():
                return None
            self.pump(0.001)
        return None

    def wait_gone(self, name, deadline):
        while time.monotonic() < deadline:
            if not any(w.name == name for w in self.windows.values()):
                return True
            self.pump(0.01)
        return False

    def click(self, window, at):
        """A left click at client point at; returns the time the release was sent."""
        x, y, child = ctypes.c_int(), ctypes.c_int(), ctypes.c_ulong()
        _x.XTranslateCoordinates(self.dpy, window.id, self.root, at[0], at[1], ctypes.byref(x),
                                 ctypes.byref(y), ctypes.byref(child))
        # The pointer arrives, rests, presses and releases, as a hand does; a toolkit that tracks
        # the pointer (wine's buttons do) sees it come over the button first.
        _tst.XTestFakeMotionEvent(self.dpy, -1, x.value - 3, y.value - 3, 0)
        _x.XFlush(self.dpy)
        self.pump(0.03)
        _tst.XTestFakeMotionEvent(self.dpy, -1, x.value, y.value, 0)
        _x.XFlush(self.dpy)
        self.pump(0.03)
        _tst.XTestFakeButtonEvent(self.dpy, 1, 1, 0)
        _x.XFlush(self.dpy)
        self.pump(0.05)
        _tst.XTestFakeButtonEvent(self.dpy, 1, 0, 0)
        _x.XFlush(self.dpy)
        return time.monotonic()

    def move_pointer(self, x, y):
        """Moves the pointer to root point (x, y)."""
        _tst.XTestFakeMotionEvent(self.dpy, -1, x, y, 0)
        _x.XFlush(self.dpy)
        self.pump(0.03)

    # -- clipboard ---------------------------------------------------------------------------
    def wait_clipboard(self, text, deadline):
        """When text was first read from the clipboard, or None by the deadline. With
        ask_every set, the text is also asked for at that interval while waiting."""
        while time.monotonic() < deadline:
            if self.clipboard == text:
                return self.clipboard_at
            now = time.monotonic()
            wait = deadline - now
            if self.ask_every:
                # Wine's clipboard bridge leaves a request that comes while it takes the selection
                # unanswered until the Windows clipboard next changes (seconds when nothing else
                # is copied); a second request wakes it.
                if now - self._asked_at >= (STALLED if self._converting else self.ask_every):
                    self._converting = False
                    self._request_clipboard()
                wait = min(wait, self.ask_every)
            self.pump(wait)
        return None

    def forget_clipboard(self):
        self.clipboard = self.clipboard_at = None
