#!/usr/bin/env bash
# End to end through Vault Sync: two "machines" (each its own notes and settings) run the
# real pinlark in turn against a Vault on loopback (vault.py). On each, a card is typed and
# the same passport code is entered in Vault Sync, as a person would with the keyboard; in
# the end both notes files hold both cards, and the Vault saw neither a card nor the code.
#
#   sync.sh PINLARK_BINARY OUTPUT_DIR
#
# Leaves OUTPUT_DIR/e2e_sync.log (the app's output, every run).
set -euo pipefail

E2E_NAME=e2e_sync
here="$(dirname "${BASH_SOURCE[0]}")"
source "$here/desktop.sh"

[ $# -eq 2 ] || e2e_fail "usage: $0 PINLARK_BINARY OUTPUT_DIR"
e2e_require Xvfb xdotool xwininfo dbus-daemon /usr/bin/python3
e2e_begin "$1" "$2"
e2e_start_display
e2e_start_session_bus

vault_log="$E2E_TMP/vault-requests.jsonl"
e2e_spawn "$E2E_TMP/vault.log" /usr/bin/python3 "$here/vault.py" "$E2E_TMP/vault-port" "$vault_log"
e2e_wait_for_line "$E2E_TMP/vault-port" "${e2e_pids[-1]}" "the loopback Vault" "$E2E_TMP/vault.log"
vault_url="http://127.0.0.1:$(head -n 1 "$E2E_TMP/vault-port")"
echo "Vault at $vault_url"

code_typed=' plk-e2e-sync-1 '
code='PLK-E2E-SYNC-1'
note_a='typed on the laptop #shared'
note_b='typed on the desktop'
all_logs="$E2E_TMP/pinlark-all.log"

# Notes and settings of one machine; the display, bus and Vault are shared.
use_machine() {
    export XDG_DATA_HOME="$E2E_TMP/$1/data" XDG_CONFIG_HOME="$E2E_TMP/$1/config"
    mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
    E2E_NOTES="$XDG_DATA_HOME/Pinlark/notes.json"
    E2E_LOG="$E2E_TMP/pinlark.log"
    echo "== machine $1"
}

start_pinlark() {
    e2e_start_pinlark PINLARK_VAULT_URL="$vault_url"
    e2e_poll "$E2E_START_SECONDS" "visible Pinlark window" e2e_visible_window
    local window=$E2E_POLL_OUTPUT
    window_has_keyboard() { [ "$(xdotool getwindowfocus 2>&1)" = "$window" ]; }
    e2e_poll "$E2E_STEP_SECONDS" "keyboard focus on the Pinlark window" window_has_keyboard
}

quit_pinlark() {
    xdotool key ctrl+q
    local deadline=$((SECONDS + E2E_STEP_SECONDS)) status=0
    while e2e_pinlark_running; do
        [ $SECONDS -lt $deadline ] || e2e_fail "pinlark still running after Ctrl+Q"
        sleep 0.1
    done
    wait "$E2E_PINLARK_PID" || status=$?
    E2E_PINLARK_PID=
    cat "$E2E_LOG" >>"$all_logs"
    [ "$status" -eq 0 ] || e2e_fail "pinlark exited with status $status"
}

# Ctrl+S opens Vault Sync with the keyboard in the code field; with an argument, the field's
# text is replaced by it. Tab three times reaches Sync Now (after Copy Code and Close).
sync_now() {
    xdotool key ctrl+s
    if [ $# -gt 0 ]; then
        xdotool key ctrl+a
        xdotool type --delay 20 "$1"
    fi
    xdotool key Tab Tab Tab space
}

# Succeeds when every given text is the whole text of one card of this machine's notes.
notes_hold() {
    /usr/bin/python3 - "$E2E_NOTES" "$@" <<'PY'
import json, sys
path, wanted = sys.argv[1], sys.argv[2:]
try:
    with open(path, encoding="utf-8") as f:
        contents = [c.get("content") for c in json.load(f)]
except (OSError, ValueError, AttributeError, TypeError) as error:
    sys.exit(f"cannot read {path}: {error}")
missing = [w for w in wanted if w not in contents]
if missing:
    sys.exit(f"missing {missing!r} in {contents!r}")
print(f"cards: {contents!r}")
PY
}

posts() { grep -c '"method": "POST"' "$vault_log" || true; }
posts_beyond() { [ "$(posts)" -gt "$1" ]; }

# The laptop writes a card and syncs with a code typed in lower case, with blanks around it.
use_machine laptop
start_pinlark
xdotool key ctrl+n
xdotool type --delay 20 "$note_a"
sync_now "$code_typed"
e2e_poll "$E2E_STEP_SECONDS" "a push to the Vault" posts_beyond 0
e2e_poll "$E2E_STEP_SECONDS" "the laptop's card in its notes" notes_hold "$note_a"
grep -qx "pinlark_passport_code=$code" "$XDG_CONFIG_HOME/Pinlark/Pinlark.conf" ||
    e2e_fail "the normalised code is not in the settings: $(cat "$XDG_CONFIG_HOME/Pinlark/Pinlark.conf")"
quit_pinlark

# The desktop writes its own card and syncs with the same code: it gets the laptop's card.
use_machine desktop
start_pinlark
xdotool key ctrl+n
xdotool type --delay 20 "$note_b"
sync_now "$code"
e2e_poll "$E2E_STEP_SECONDS" "both cards on the desktop" notes_hold "$note_a" "$note_b"
echo "$E2E_POLL_OUTPUT"
quit_pinlark

# The laptop syncs again with the code it remembered: it gets the desktop's card.
use_machine laptop
pushed=$(posts)
start_pinlark
sync_now
e2e_poll "$E2E_STEP_SECONDS" "another push to the Vault" posts_beyond "$pushed"
e2e_poll "$E2E_STEP_SECONDS" "both cards on the laptop" notes_hold "$note_a" "$note_b"
echo "$E2E_POLL_OUTPUT"
quit_pinlark

# What the Vault saw: one vault, named by the hash of the normalised code, and only opaque
# payloads; never the code, a card's text or a tag.
/usr/bin/python3 - "$vault_log" "$code" "$note_a" "$note_b" <<'PY' || e2e_fail "the Vault saw too much"
import hashlib, json, sys
log, code, *notes = sys.argv[1:]
requests = [json.loads(line) for line in open(log, encoding="utf-8")]
path = "/vault/pinlark/" + hashlib.sha256(("pinlark-vault-id:" + code).encode()).hexdigest()
methods = [r["method"] for r in requests]
if methods != ["GET", "POST"] * 3:
    sys.exit(f"expected a pull and a push per sync, got {methods}")
for r in requests:
    if r["path"] != path:
        sys.exit(f"request to {r['path']}, not {path}")
    seen = (r["path"] + r["headers"] + r["body"]).lower()
    for secret in [code.lower(), "e2e-sync", "#shared"] + [n.lower() for n in notes]:
        if secret in seen:
            sys.exit(f"{secret!r} reached the Vault in {r['method']} {r['path']}")
    if r["method"] == "POST":
        if r["contentType"] != "application/json":
            sys.exit(f"a push sent {r['contentType']!r}")
        if list(json.loads(r["body"])) != ["data"]:
            sys.exit(f"a push body other than one \"data\" member: {r['body'][:80]!r}")
print(f"the Vault saw {len(requests)} requests, all to {path}, none holding a card or the code")
PY

if grep -n '^Pinlark:' "$all_logs"; then
    e2e_fail "pinlark logged a problem"
fi
echo "PASS"
