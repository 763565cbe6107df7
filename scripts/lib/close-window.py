#!/usr/bin/env python3
# Asks every top-level window of a process to close, as a window manager's close button does
# (WM_DELETE_WINDOW); Xvfb has no window manager to do it. Usage: close-window.py PID
import ctypes
import sys

x11 = ctypes.CDLL("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                           ctypes.POINTER(ctypes.c_ulong),
                           ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                           ctypes.POINTER(ctypes.c_uint)]
x11.XGetWindowProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long,
                                   ctypes.c_long, ctypes.c_int, ctypes.c_ulong,
                                   ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
                                   ctypes.POINTER(ctypes.c_ulong),
                                   ctypes.POINTER(ctypes.c_ulong),
                                   ctypes.POINTER(ctypes.c_void_p)]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                           ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]


display = x11.XOpenDisplay(None)
if not display:
    sys.exit("no X display")
pid_atom = x11.XInternAtom(display, b"_NET_WM_PID", 0)
protocols = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
delete = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
root, parent = ctypes.c_ulong(), ctypes.c_ulong()
children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
x11.XQueryTree(display, x11.XDefaultRootWindow(display), ctypes.byref(root),
               ctypes.byref(parent), ctypes.byref(children), ctypes.byref(count))
closed = 0
for i in range(count.value):
    window = children[i]
    kind, fmt = ctypes.c_ulong(), ctypes.c_int()
    items, left, value = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
    x11.XGetWindowProperty(display, window, pid_atom, 0, 1, 0, 6, ctypes.byref(kind),
                           ctypes.byref(fmt), ctypes.byref(items), ctypes.byref(left),
                           ctypes.byref(value))
    if items.value != 1 or ctypes.cast(value, ctypes.POINTER(ctypes.c_ulong))[0] != int(sys.argv[1]):
        continue
    event = ClientMessage(type=33, window=window, message_type=protocols, format=32)
    event.data[0] = delete
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    closed += 1
x11.XFlush(display)
print(closed)
