#!/usr/bin/env bash
# shellcheck disable=SC2317 # cleanup and session_pids run from the EXIT trap
# Runs a command inside a desktop session made for the purpose, so the test suite can be
# checked the way it runs on a developer's GNOME or KDE machine: an X display, a session bus
# on the machine's own configuration (everything installed there is D-Bus-activatable, the
# real xdg-desktop-portal included), and xdg-desktop-portal already running on that bus.
# DISPLAY, DBUS_SESSION_BUS_ADDRESS, HOME, XDG_RUNTIME_DIR and the other XDG folders point
# at the session, as they would at the user's. A test that reaches any of it shows up as a
# failure, as a process left running (listed at the end) or as a file written into the
# session's home (listed too).
#
#   tools/live-session-test.sh COMMAND [ARG...]
#   tools/live-session-test.sh ctest --test-dir build-desk -R 'portal|e2e_' --output-on-failure
#
# Exits with COMMAND's status. Everything the session started, and whatever the bus
# activated meanwhile, is ended by its process id, and the session's folders are removed;
# PINLARK_LIVE_KEEP=1 keeps the folders for a look.
# Needs Xvfb, dbus-run-session and dbus-send (dbus), xdg-desktop-portal with its GTK
# back-end, and python3.
set -euo pipefail

# The services the bus activates leave it as daemons, handed to the init process, which in
# a container may never collect them once they end. As a subreaper this script adopts them
# instead, collects them and finds them at the end.
if [ -z "${PINLARK_LIVE_REAPER:-}" ]; then
    export PINLARK_LIVE_REAPER=1
    exec python3 -c '
import ctypes, os, sys
PR_SET_CHILD_SUBREAPER = 36
if ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
    sys.exit("live-session: cannot become a subreaper: " + os.strerror(ctypes.get_errno()))
os.execvp(sys.argv[1], sys.argv[1:])
' bash "$0" "$@"
fi

# Inside the session bus: starts the portal, waits until it owns its name, runs the command.
if [ "${1:-}" = --in-session ]; then
    shift
    log="$PINLARK_LIVE_SESSION/portal.log"
    /usr/libexec/xdg-desktop-portal >"$log" 2>&1 &
    portal=$!
    portal_owned() {
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.freedesktop.portal.Desktop 2>/dev/null |
            grep -q 'boolean true'
    }
    for ((tries = 0; tries < 300; tries++)); do
        portal_owned && break
        kill -0 "$portal" 2>/dev/null || {
            echo "live-session: xdg-desktop-portal exited: $(cat "$log")" >&2
            exit 2
        }
        sleep 0.1
    done
    portal_owned || {
        echo "live-session: xdg-desktop-portal did not take its name" >&2
        exit 2
    }
    echo "live-session: DISPLAY=$DISPLAY DBUS_SESSION_BUS_ADDRESS=$DBUS_SESSION_BUS_ADDRESS" >&2
    echo "live-session: xdg-desktop-portal running (pid $portal), HOME=$HOME" >&2
    status=0
    "$@" || status=$?
    kill -TERM "$portal" 2>/dev/null
    wait "$portal" 2>/dev/null || true
    exit "$status"
fi

[ $# -ge 1 ] || {
    echo "usage: $0 COMMAND [ARG...]" >&2
    exit 2
}
for tool in Xvfb dbus-run-session dbus-send /usr/libexec/xdg-desktop-portal \
    /usr/libexec/xdg-desktop-portal-gtk; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "live-session: missing $tool; './dev deps' installs it" >&2
        exit 2
    }
done

session=$(mktemp -d "${TMPDIR:-/tmp}/pinlark-live.XXXXXX")
xvfb_pid=

# Every process of the session carries this in its environment, the services the bus
# activates too (dbus-daemon passes its own environment on), so they can be told from the
# rest of the machine's.
export PINLARK_LIVE_SESSION="$session"

session_pids() {
    local environ pid
    for environ in /proc/[0-9]*/environ; do
        pid=${environ#/proc/}
        pid=${pid%/environ}
        if [ "$pid" != $$ ] && [ "$pid" != "$BASHPID" ] && [ "$pid" != "$xvfb_pid" ] &&
            grep -qzxF "PINLARK_LIVE_SESSION=$session" "$environ" 2>/dev/null; then
            echo "$pid"
        fi
    done
}

cleanup() {
    local status=$? left pid
    trap - EXIT HUP INT TERM
    set +e
    # The scan's own commands must not find themselves.
    unset PINLARK_LIVE_SESSION
    left=$(session_pids)
    if [ -n "$left" ]; then
        echo "live-session: still running after the command and the bus ended:" >&2
        for pid in $left; do
            echo "  $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)" >&2
        done
        # shellcheck disable=SC2086 # one id a word
        kill -TERM $left 2>/dev/null
        sleep 1
        # shellcheck disable=SC2086
        kill -KILL $left 2>/dev/null
    fi
    if [ -n "$xvfb_pid" ]; then
        kill -TERM "$xvfb_pid" 2>/dev/null
    fi
    # Collects Xvfb and every adopted process that has ended.
    wait 2>/dev/null
    # The document portal mounts a FUSE file system in the runtime folder.
    if mountpoint -q "$session/run/doc" 2>/dev/null; then
        fusermount3 -u "$session/run/doc" 2>/dev/null || umount "$session/run/doc" 2>/dev/null
    fi
    if [ -n "${PINLARK_LIVE_KEEP:-}" ]; then
        echo "live-session: kept $session" >&2
    else
        rm -rf "$session"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$session"/{home,config,data,cache,state,run}
chmod 700 "$session/run"

# -displayfd: Xvfb takes a free display number and writes it once it accepts clients.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset \
    3>"$session/display" >"$session/xvfb.log" 2>&1 &
xvfb_pid=$!
for ((tries = 0; tries < 300; tries++)); do
    [ -s "$session/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || {
        echo "live-session: Xvfb exited: $(cat "$session/xvfb.log")" >&2
        exit 2
    }
    sleep 0.1
done
[ -s "$session/display" ] || {
    echo "live-session: Xvfb did not start" >&2
    exit 2
}

DISPLAY=":$(head -n 1 "$session/display")"
export DISPLAY
export HOME="$session/home"
export XDG_CONFIG_HOME="$session/config"
export XDG_DATA_HOME="$session/data"
export XDG_CACHE_HOME="$session/cache"
export XDG_STATE_HOME="$session/state"
export XDG_RUNTIME_DIR="$session/run"
# As on a GNOME desktop, where xdg-desktop-portal picks the GTK back-end.
export XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=x11
unset WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
touch "$session/started"

status=0
dbus-run-session -- "$0" --in-session "$@" || status=$?

# What appeared in the session's home and XDG folders meanwhile: the portal and its
# back-ends keep a little state there; anything else the command wrote.
written=$(find "$session"/{home,config,data,cache,state} -newer "$session/started" \
    \( -type f -o -type s \) -print 2>/dev/null | sed "s|^$session/|  |")
if [ -n "$written" ]; then
    echo "live-session: written into the session's folders:" >&2
    echo "$written" >&2
fi
exit "$status"
