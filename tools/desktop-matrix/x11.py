#!/usr/bin/python3
"""What the X display shows of pinlark, for tools/desktop-matrix.sh (DISPLAY must be set).

  x11.py tray-owner   exits 0 when a system tray owns _NET_SYSTEM_TRAY_S0
  x11.py tray-icon    exits 0 when a tray has embedded pinlark's icon: a small viewable
                      Pinlark window below another client's window
  x11.py popup        exits 0 when a viewable Pinlark window at least 200 px wide exists
"""
import ctypes, re, subprocess, sys


def tray_owner():
    x = ctypes.CDLL("libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XGetSelectionOwner.restype = ctypes.c_ulong
    display = x.XOpenDisplay(None)
    if not display:
        sys.exit("cannot open the display")
    return x.XGetSelectionOwner(display, x.XInternAtom(display, b"_NET_SYSTEM_TRAY_S0", 0)) != 0


def pinlark_windows():
    """(id, depth, width, height) of every window of class Pinlark; top-levels have depth 0."""
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
    found = []
    for line in tree.splitlines():
        m = re.match(r'^(\s*)(0x[0-9a-f]+) .*\("[^"]*" "Pinlark"\)\s+(\d+)x(\d+)', line)
        if m:
            found.append((m.group(2), (len(m.group(1)) - 5) // 3, int(m.group(3)), int(m.group(4))))
    return found


def viewable(window):
    info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
    return "IsViewable" in info


cmd = sys.argv[1] if len(sys.argv) > 1 else ""
if cmd == "tray-owner":
    sys.exit(0 if tray_owner() else 1)
elif cmd == "tray-icon":
    # The icon is pinlark's only small window; once embedded, it sits below a tray's window.
    sys.exit(0 if any(w <= 64 and h <= 64 and w > 1 and depth >= 1 and viewable(i)
                      for i, depth, w, h in pinlark_windows()) else 1)
elif cmd == "popup":
    sys.exit(0 if any(w >= 200 and viewable(i) for i, _, w, h in pinlark_windows()) else 1)
else:
    sys.exit(__doc__)
