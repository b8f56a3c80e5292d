#!/usr/bin/env bash
# End to end on Wayland: the real pinlark (QT_QPA_PLATFORM=wayland) in a headless sway, with no
# tray and no GlobalShortcuts portal.
#
#   wayland.sh PINLARK_BINARY SWAY_CONF OUTPUT_DIR
#
# With no tray the popup opens by itself after the launch wait; `pinlark --toggle` closes and
# opens it; keys typed through a virtual keyboard (wtype) reach the card and are saved;
# Escape closes it. Qt's X11 tray code never runs, so it never warns that
# systemTrayWindowChanged is missing. Skips (status 77) only where sway cannot start here.
set -euo pipefail

E2E_NAME=e2e_wayland
# shellcheck source=desktop.sh
source "$(dirname "${BASH_SOURCE[0]}")/desktop.sh"

[ $# -eq 3 ] || e2e_fail "usage: $0 PINLARK_BINARY SWAY_CONF OUTPUT_DIR"
sway_conf=$2
e2e_require sway swaymsg wtype dbus-daemon /usr/bin/python3
e2e_begin "$1" "$3"
ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1 ||
    e2e_fail "no Qt Wayland platform plugin; './dev deps' installs qt6-wayland"
# sway refuses to run as root.
e2e_run_unprivileged
cp "$sway_conf" "$E2E_TMP/sway.conf"
[ ${#E2E_AS[@]} -eq 0 ] || chown 65534:65534 "$E2E_TMP/sway.conf"
e2e_start_session_bus
unset QT_QPA_PLATFORM

as_user() { "${E2E_AS[@]}" "$@"; }

# Headless: no GPU, no input devices; the renderer draws in memory.
e2e_spawn "$E2E_TMP/sway.log" "${E2E_AS[@]}" env PATH="$(dirname "$E2E_PINLARK"):$PATH" \
    WLR_BACKENDS=headless WLR_HEADLESS_OUTPUTS=1 WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
    sway -c "$E2E_TMP/sway.conf"
sway_pid=${e2e_pids[-1]}
# Ready once both of its sockets are in the runtime folder: the Wayland display and the IPC.
sway_ready() {
    local socket
    WAYLAND_DISPLAY='' SWAYSOCK=''
    for socket in "$XDG_RUNTIME_DIR"/wayland-*; do
        [[ $socket =~ /wayland-[0-9]+$ ]] && [ -S "$socket" ] && WAYLAND_DISPLAY=${socket##*/}
    done
    for socket in "$XDG_RUNTIME_DIR"/sway-ipc.*; do
        [ -S "$socket" ] && SWAYSOCK=$socket
    done
    [ -n "$WAYLAND_DISPLAY" ] && [ -n "$SWAYSOCK" ]
}
deadline=$((SECONDS + E2E_START_SECONDS))
until sway_ready; do
    kill -0 "$sway_pid" 2>/dev/null ||
        e2e_skip "sway cannot run here: $(tail -n 5 "$E2E_TMP/sway.log" | tr '\n' ' ')"
    [ $SECONDS -lt $deadline ] || e2e_fail "sway did not start in ${E2E_START_SECONDS}s"
    sleep 0.1
done
export WAYLAND_DISPLAY SWAYSOCK
echo "sway on $WAYLAND_DISPLAY"

# The popup is a window of the tree with pinlark's app id.
popup_windows() { as_user swaymsg -t get_tree | grep -c '"app_id": "app.pinlark.Pinlark"' || true; }
popup_shown() { [ "$(popup_windows)" -eq 1 ]; }
popup_hidden() { [ "$(popup_windows)" -eq 0 ]; }
toggle() {
    as_user "$E2E_PINLARK" --toggle >>"$E2E_TMP/toggle.log" 2>&1 ||
        e2e_fail "pinlark --toggle failed: $(cat "$E2E_TMP/toggle.log")"
}

# --- 1. No tray: the popup opens by itself once the launch wait is over.
e2e_start_pinlark QT_QPA_PLATFORM=wayland
e2e_poll "$E2E_START_SECONDS" "popup opened by itself with no tray" popup_shown

# --- 2. pinlark --toggle closes it, and opens it again.
toggle
e2e_poll "$E2E_STEP_SECONDS" "popup closed by pinlark --toggle" popup_hidden
toggle
e2e_poll "$E2E_STEP_SECONDS" "popup opened by pinlark --toggle" popup_shown

# --- 3. Keys reach the card and Escape closes it with the text saved. One wtype call: its
# virtual keyboard goes when it ends, and the popup closes then as on any focus loss. So the
# call waits a while after Escape, and the popup must be closed before it ends.
e2e_spawn "$E2E_TMP/wtype.log" "${E2E_AS[@]}" wtype -s 300 'typed on wayland #e2e' -k Escape -s 20000
wtype_pid=${e2e_pids[-1]}
e2e_poll "$E2E_STEP_SECONDS" "typed text on disk" e2e_notes_contain 'typed on wayland #e2e'
e2e_poll "$E2E_STEP_SECONDS" "popup closed by Escape" popup_hidden
kill -0 "$wtype_pid" 2>/dev/null ||
    e2e_fail "the popup closed only once the keyboard went: $(cat "$E2E_TMP/wtype.log")"
e2e_stop "$wtype_pid"

# --- 4. Nothing asked Qt's tray, so its X11 code never looked for a signal Wayland lacks.
e2e_stop "$E2E_PINLARK_PID"
if grep -q systemTrayWindowChanged "$E2E_LOG"; then
    e2e_fail "Qt warned about its X11 tray: $(grep systemTrayWindowChanged "$E2E_LOG")"
fi
echo "PASS: Wayland popup by itself, --toggle, typing, Escape, no tray warning"
