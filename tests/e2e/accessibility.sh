#!/usr/bin/env bash
# End to end through the accessibility bus: the real pinlark on a private X display, its
# controls read and pressed over AT-SPI as a screen reader or voice control would
# (accessibility.py does the reading and pressing).
#
#   accessibility.sh PINLARK_BINARY OUTPUT_DIR
#
# Leaves OUTPUT_DIR/e2e_accessibility.log (the app's output).
set -euo pipefail

E2E_NAME=e2e_accessibility
here="$(dirname "${BASH_SOURCE[0]}")"
source "$here/desktop.sh"

[ $# -eq 2 ] || e2e_fail "usage: $0 PINLARK_BINARY OUTPUT_DIR"
e2e_require Xvfb xdotool xwininfo dbus-daemon dbus-send /usr/bin/python3
# Debian's own Python, where python3-pyatspi installs the bindings.
/usr/bin/python3 -c 'import pyatspi' 2>/dev/null ||
    e2e_fail "/usr/bin/python3 cannot import pyatspi; './dev deps' installs python3-pyatspi"
e2e_begin "$1" "$2"
e2e_start_display
e2e_start_session_bus
e2e_start_accessibility_bus

# Vault Sync is pressed too: against an address where nothing answers, so the sync fails at
# once and nothing leaves the machine.
e2e_start_pinlark QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 PINLARK_VAULT_URL=https://127.0.0.1:9
e2e_poll "$E2E_START_SECONDS" "visible Pinlark window" e2e_visible_window

/usr/bin/python3 "$here/accessibility.py" --notes "$E2E_NOTES" --pid "$E2E_PINLARK_PID" \
    --timeout "$E2E_START_SECONDS" --step-timeout "$E2E_STEP_SECONDS" ||
    e2e_fail "what assistive technology sees of pinlark is not right (see above)"
if grep -n '^Pinlark:' "$E2E_LOG"; then
    e2e_fail "pinlark logged a problem during an ordinary session"
fi
echo "PASS"
