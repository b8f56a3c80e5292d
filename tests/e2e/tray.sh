#!/usr/bin/env bash
# End to end in the tray: the real pinlark beside a real system tray (tint2) on a private X
# display, used as a person uses it. The tray icon is clicked, text typed into the popup,
# Escape, Alt+Space, a click elsewhere, a second launch and SIGTERM are tried in turn, and
# the notes file is read after each.
#
#   tray.sh PINLARK_BINARY X11PROBE TINT2RC OUTPUT_DIR
#
# Leaves OUTPUT_DIR/e2e_tray-popup.png (the open popup under its icon) and
# OUTPUT_DIR/e2e_tray.log (the app's output). Skips where Xvfb cannot run.
set -euo pipefail

E2E_NAME=e2e_tray
source "$(dirname "${BASH_SOURCE[0]}")/desktop.sh"

[ $# -eq 4 ] || e2e_fail "usage: $0 PINLARK_BINARY X11PROBE TINT2RC OUTPUT_DIR"
probe=$2
tint2rc=$3
command -v Xvfb >/dev/null 2>&1 || e2e_skip "no Xvfb here; './dev deps' installs it"
e2e_require xdotool xprop xwininfo xmessage import tint2 dbus-daemon /usr/bin/python3 "$probe"
e2e_begin "$1" "$4"
e2e_start_display --skip-if-impossible
e2e_start_session_bus
e2e_start_tray "$tint2rc" "$probe"

popup_shown() { e2e_visible_window >/dev/null; }
popup_hidden() { ! e2e_visible_window >/dev/null; }
popup_has_keyboard() {
    local popup
    popup=$(e2e_visible_window) && [ "$(xdotool getwindowfocus)" = "$popup" ]
}

# The icon is a small window of pinlark's that the tray has embedded. Prints its geometry
# as "X Y WIDTH HEIGHT" in root coordinates.
tray_icon_geometry() {
    local id
    for id in $(xdotool search --onlyvisible --classname '^pinlark$' 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$id")"
        # shellcheck disable=SC2153 # set by the eval
        if [ "$WIDTH" -le 64 ] && [ "$HEIGHT" -le 64 ] && [ "$X" -gt 0 ]; then
            echo "$X $Y $WIDTH $HEIGHT"
            return 0
        fi
    done
    return 1
}

# --- 1. It lives in the tray: an icon, and no window until it is clicked.
e2e_start_pinlark
e2e_poll "$E2E_START_SECONDS" "tray icon" tray_icon_geometry
read -r icon_x icon_y icon_w icon_h <<<"$E2E_POLL_OUTPUT"
echo "Tray icon at $icon_x,$icon_y size ${icon_w}x$icon_h"
popup_hidden || e2e_fail "a window opened before the tray icon was clicked"

click_icon() { xdotool mousemove $((icon_x + icon_w / 2)) $((icon_y + icon_h / 2)) click 1; }

# --- 2. A click opens the popup under the icon, with the keyboard in the editor.
click_icon
e2e_poll "$E2E_STEP_SECONDS" "popup after a click on the icon" popup_has_keyboard
eval "$(xdotool getwindowgeometry --shell "$(e2e_visible_window)")"
echo "Popup at $X,$Y size ${WIDTH}x$HEIGHT"
[ "$WIDTH" -eq 420 ] && [ "$HEIGHT" -eq 430 ] || e2e_fail "popup is ${WIDTH}x$HEIGHT, not 420x430"
[ "$Y" -eq $((icon_y + icon_h + 4)) ] || e2e_fail "popup top $Y is not just under the icon"
[ "$X" -ge 0 ] && [ $((X + WIDTH)) -le 1280 ] || e2e_fail "popup at x $X is off the screen"
xdotool type --delay 15 'typed in the tray #e2e'
sleep 0.2
import -window root "$E2E_OUT/$E2E_NAME-popup.png"

# --- 3. Escape closes it and writes the file at once.
xdotool key Escape
e2e_poll "$E2E_STEP_SECONDS" "popup closed by Escape" popup_hidden
e2e_poll 2 "typed text on disk after Escape" e2e_notes_contain 'typed in the tray #e2e'

# --- 4. Alt+Space from anywhere opens it; again, inside it, closes it.
xdotool key alt+space
e2e_poll "$E2E_STEP_SECONDS" "popup after Alt+Space" popup_has_keyboard
xdotool key alt+space
e2e_poll "$E2E_STEP_SECONDS" "popup closed by a second Alt+Space" popup_hidden

# --- 5. Another application taking the focus closes it; the icon opens it again, and a
# click on the icon while it is open closes it.
e2e_spawn "$E2E_TMP/xmessage.log" xmessage -name other-app -geometry +100+500 'another application'
e2e_poll "$E2E_STEP_SECONDS" "another application's window" \
    xdotool search --onlyvisible --classname '^other-app$'
other=$(head -n 1 <<<"$E2E_POLL_OUTPUT")
click_icon
e2e_poll "$E2E_STEP_SECONDS" "popup after a click on the icon" popup_has_keyboard
xdotool windowfocus "$other"
e2e_poll "$E2E_STEP_SECONDS" "popup closed when another window took the focus" popup_hidden
# A click on the icon right as the focus leaves is taken as the click that took it away;
# a person's next click comes later than that.
sleep 0.5
click_icon
e2e_poll "$E2E_STEP_SECONDS" "popup after a click on the icon" popup_has_keyboard
click_icon
e2e_poll "$E2E_STEP_SECONDS" "popup closed by a click on the icon" popup_hidden
# pinlark --toggle bound to a key is never that click: right after a focus-loss close it opens.
click_icon
e2e_poll "$E2E_STEP_SECONDS" "popup after a click on the icon" popup_has_keyboard
xdotool windowfocus "$other"
e2e_poll "$E2E_STEP_SECONDS" "popup closed when another window took the focus" popup_hidden
"$E2E_PINLARK" --toggle >>"$E2E_TMP/toggle.log" 2>&1 || e2e_fail "pinlark --toggle failed"
e2e_poll "$E2E_STEP_SECONDS" "popup opened by pinlark --toggle right after a focus-loss close" \
    popup_shown
"$E2E_PINLARK" --toggle >>"$E2E_TMP/toggle.log" 2>&1 || e2e_fail "pinlark --toggle failed"
e2e_poll "$E2E_STEP_SECONDS" "popup closed by pinlark --toggle" popup_hidden

# --- 6. A second pinlark does not open the notes again: it toggles the first and ends.
first_pid=$E2E_PINLARK_PID
second_status=0
env "$E2E_PINLARK" >"$E2E_TMP/second.log" 2>&1 || second_status=$?
[ "$second_status" -eq 0 ] || e2e_fail "second pinlark ended with $second_status: $(cat "$E2E_TMP/second.log")"
e2e_poll "$E2E_STEP_SECONDS" "popup opened by a second launch" popup_has_keyboard
"$E2E_PINLARK" --toggle >>"$E2E_TMP/second.log" 2>&1 || e2e_fail "pinlark --toggle failed"
e2e_poll "$E2E_STEP_SECONDS" "popup closed by pinlark --toggle" popup_hidden
kill -0 "$first_pid" || e2e_fail "the first pinlark ended"

# --- 7. SIGTERM (logout, shutdown) while a save is still waiting for its debounce: the
# text reaches the disk before the process ends, and it ends cleanly.
xdotool key alt+space
e2e_poll "$E2E_STEP_SECONDS" "popup after Alt+Space" popup_has_keyboard
xdotool type --delay 15 ' then SIGTERM'
kill -TERM "$first_pid"
status=0
wait "$first_pid" || status=$?
[ "$status" -eq 0 ] || e2e_fail "pinlark ended with status $status after SIGTERM"
e2e_notes_contain 'typed in the tray #e2e then SIGTERM' ||
    e2e_fail "the text typed just before SIGTERM is not on disk"

# --- 8. The X server going away (how an X session often ends at logout, before any signal):
# the text typed just before is on disk all the same.
e2e_start_pinlark
e2e_poll "$E2E_START_SECONDS" "tray icon" tray_icon_geometry
xdotool key alt+space
e2e_poll "$E2E_STEP_SECONDS" "popup after Alt+Space" popup_has_keyboard
xdotool type --delay 15 ' and the display ended'
kill -TERM "${e2e_pids[0]}" # the X server, started first
wait "$E2E_PINLARK_PID" || true
e2e_notes_contain 'then SIGTERM and the display ended' ||
    e2e_fail "the text typed just before the X server ended is not on disk"
echo "PASS: tray icon, popup, Escape, Alt+Space, focus loss, second launch, SIGTERM, end of X"
