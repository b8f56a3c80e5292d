#!/usr/bin/python3
"""Reads a dbus-monitor log of org.freedesktop.Notifications.Notify calls and prints "yes
(SUMMARY)" when one of them has a summary that names Alt+Space, otherwise "no" (or "no;
other: SUMMARY" when there were others). For tools/desktop-matrix.sh.
  notifications.py MONITOR_LOG
"""
import re, sys

summaries, current = [], None
with open(sys.argv[1], encoding="utf-8", errors="replace") as log:
    for line in log:
        if line.startswith(("method call", "signal", "method return", "error")):
            if current is not None and len(current) >= 3:
                summaries.append(current[2])  # app_name, app_icon, summary: the third string
            current = [] if "member=Notify" in line else None
        elif current is not None:
            m = re.match(r'^   string "(.*)"$', line.rstrip("\n"))
            if m:
                current.append(m.group(1))
if current is not None and len(current) >= 3:
    summaries.append(current[2])
named = [s for s in summaries if "alt+space" in s.lower()]
if named:
    print(f"yes ({named[0]})")
elif summaries:
    print("no; other: " + "; ".join(summaries[:2]))
else:
    print("no")
