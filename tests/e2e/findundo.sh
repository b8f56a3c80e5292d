#!/usr/bin/env bash
# End to end through find and undo: the real pinlark on a private X display, started on a
# stack of four cards, finds cards by a word typed after Ctrl+F (case and accents aside),
# steps through them with Return and Shift+Return, ends the find with Escape, and takes two
# deletes back, by the Undo button over AT-SPI and by Ctrl+Z. findundo.py drives it.
#
#   findundo.sh PINLARK_BINARY OUTPUT_DIR
set -euo pipefail

E2E_NAME=e2e_findundo
here="$(dirname "${BASH_SOURCE[0]}")"
source "$here/desktop.sh"

[ $# -eq 2 ] || e2e_fail "usage: $0 PINLARK_BINARY OUTPUT_DIR"
e2e_require Xvfb xdotool xwininfo dbus-daemon dbus-send /usr/bin/python3
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null ||
    e2e_fail "/usr/bin/python3 cannot import pyatspi; './dev deps' installs python3-pyatspi"
e2e_begin "$1" "$2"
e2e_start_display
e2e_start_session_bus
e2e_start_accessibility_bus

# Whole milliseconds, as the app writes them, so the file compares as it was after an undo.
seed="$E2E_TMP/seed.json"
cat >"$seed" <<'JSON'
[{"id":"card_seed0","content":"Buy milk and eggs","color":"mint","createdAt":"2026-12-01T08:00:00.000Z","updatedAt":"2026-12-01T08:00:00.000Z"},
{"id":"card_seed1","content":"Café on Friday #work","color":"peach","createdAt":"2026-12-02T08:00:00.000Z","updatedAt":"2026-12-03T09:30:00.000Z"},
{"id":"card_seed2","content":"plain card","color":"sky","createdAt":"2026-12-03T08:00:00.000Z","updatedAt":"2026-12-03T08:00:00.000Z"},
{"id":"card_seed3","content":"CAFE RECEIPT to file","color":"lavender","createdAt":"2026-12-04T08:00:00.000Z","updatedAt":"2026-12-05T10:00:00.000Z"}]
JSON
mkdir -p -m 700 "$(dirname "$E2E_NOTES")"
cp "$seed" "$E2E_NOTES"
chmod 600 "$E2E_NOTES"

e2e_start_pinlark QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 PINLARK_VAULT_URL=https://127.0.0.1:9
e2e_poll "$E2E_START_SECONDS" "visible Pinlark window" e2e_visible_window
window=$E2E_POLL_OUTPUT

/usr/bin/python3 "$here/findundo.py" --notes "$E2E_NOTES" --seed "$seed" \
    --pid "$E2E_PINLARK_PID" --timeout "$E2E_START_SECONDS" --step-timeout "$E2E_STEP_SECONDS" ||
    e2e_fail "find or undo did not do what a person expects (see above)"
# Escape ended the find, not the popup.
[ "$(e2e_visible_window)" = "$window" ] || e2e_fail "the popup closed during the find"
import -window root "$E2E_OUT/$E2E_NAME.png" 2>/dev/null || true
if grep -n '^Pinlark:' "$E2E_LOG"; then
    e2e_fail "pinlark logged a problem during an ordinary session"
fi
echo "PASS"
