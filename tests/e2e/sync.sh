#!/usr/bin/env bash
# End to end through Vault Sync: two "machines" (each its own notes and settings) run the
# real pinlark in turn against one Vault. On each, a card is typed and the same passport code
# is entered in Vault Sync, as a person would with the keyboard; both notes files then hold
# both cards. Then each types another card and syncs by itself, without Sync Now, and the
# desktop ends with all four. Every push names the version it replaces, and the Vault saw
# neither a card nor the code.
#
#   sync.sh PINLARK_BINARY OUTPUT_DIR [PINLARK_VAULT_BINARY]
#
# Without PINLARK_VAULT_BINARY the Vault is vault.py, over plain HTTP on loopback, and the
# test reads the log of every request it took. With it, the Vault is the real pinlark-vault
# over TLS, under a certificate authority made for the run, and the test reads the SQLite
# database it keeps and the lines it logs.
#
# Leaves OUTPUT_DIR/e2e_sync.log, or OUTPUT_DIR/e2e_selfhosted_sync.log with pinlark-vault
# (the app's output, every run).
set -euo pipefail

if [ $# -eq 3 ]; then E2E_NAME=e2e_selfhosted_sync; else E2E_NAME=e2e_sync; fi
here="$(dirname "${BASH_SOURCE[0]}")"
source "$here/desktop.sh"

[ $# -eq 2 ] || [ $# -eq 3 ] ||
    e2e_fail "usage: $0 PINLARK_BINARY OUTPUT_DIR [PINLARK_VAULT_BINARY]"
vault_server=${3:-}
if [ -z "$vault_server" ]; then
    e2e_require Xvfb xdotool xwininfo dbus-daemon /usr/bin/python3
else
    e2e_require Xvfb xdotool xwininfo dbus-daemon /usr/bin/python3 openssl sha256sum \
        "$vault_server"
fi
e2e_begin "$1" "$2"
e2e_start_display
e2e_start_session_bus

code_typed=' plk-e2e-sync-1 '
code='PLK-E2E-SYNC-1'
note_a='typed on the laptop #shared'
note_b='typed on the desktop'
all_logs="$E2E_TMP/pinlark-all.log"

# What the Vault saw: one vault, named by the hash of the normalised code, and only opaque
# payloads; never the code, a card's text or a tag.
vault_saw_only_ciphertext() {
    /usr/bin/python3 - "$vault_log" "$code" "$note_a" "$note_b" "$note_c" "$note_d" <<'PY'
import hashlib, json, sys
log, code, *notes = sys.argv[1:]
requests = [json.loads(line) for line in open(log, encoding="utf-8")]
path = "/vault/pinlark/" + hashlib.sha256(("pinlark-vault-id:" + code).encode()).hexdigest()
methods = [r["method"] for r in requests]
if methods != ["GET", "POST"] * 5:
    sys.exit(f"expected a pull and a push per sync, three asked for and two by themselves,"
             f" got {methods}")
# Each push names what it replaces: nothing at all first, then the version its pull saw.
for i, r in enumerate(requests):
    if r["method"] != "POST":
        continue
    headers = dict(line.split(": ", 1) for line in r["headers"].splitlines() if ": " in line)
    if i == 1:
        if headers.get("If-None-Match") != "*":
            sys.exit(f"the first push, to an empty vault, sent no If-None-Match: *: {headers}")
    elif "If-Match" not in headers:
        sys.exit(f"push {i // 2 + 1} sent no If-Match: {headers}")
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
}

# A certificate authority of the run's own, and a certificate for 127.0.0.1 that it signs:
# pinlark can only trust the Vault through PINLARK_VAULT_CA.
make_certificates() {
    local dir=$1
    printf '%s\n' 'basicConstraints = critical, CA:TRUE' \
        'keyUsage = critical, keyCertSign, cRLSign' \
        'subjectKeyIdentifier = hash' >"$dir/ca.ext"
    printf '%s\n' 'basicConstraints = critical, CA:FALSE' \
        'keyUsage = critical, digitalSignature' \
        'extendedKeyUsage = serverAuth' \
        'subjectAltName = IP:127.0.0.1' \
        'subjectKeyIdentifier = hash' \
        'authorityKeyIdentifier = keyid' >"$dir/server.ext"
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$dir/ca.key" &&
        openssl req -new -key "$dir/ca.key" -subj '/CN=Pinlark e2e CA' -out "$dir/ca.csr" &&
        openssl x509 -req -in "$dir/ca.csr" -signkey "$dir/ca.key" -days 1 \
            -extfile "$dir/ca.ext" -out "$dir/ca.pem" &&
        openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$dir/server.key" &&
        openssl req -new -key "$dir/server.key" -subj '/CN=127.0.0.1' -out "$dir/server.csr" &&
        openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
            -CAcreateserial -days 1 -extfile "$dir/server.ext" -out "$dir/server.pem"
}

# pinlark-vault on a free port with its database in the run's folder; sets vault_url from the
# one line it logs once it serves.
start_vault_server() {
    local tls="$E2E_TMP/vault-tls"
    mkdir -p "$tls"
    make_certificates "$tls" >"$tls/openssl.log" 2>&1 ||
        e2e_fail "openssl could not make the certificates: $(cat "$tls/openssl.log")"
    vault_ca="$tls/ca.pem"
    vault_data="$E2E_TMP/vault-data"
    vault_server_log="$E2E_TMP/vault-server.log"
    e2e_spawn "$vault_server_log" "$vault_server" --data "$vault_data" \
        --cert "$tls/server.pem" --key "$tls/server.key" --listen 127.0.0.1:0
    vault_server_pid=${e2e_pids[-1]}
    e2e_wait_for_line "$vault_server_log" "$vault_server_pid" pinlark-vault "$vault_server_log"
    vault_start_line=$(head -n 1 "$vault_server_log")
    local serving='^pinlark-vault: version [^ ]+ serving (https://127\.0\.0\.1:[1-9][0-9]*)'
    serving+=' from SQLite (/.+)$'
    [[ $vault_start_line =~ $serving ]] ||
        e2e_fail "pinlark-vault did not say where it serves: $(cat "$vault_server_log")"
    vault_url=${BASH_REMATCH[1]}
    [ "${BASH_REMATCH[2]}" -ef "$vault_data/vaults.sqlite3" ] ||
        e2e_fail "pinlark-vault keeps ${BASH_REMATCH[2]}, not $vault_data/vaults.sqlite3"
}

# The entity tag of the code's vault in pinlark-vault's database, empty while there is none.
# Read-only, beside the running server (the database is in WAL mode).
vault_etag() {
    if ! kill -0 "$vault_server_pid" 2>/dev/null; then
        echo "pinlark-vault has exited: $(cat "$vault_server_log")"
        return 1
    fi
    /usr/bin/python3 - "$vault_data/vaults.sqlite3" "$vault_id" <<'PY'
import sqlite3, sys, urllib.parse
path, vault_id = sys.argv[1:]
db = sqlite3.connect(f"file:{urllib.parse.quote(path)}?mode=ro", uri=True)
try:
    row = db.execute("SELECT etag FROM vaults WHERE id = ?", (vault_id,)).fetchone()
finally:
    db.close()
print(row[0] if row else "")
PY
}

# What pinlark-vault keeps: one vault, named by the hash of the normalised code, whose payload
# is base64 of bytes that hold neither the code, a card's text nor a tag; and no file of its
# data folder (database, write-ahead log, shared memory) holds any of them either.
vault_kept_only_ciphertext() {
    /usr/bin/python3 - "$vault_data" "$vault_id" "$code" "$note_a" "$note_b" "$note_c" \
        "$note_d" <<'PY'
import base64, binascii, os, sqlite3, sys, urllib.parse
folder, vault_id, code, *notes = sys.argv[1:]
secrets = [code.lower(), "e2e-sync", "#shared"] + [n.lower() for n in notes]
# The files as the server left them, before this script's own connection adds any.
files = sorted(os.listdir(folder))
for name in files:
    with open(os.path.join(folder, name), "rb") as f:
        content = f.read().lower()
    for secret in secrets:
        if secret.encode() in content:
            sys.exit(f"{secret!r} is in {name}")
path = os.path.join(folder, "vaults.sqlite3")
db = sqlite3.connect(f"file:{urllib.parse.quote(path)}?mode=ro", uri=True)
try:
    rows = db.execute("SELECT id, data FROM vaults").fetchall()
finally:
    db.close()
if [row[0] for row in rows] != [vault_id]:
    sys.exit(f"expected the one vault {vault_id}, found {[row[0] for row in rows]}")
data = rows[0][1]
try:
    text = data.decode("ascii") if isinstance(data, bytes) else data
    sealed = base64.b64decode(text, validate=True)
except (UnicodeDecodeError, binascii.Error) as error:
    sys.exit(f"the payload is not base64 ({error}): {data[:80]!r}")
if base64.b64encode(sealed).decode() != text:
    sys.exit(f"the payload is not standard base64: {text[:80]!r}")
# Salt, nonce and tag alone take 44 bytes.
if len(sealed) <= 44:
    sys.exit(f"a payload of {len(sealed)} bytes cannot hold two sealed cards")
for secret in secrets:
    if secret in text.lower() or secret.encode() in sealed.lower():
        sys.exit(f"{secret!r} is in the stored payload")
print(f"the Vault keeps one vault, {vault_id}, of {len(sealed)} opaque bytes;"
      f" none of {', '.join(files)} holds a card or the code")
PY
}

# SIGTERM ends pinlark-vault with status 0 and one line; besides that line it may only have
# logged where it serves: never a vault, a payload or a request.
stop_vault_server() {
    kill -TERM "$vault_server_pid"
    local deadline=$((SECONDS + E2E_STEP_SECONDS)) status=0 unexpected
    while kill -0 "$vault_server_pid" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || e2e_fail "pinlark-vault still running after SIGTERM"
        sleep 0.1
    done
    wait "$vault_server_pid" || status=$?
    [ "$status" -eq 0 ] ||
        e2e_fail "pinlark-vault exited with status $status: $(cat "$vault_server_log")"
    unexpected=$(printf '%s\n' "$vault_start_line" 'pinlark-vault: stopped on SIGTERM' |
        diff - "$vault_server_log") ||
        e2e_fail "pinlark-vault logged other than its start and its stop: $unexpected"
    echo "pinlark-vault stopped on SIGTERM, having logged only where it served"
}

if [ -z "$vault_server" ]; then
    vault_log="$E2E_TMP/vault-requests.jsonl"
    e2e_spawn "$E2E_TMP/vault.log" /usr/bin/python3 "$here/vault.py" "$E2E_TMP/vault-port" \
        "$vault_log"
    e2e_wait_for_line "$E2E_TMP/vault-port" "${e2e_pids[-1]}" "the loopback Vault" \
        "$E2E_TMP/vault.log"
    vault_url="http://127.0.0.1:$(head -n 1 "$E2E_TMP/vault-port")"
    vault_environment=()
    posts() { grep -c '"method": "POST"' "$vault_log" || true; }
    # Where the Vault stands before a sync; the sync's push moves it past that mark.
    vault_mark() { posts; }
    vault_pushed_since() { [ "$(posts)" -gt "$1" ]; }
else
    vault_id=$(printf 'pinlark-vault-id:%s' "$code" | sha256sum | cut -d ' ' -f 1)
    start_vault_server
    vault_environment=(PINLARK_VAULT_CA="$vault_ca")
    vault_mark() { vault_etag; }
    # Every push seals the cards with a fresh salt and nonce, so it always changes the tag.
    vault_pushed_since() {
        local etag
        etag=$(vault_etag) || { echo "$etag"; return 1; }
        [ -n "$etag" ] && [ "$etag" != "$1" ]
    }
fi
echo "Vault at $vault_url"

# Notes and settings of one machine; the display, bus and Vault are shared.
use_machine() {
    export XDG_DATA_HOME="$E2E_TMP/$1/data" XDG_CONFIG_HOME="$E2E_TMP/$1/config"
    mkdir -p "$XDG_DATA_HOME" "$XDG_CONFIG_HOME"
    E2E_NOTES="$XDG_DATA_HOME/Pinlark/notes.json"
    E2E_LOG="$E2E_TMP/pinlark.log"
    echo "== machine $1"
}

start_pinlark() {
    e2e_start_pinlark PINLARK_VAULT_URL="$vault_url" "${vault_environment[@]}"
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

# The passport code is the vault's only secret: only the user may read where it is kept, and
# a crash may not leave it in a core file. Checked under the umask most desktops give.
umask 022
code_kept_private() {
    local folder="$XDG_CONFIG_HOME/Pinlark" modes limit
    modes="$(stat -c %a "$folder") $(stat -c %a "$folder/Pinlark.conf")"
    [ "$modes" = "700 600" ] || { echo "settings folder and file are $modes, not 700 600"; return 1; }
    limit=$(awk '/^Max core file size/ { print $5, $6 }' "/proc/$E2E_PINLARK_PID/limits")
    [ "$limit" = "0 0" ] || { echo "core file size limit is '$limit', not 0 0"; return 1; }
}

# The laptop writes a card and syncs with a code typed in lower case, with blanks around it.
use_machine laptop
pushed=$(vault_mark) || e2e_fail "cannot read the Vault: $pushed"
start_pinlark
e2e_poll "$E2E_STEP_SECONDS" "a private first passport code" code_kept_private
xdotool key ctrl+n
xdotool type --delay 20 "$note_a"
sync_now "$code_typed"
e2e_poll "$E2E_STEP_SECONDS" "a push to the Vault" vault_pushed_since "$pushed"
e2e_poll "$E2E_STEP_SECONDS" "the laptop's card in its notes" notes_hold "$note_a"
grep -qx "pinlark_passport_code=$code" "$XDG_CONFIG_HOME/Pinlark/Pinlark.conf" ||
    e2e_fail "the normalised code is not in the settings: $(cat "$XDG_CONFIG_HOME/Pinlark/Pinlark.conf")"
code_kept_private || e2e_fail "the typed code is not private: $(code_kept_private)"
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
pushed=$(vault_mark) || e2e_fail "cannot read the Vault: $pushed"
start_pinlark
sync_now
e2e_poll "$E2E_STEP_SECONDS" "another push to the Vault" vault_pushed_since "$pushed"
e2e_poll "$E2E_STEP_SECONDS" "both cards on the laptop" notes_hold "$note_a" "$note_b"
echo "$E2E_POLL_OUTPUT"
quit_pinlark

# From here on nobody presses Sync Now. The laptop types a card: once the typing has settled
# it syncs by itself. The desktop types one too, and its own sync brings the laptop's card.
note_c='typed later on the laptop'
note_d='typed later on the desktop'
use_machine laptop
pushed=$(vault_mark) || e2e_fail "cannot read the Vault: $pushed"
start_pinlark
xdotool key ctrl+n
xdotool type --delay 20 "$note_c"
e2e_poll 30 "a push by itself from the laptop" vault_pushed_since "$pushed"
quit_pinlark

use_machine desktop
pushed=$(vault_mark) || e2e_fail "cannot read the Vault: $pushed"
start_pinlark
xdotool key ctrl+n
xdotool type --delay 20 "$note_d"
e2e_poll 30 "a push by itself from the desktop" vault_pushed_since "$pushed"
e2e_poll "$E2E_STEP_SECONDS" "every card on the desktop, without Sync Now" \
    notes_hold "$note_a" "$note_b" "$note_c" "$note_d"
echo "$E2E_POLL_OUTPUT"
quit_pinlark

if [ -n "$vault_server" ]; then
    vault_kept_only_ciphertext || e2e_fail "the Vault kept too much"
    stop_vault_server
    # Stopping folds the write-ahead log into the database: the payload is still the only
    # thing kept, now in the files that stay on disk.
    vault_kept_only_ciphertext || e2e_fail "the Vault kept too much once stopped"
else
    vault_saw_only_ciphertext || e2e_fail "the Vault saw too much"
fi

if grep -n '^Pinlark:' "$all_logs"; then
    e2e_fail "pinlark logged a problem"
fi
echo "PASS"
