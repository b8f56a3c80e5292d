#!/usr/bin/env bash
# End to end through the keyboard: the real pinlark on a private X display takes typed text,
# Ctrl+N, Ctrl+[ and Ctrl+Q as a person would press them, and its notes file ends up holding
# what was typed.
#
#   keyboard.sh PINLARK_BINARY OUTPUT_DIR
#
# Leaves OUTPUT_DIR/e2e_keyboard.png (a screenshot to look at, compared with nothing) and
# OUTPUT_DIR/e2e_keyboard.log (the app's output).
set -euo pipefail

E2E_NAME=e2e_keyboard
source "$(dirname "${BASH_SOURCE[0]}")/desktop.sh"

[ $# -eq 2 ] || e2e_fail "usage: $0 PINLARK_BINARY OUTPUT_DIR"
e2e_require Xvfb xdotool xwininfo import dbus-daemon /usr/bin/python3
e2e_begin "$1" "$2"
e2e_start_display
e2e_start_session_bus

first='hello #ideas'
second='second card text'
appended=' and back'

# Succeeds when the notes file holds exactly two cards: one whose text contains (or, with
# --ends, ends with) the first string, and one whose text is exactly the second.
notes_hold() {
    /usr/bin/python3 - "$E2E_NOTES" "$@" <<'EOF'
import json
import sys

path, mode, first, second = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
try:
    with open(path, encoding="utf-8") as f:
        cards = json.load(f)
except (OSError, ValueError) as error:
    sys.exit(f"cannot read {path}: {error}")
if not isinstance(cards, list) or not all(isinstance(c, dict) for c in cards):
    sys.exit(f"not a list of card objects: {cards!r}")
contents = [c.get("content") for c in cards]
if len(cards) != 2:
    sys.exit(f"expected 2 cards, found {len(cards)}: {contents!r}")
if not all(isinstance(t, str) for t in contents):
    sys.exit(f"a card without text: {contents!r}")
holds_first = (lambda t: t.endswith(first)) if mode == "--ends" else (lambda t: first in t)
a, b = contents
if not ((holds_first(a) and b == second) or (holds_first(b) and a == second)):
    sys.exit(f"expected one card with {first!r} ({mode}) and one with {second!r}: {contents!r}")
print(f"cards: {contents!r}")
EOF
}

# shellcheck disable=SC2119 # no extra environment for the app
e2e_start_pinlark
e2e_poll "$E2E_START_SECONDS" "visible Pinlark window" e2e_visible_window
window=$E2E_POLL_OUTPUT
echo "Window $window"
# The window takes the keyboard by itself when shown: nothing here gives it the focus.
window_has_keyboard() {
    local focused
    focused=$(xdotool getwindowfocus 2>&1)
    [ "$focused" = "$window" ] || { echo "keyboard is on window $focused, not $window"; return 1; }
}
e2e_poll "$E2E_STEP_SECONDS" "keyboard focus on the Pinlark window" window_has_keyboard

xdotool type --delay 20 "$first"
xdotool key ctrl+n
xdotool type --delay 20 "$second"
xdotool key ctrl+bracketleft
# The new card's text is saved 0.4 s after the last key.
e2e_poll "$E2E_STEP_SECONDS" "notes file with both typed texts" \
    notes_hold --contains "$first" "$second"
echo "$E2E_POLL_OUTPUT"

import -window root "$E2E_OUT/$E2E_NAME.png" ||
    e2e_fail "cannot take a screenshot with ImageMagick's import"
echo "Screenshot: $E2E_OUT/$E2E_NAME.png"

# Ctrl+[ went back to the first card: text typed at its end lands there, not on the new card.
# Ctrl+Q comes straight after the typing, well within the 0.4 s pause before the usual save,
# so what reaches the file here is, all but on a very slow machine, what quitting saved.
xdotool key ctrl+End
xdotool type --delay 20 "$appended"
xdotool key ctrl+q

deadline=$((SECONDS + E2E_STEP_SECONDS))
while e2e_pinlark_running; do
    [ $SECONDS -lt $deadline ] || e2e_fail "pinlark still running ${E2E_STEP_SECONDS}s after Ctrl+Q"
    sleep 0.1
done
status=0
wait "$E2E_PINLARK_PID" || status=$?
E2E_PINLARK_PID=
[ "$status" -eq 0 ] || e2e_fail "pinlark exited with status $status after Ctrl+Q"
echo "pinlark quit with status 0"

notes_hold --ends "$first$appended" "$second" ||
    e2e_fail "the notes file after quitting does not hold what was typed"
# A save that did not finish would leave its temporary file beside notes.json; a file the
# app could not read would have been moved aside as notes.json.corrupt-*.
leftovers=$(find "$(dirname "$E2E_NOTES")" -maxdepth 1 -name 'notes.json?*' -print)
[ -z "$leftovers" ] || e2e_fail "files left beside notes.json: $leftovers"
if grep -n '^Pinlark:' "$E2E_LOG"; then
    e2e_fail "pinlark logged a problem during an ordinary session"
fi
echo "PASS"
