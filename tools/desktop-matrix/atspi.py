#!/usr/bin/python3
"""Reads and presses pinlark's controls over AT-SPI, as assistive technology does, for
tools/desktop-matrix.sh. Needs at-spi-bus-launcher on the session bus and pinlark started
with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 (Debian 12: python3-pyatspi, /usr/bin/python3).

  atspi.py notice         prints the text of the shortcut notice in the card; exits 1 when
                          no notice is showing
  atspi.py buttons        the names of the buttons showing, one a line
  atspi.py press NAME     presses the showing button named NAME (its first action)
"""
import sys

import pyatspi


def walk(acc, found, role=None):
    if acc is None:
        return found
    if role is None or acc.getRoleName() == role:
        found.append(acc)
    for index in range(acc.childCount):
        walk(acc.getChildAtIndex(index), found, role)
    return found


def pinlark():
    desktop = pyatspi.Registry.getDesktop(0)
    apps = [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]
    apps = [app for app in apps if app is not None and app.name.lower() == "pinlark"]
    if not apps:
        sys.exit("pinlark is not on the accessibility bus")
    return apps


def showing(acc):
    return acc.getState().contains(pyatspi.STATE_SHOWING)


def label_text(label):
    try:
        text = label.queryText()
        return text.getText(0, text.characterCount)
    except NotImplementedError:
        return label.name


def notice():
    for app in pinlark():
        for band in walk(app, []):
            if band.name != "Shortcut notice" or not showing(band):
                continue
            texts = [label_text(label) for label in walk(band, [], "label") if showing(label)]
            texts = [t for t in texts if t.strip()]
            if texts:
                return " ".join(texts)
            if band.description:
                return band.description
    return None


def buttons():
    return [b for app in pinlark() for b in walk(app, [], "push button") if showing(b)]


cmd, rest = (sys.argv[1], sys.argv[2:]) if len(sys.argv) > 1 else ("", [])
if cmd == "notice":
    text = notice()
    if text is None:
        sys.exit(1)
    print(" ".join(text.split()))
elif cmd == "buttons":
    for button in buttons():
        print(button.name)
elif cmd == "press" and len(rest) == 1:
    shown = buttons()
    for button in shown:
        if button.name == rest[0]:
            if not button.queryAction().doAction(0):
                sys.exit(f"{rest[0]!r} refused to be pressed")
            sys.exit(0)
    sys.exit(f"no button {rest[0]!r} showing; buttons: {[b.name for b in shown]!r}")
else:
    sys.exit(__doc__)
