#!/usr/bin/env bash
# End to end through what others may leave in the notes folder: the real pinlark starts with
# a FIFO, then a link to /dev/zero, at notes.json, neither blocking nor reading for ever, and
# keeps each aside; a second pinlark started with another runtime folder hands over to the
# running one instead of writing the same notes beside it.
#
#   notesfolder.sh PINLARK_BINARY OUTPUT_DIR
set -euo pipefail

E2E_NAME=e2e_notesfolder
source "$(dirname "${BASH_SOURCE[0]}")/desktop.sh"

[ $# -eq 2 ] || e2e_fail "usage: $0 PINLARK_BINARY OUTPUT_DIR"
e2e_require Xvfb xdotool dbus-daemon /usr/bin/python3
e2e_begin "$1" "$2"
e2e_start_display
e2e_start_session_bus

folder=$(dirname "$E2E_NOTES")
load_prefix='Pinlark: error loading notes, starting fresh: '

# Succeeds when notes.json is a regular file holding the welcome card alone.
holds_welcome_card() {
    /usr/bin/python3 - "$E2E_NOTES" <<'PY'
import json, os, stat, sys
path = sys.argv[1]
if not stat.S_ISREG(os.lstat(path).st_mode):
    sys.exit(f"{path} is not a regular file")
with open(path, encoding="utf-8") as f:
    cards = json.load(f)
if len(cards) != 1 or not cards[0].get("pinned"):
    sys.exit(f"not the welcome card alone: {cards!r}")
PY
}

# One start on a hostile notes.json: the window shows (no tray here, so it opens by itself),
# the log says once why the file could not be used, and the file is kept aside as it was.
start_on() {
    local what=$1 described=$2 test_kind=$3 kept lines
    e2e_start_pinlark
    e2e_poll "$E2E_START_SECONDS" "visible Pinlark window despite $what" e2e_visible_window
    e2e_poll "$E2E_STEP_SECONDS" "a fresh notes file" holds_welcome_card
    lines=$(grep -c "^$load_prefix" "$E2E_LOG" || true)
    [ "$lines" -eq 1 ] || e2e_fail "$lines loading lines for $what, not 1: $(cat "$E2E_LOG")"
    grep -q "^$load_prefix.*$described" "$E2E_LOG" ||
        e2e_fail "the loading line does not say it is $described: $(cat "$E2E_LOG")"
    kept=$(find "$folder" -maxdepth 1 -name 'notes.json.corrupt-*' -newer "$folder/marker" |
        head -n 1)
    [ -n "$kept" ] && [ "$test_kind" "$kept" ] ||
        e2e_fail "$what was not kept aside: $(ls -la "$folder")"
    echo "$what kept aside as $(basename "$kept")"
}

stop_pinlark() {
    kill -TERM "$E2E_PINLARK_PID"
    wait "$E2E_PINLARK_PID" || true
    E2E_PINLARK_PID=
    : >"$E2E_LOG"
}

# File times are coarse: a second between the marker and what is made after it.
mkdir -p "$folder"
touch "$folder/marker"
sleep 1
mkfifo "$E2E_NOTES"
start_on "a FIFO" "named pipe" -p

# A second pinlark whose runtime folder differs finds the running one through the notes
# folder: it asks it to close the popup and ends, instead of running on as a second writer.
other_runtime="$E2E_TMP/other-run"
mkdir -m 700 "$other_runtime"
status=0
XDG_RUNTIME_DIR="$other_runtime" timeout 30 "$E2E_PINLARK" >"$E2E_TMP/second.log" 2>&1 ||
    status=$?
[ "$status" -eq 0 ] || e2e_fail "the second pinlark ended with status $status: $(cat "$E2E_TMP/second.log")"
window_closed() { ! e2e_visible_window >/dev/null; }
e2e_poll "$E2E_STEP_SECONDS" "the popup closed by the second pinlark" window_closed
echo "a second pinlark with another runtime folder handed over to the running one"
stop_pinlark

rm -f "$E2E_NOTES"
touch "$folder/marker"
sleep 1
ln -s /dev/zero "$E2E_NOTES"
start_on "a link to /dev/zero" "device" -L
stop_pinlark
echo "PASS"
