#!/usr/bin/env bash
# End to end with a tray that comes up after pinlark, as a panel often does at login: the icon
# must appear whenever the tray does, and the popup open by itself only when no tray has come
# by the end of the launch wait (2 s).
#
#   latetray.sh PINLARK_BINARY X11PROBE TINT2RC SNI_HOST OUTPUT_DIR
#
# 1. A StatusNotifierItem watcher and host (sni_host.py) 1 s after pinlark, within the wait:
#    the item registers with it, the popup stays closed, Activate opens the card, typing saves.
# 2. The same 3 s after pinlark, after the wait: the popup has opened by itself, and the item
#    registers all the same; Activate then closes the popup.
# 3. An XEmbed tray (tint2) 3 s after pinlark, with no D-Bus tray: the icon is embedded, and a
#    click on it opens the popup.
# Skips where Xvfb cannot run.
set -euo pipefail

E2E_NAME=e2e_latetray
# shellcheck source=desktop.sh
source "$(dirname "${BASH_SOURCE[0]}")/desktop.sh"

[ $# -eq 5 ] || e2e_fail "usage: $0 PINLARK_BINARY X11PROBE TINT2RC SNI_HOST OUTPUT_DIR"
probe=$2
tint2rc=$3
sni_host=$4
command -v Xvfb >/dev/null 2>&1 || e2e_skip "no Xvfb here; './dev deps' installs it"
e2e_require xdotool xprop tint2 dbus-daemon /usr/bin/python3 "$probe" "$sni_host"
/usr/bin/python3 -c 'import gi' 2>/dev/null ||
    e2e_fail "sni_host.py needs python3-gi; './dev deps' installs it"
e2e_begin "$1" "$5"
e2e_start_display --skip-if-impossible
e2e_start_session_bus

sni() { /usr/bin/python3 "$sni_host" "$@"; }
popup_shown() { e2e_visible_window >/dev/null; }
popup_hidden() { ! e2e_visible_window >/dev/null; }
popup_has_keyboard() {
    local popup
    popup=$(e2e_visible_window) && [ "$(xdotool getwindowfocus)" = "$popup" ]
}
log_has() { grep -q "$2" "$1"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Starts the watcher and host after DELAY seconds from pinlark's start, and waits for pinlark's
# item to register with it. Prints the milliseconds from the host being ready to the item.
start_late_host() {
    local started=$1 delay_ms=$2 log=$E2E_TMP/sni-$3.log
    while [ $(($(now_ms) - started)) -lt "$delay_ms" ]; do sleep 0.01; done
    e2e_spawn "$log" /usr/bin/python3 "$sni_host" serve
    host_pid=${e2e_pids[-1]}
    e2e_poll "$E2E_START_SECONDS" "a StatusNotifierItem host" log_has "$log" '^watcher ready'
    local ready
    ready=$(now_ms)
    e2e_poll "$E2E_START_SECONDS" "pinlark's item registered with the late host" \
        log_has "$log" '^registered '
    echo "Item registered $(($(now_ms) - ready)) ms after the host was ready," \
        "$(($(now_ms) - started)) ms after pinlark started"
}

# --- 1. A D-Bus tray within the wait: the icon, and no popup by itself.
started=$(now_ms)
e2e_start_pinlark
start_late_host "$started" 1000 within
sni items | grep -q . || e2e_fail "the watcher lists no item"
sni menu | grep -q 'Quit Pinlark' || e2e_fail "the item's menu lacks Quit: $(sni menu)"
# Well past the end of the wait.
while [ $(($(now_ms) - started)) -lt 3500 ]; do sleep 0.05; done
popup_hidden || e2e_fail "the popup opened by itself although a tray came within the wait"
xdotool mousemove 640 400
sni call Activate 640 400
e2e_poll "$E2E_STEP_SECONDS" "popup after Activate" popup_has_keyboard
xdotool type --delay 15 'typed after a late tray #e2e'
xdotool key Escape
e2e_poll "$E2E_STEP_SECONDS" "popup closed by Escape" popup_hidden
e2e_poll 2 "typed text on disk after Escape" e2e_notes_contain 'typed after a late tray #e2e'
e2e_stop "$E2E_PINLARK_PID"
e2e_stop "$host_pid"

# --- 2. A D-Bus tray after the wait: the popup opened by itself, and the icon still comes.
started=$(now_ms)
e2e_start_pinlark
e2e_poll "$E2E_START_SECONDS" "popup opened by itself at the end of the wait" popup_shown
start_late_host "$started" 3000 after
sni call Activate 640 400
e2e_poll "$E2E_STEP_SECONDS" "popup closed by Activate" popup_hidden
e2e_stop "$E2E_PINLARK_PID"
e2e_stop "$host_pid"
grep -q systemTrayWindowChanged "$E2E_LOG" && e2e_fail "Qt warned: $(cat "$E2E_LOG")"

# --- 3. An XEmbed tray (tint2) after the wait, and no D-Bus one: the icon is embedded.
started=$(now_ms)
e2e_start_pinlark
while [ $(($(now_ms) - started)) -lt 3000 ]; do sleep 0.01; done
e2e_start_tray "$tint2rc" "$probe"
tray_ready=$(date +%s%N)
embedded=$("$probe" wait-tray-icon) || e2e_fail "pinlark's icon was not embedded in the late tray"
echo "Icon embedded $(((embedded - tray_ready) / 1000000)) ms after the tray owned its selection"
popup_shown || e2e_fail "the popup did not open by itself before the tray came"
xdotool key Escape
e2e_poll "$E2E_STEP_SECONDS" "popup closed by Escape" popup_hidden
echo "PASS: late D-Bus tray within and after the wait, late XEmbed tray"
