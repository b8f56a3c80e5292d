#!/usr/bin/python3
"""Presses one of pinlark's buttons by its accessible name, as assistive technology does.

    press_button.py NAME

Succeeds once the button was found and pressed (its first action); fails, saying what it saw,
when pinlark or the button is not on the accessibility bus.
"""

import sys

import pyatspi


def buttons(acc, found):
    if acc is None:
        return found
    if acc.getRoleName() == "push button":
        found.append(acc)
    for index in range(acc.childCount):
        buttons(acc.getChildAtIndex(index), found)
    return found


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    name = sys.argv[1]
    desktop = pyatspi.Registry.getDesktop(0)
    apps = [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]
    apps = [app for app in apps if app is not None and app.name.lower() == "pinlark"]
    if not apps:
        sys.exit("pinlark is not on the accessibility bus")
    seen = []
    for app in apps:
        for button in buttons(app, []):
            seen.append(button.name)
            if button.name == name and button.getState().contains(pyatspi.STATE_SHOWING):
                if not button.queryAction().doAction(0):
                    sys.exit(f"{name!r} refused to be pressed")
                return
    sys.exit(f"no button {name!r} showing; buttons: {seen!r}")


if __name__ == "__main__":
    main()
