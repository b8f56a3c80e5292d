#!/usr/bin/env bash
# End to end through the export dialog: the real pinlark on a private X display, under openbox
# or under no window manager at all. Ctrl+E opens the save dialog above the popup, with the
# keyboard; Escape (cancel) and Return (export) close it, and each time the popup has the
# keyboard again, so what is typed next lands in the card. The first export starts in the
# Documents folder, a later one in the folder of the last export, never in the working folder.
#
#   exportdialog.sh PINLARK_BINARY OUTPUT_DIR openbox|none
#
# Leaves OUTPUT_DIR/e2e_exportdialog_<mode>.log (the app's output) and a screenshot of the
# open dialog, OUTPUT_DIR/e2e_exportdialog_<mode>.png.
set -euo pipefail

mode=${3:-}
E2E_NAME=e2e_exportdialog_$mode
source "$(dirname "${BASH_SOURCE[0]}")/desktop.sh"

case "$#:$mode" in
3:openbox | 3:none) ;;
*) e2e_fail "usage: $0 PINLARK_BINARY OUTPUT_DIR openbox|none" ;;
esac
e2e_require Xvfb xdotool xprop xwininfo import dbus-daemon /usr/bin/python3
[ "$mode" = none ] || e2e_require openbox
e2e_begin "$1" "$2"
e2e_start_display
e2e_start_session_bus

if [ "$mode" = openbox ]; then
    # openbox binds Alt+Space to its window menu; without the binding Pinlark takes the key
    # and has nothing to report.
    sed '/<keybind key="A-space">/,/<\/keybind>/d' /etc/xdg/openbox/rc.xml >"$E2E_TMP/rc.xml"
    e2e_spawn "$E2E_TMP/openbox.log" openbox --sm-disable --config-file "$E2E_TMP/rc.xml"
    wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
    e2e_poll "$E2E_START_SECONDS" "openbox managing the display" wm_running
fi

documents="$HOME/Documents"
elsewhere="$E2E_TMP/elsewhere"
workdir="$E2E_TMP/workdir"
mkdir -p "$documents" "$elsewhere" "$workdir"
dialog_title='Export Pinlark Cards to Markdown'

dialog_window() {
    local id
    id=$(xdotool search --onlyvisible --name "^$dialog_title\$" 2>/dev/null | head -n 1)
    [ -n "$id" ] && echo "$id"
}
dialog_gone() { ! dialog_window >/dev/null; }
has_keyboard() {
    local focused
    focused=$(xdotool getwindowfocus 2>&1)
    [ "$focused" = "$1" ] || { echo "keyboard on window $focused, not $1"; return 1; }
}
popup_has_keyboard() { has_keyboard "$popup"; }
popup_still_shown() { [ "$(e2e_visible_window)" = "$popup" ]; }
dialog_has_keyboard() {
    local dialog
    dialog=$(dialog_window) || { echo "no dialog shown"; return 1; }
    has_keyboard "$dialog"
}

# Succeeds when the dialog is stacked above the popup: the window manager's stacking list
# (bottom first), or without one the root window's children (xwininfo lists them top first).
dialog_above_popup() {
    local dialog order
    dialog=$(dialog_window) || { echo "no dialog shown"; return 1; }
    if [ "$mode" = openbox ]; then
        order=$(xprop -root _NET_CLIENT_LIST_STACKING | sed 's/^[^#]*# //; s/, /\n/g')
    else
        order=$(xwininfo -root -children | sed -n 's/^ *\(0x[0-9a-f]*\) .*/\1/p' | tac)
    fi
    /usr/bin/python3 - "$popup" "$dialog" "$order" <<'PY'
import sys

popup, dialog, order = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3].split()
ids = [int(i, 16) for i in order]
if popup not in ids or dialog not in ids:
    sys.exit(f"popup {popup:#x} or dialog {dialog:#x} not in the stacking order {order}")
if ids.index(dialog) < ids.index(popup):
    sys.exit(f"the dialog {dialog:#x} is below the popup {popup:#x}: {order}")
PY
}

# Ctrl+E, then waits for the dialog to be shown above the popup with the keyboard.
open_export_dialog() {
    xdotool key ctrl+e
    e2e_poll "$E2E_STEP_SECONDS" "export dialog with the keyboard" dialog_has_keyboard
    e2e_poll "$E2E_STEP_SECONDS" "export dialog above the popup" dialog_above_popup
    # Qt's file dialog fills in its fields after it is shown.
    sleep 0.5
}

# After the dialog closed: the popup is still the same open window, has the keyboard, and
# what is typed reaches the card and then the notes file.
type_into_card_after() {
    local what=$1 text=$2
    e2e_poll "$E2E_STEP_SECONDS" "dialog closed ($what)" dialog_gone
    e2e_poll "$E2E_STEP_SECONDS" "keyboard back on the popup after $what" popup_has_keyboard
    # Polled: a search of the window tree while the dialog's window is being destroyed can
    # end in an X error and find nothing.
    e2e_poll "$E2E_STEP_SECONDS" "the same popup still open after $what" popup_still_shown
    xdotool type --delay 20 "$text"
    e2e_poll "$E2E_STEP_SECONDS" "text typed after $what in the notes file" e2e_notes_contain "$text"
    echo "after $what: typed text reached the card"
}

# From a folder of its own: a dialog that started in the working folder would show there.
cd "$workdir"
# shellcheck disable=SC2119 # no extra environment for the app
e2e_start_pinlark
e2e_poll "$E2E_START_SECONDS" "visible Pinlark window" e2e_visible_window
popup=$E2E_POLL_OUTPUT
echo "Popup $popup"
e2e_poll "$E2E_STEP_SECONDS" "keyboard focus on the popup" popup_has_keyboard
xdotool type --delay 20 'first words'

# 1. Cancelled.
open_export_dialog
import -window root "$E2E_OUT/$E2E_NAME.png" || e2e_fail "cannot take a screenshot"
xdotool key Escape
type_into_card_after "a cancelled export" ' after cancel'

# 2. Exported with the proposed name: into the Documents folder.
open_export_dialog
xdotool key Return
e2e_poll "$E2E_STEP_SECONDS" "export in the Documents folder" test -s "$documents/Pinlark-Export.md"
grep -q 'first words after cancel' "$documents/Pinlark-Export.md" ||
    e2e_fail "the export does not hold the card: $(cat "$documents/Pinlark-Export.md")"
type_into_card_after "an export" ' after export'

# 3. Exported to a path typed in full, in another folder.
open_export_dialog
xdotool key ctrl+a
xdotool type --delay 10 "$elsewhere/second.md"
xdotool key Return
e2e_poll "$E2E_STEP_SECONDS" "export at the typed path" test -s "$elsewhere/second.md"
type_into_card_after "an export elsewhere" ' and elsewhere'

# 4. The next dialog starts where the last export went.
open_export_dialog
xdotool key Return
e2e_poll "$E2E_STEP_SECONDS" "export in the last export's folder" \
    test -s "$elsewhere/Pinlark-Export.md"
type_into_card_after "an export in the last folder" ' done'

leftovers=$(find "$workdir" -mindepth 1 -print)
[ -z "$leftovers" ] || e2e_fail "files written in the working folder: $leftovers"
if grep -n '^Pinlark:' "$E2E_LOG"; then
    e2e_fail "pinlark logged a problem"
fi
echo "PASS"
