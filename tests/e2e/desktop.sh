# shellcheck shell=bash
# Sourced by the end-to-end test scripts, never run by itself.
#
# Gives one test run of the real pinlark binary a desktop of its own: a private home and XDG
# folders, a virtual X display on a free number, and a session bus. Every process started
# here is a child of the test's shell with a known id; the EXIT trap ends them all, newest
# first, whether the test passes, fails or is interrupted, and removes the private folders.
#
# A test script sets E2E_NAME, then:
#     e2e_require TOOL...            fail, naming what is missing, unless every tool is there
#     e2e_begin PINLARK OUT_DIR      private folders and environment, cleanup trap
#     e2e_start_display              Xvfb; exports DISPLAY
#     e2e_start_session_bus          dbus-daemon that activates nothing; exports
#                                    DBUS_SESSION_BUS_ADDRESS
#     e2e_run_unprivileged           where the test runs as root: run the bus, pinlark and
#                                    whatever the script starts through "${E2E_AS[@]}" as
#                                    nobody, who then owns the private folders
#     e2e_start_pinlark [VAR=VALUE...]
#     e2e_poll SECONDS WHAT COMMAND...
#     e2e_notes_contain TEXT         succeeds when a card of the notes file holds TEXT
#     e2e_start_accessibility_bus    at-spi-bus-launcher on the session bus, for AT-SPI
# and calls e2e_fail with a reason when a check does not hold.

# Deadlines are generous: under AddressSanitizer the app starts several times slower.
E2E_START_SECONDS=${PINLARK_E2E_START_SECONDS:-90}
# shellcheck disable=SC2034 # read by the test scripts
E2E_STEP_SECONDS=${PINLARK_E2E_STEP_SECONDS:-30}

e2e_pids=()
# The prefix that runs a command as the test's user: empty, or setpriv for nobody.
E2E_AS=()
E2E_TMP=
E2E_PINLARK_PID=
E2E_FAILED=

e2e_fail() {
    echo "FAIL: $*" >&2
    E2E_FAILED=1
    exit 1
}

# Tools are commands on PATH or absolute paths. A missing tool fails the test: passing
# without having looked at the app would hide that nothing was tested.
e2e_require() {
    local missing=() tool
    for tool in "$@"; do
        if [[ $tool == /* ]]; then
            [ -x "$tool" ] || missing+=("$tool")
        else
            command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
        fi
    done
    if [ ${#missing[@]} -ne 0 ]; then
        e2e_fail "missing ${missing[*]}; './dev deps' installs the packages the tests need"
    fi
}

e2e_begin() {
    E2E_PINLARK=$1
    E2E_OUT=$2
    [ -x "$E2E_PINLARK" ] || e2e_fail "no pinlark binary at '$E2E_PINLARK'"
    mkdir -p "$E2E_OUT" || e2e_fail "cannot create '$E2E_OUT'"
    E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/pinlark-$E2E_NAME.XXXXXX") ||
        e2e_fail "cannot create a temporary folder"
    trap e2e_cleanup EXIT
    trap 'exit 129' HUP
    trap 'exit 130' INT
    trap 'exit 143' TERM

    mkdir -p "$E2E_TMP"/{home,data,config,cache,state,run}
    chmod 700 "$E2E_TMP/run"
    # No sound card here: a null ALSA device lets every sound play succeed silently.
    printf 'pcm.!default { type null }\nctl.!default { type null }\n' >"$E2E_TMP/home/.asoundrc"

    # Nothing of the desktop the tests were started from may leak in: not its display, its
    # buses, its Qt settings, nor the notes of the person running them.
    unset DISPLAY WAYLAND_DISPLAY XAUTHORITY DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS \
        DBUS_STARTER_ADDRESS DBUS_STARTER_BUS_TYPE \
        SESSION_MANAGER XDG_CURRENT_DESKTOP XDG_SESSION_TYPE XDG_SESSION_DESKTOP \
        DESKTOP_SESSION QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE QT_SCALE_FACTOR \
        QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR QT_FONT_DPI QT_ACCESSIBILITY \
        QT_LINUX_ACCESSIBILITY_ALWAYS_ON QT_IM_MODULE XMODIFIERS GTK_MODULES \
        PINLARK_VAULT_URL PINLARK_VAULT_CA
    # Until the test starts its own, no bus and no sound server at all: unset, libdbus and
    # libpulse would look for the desktop's in the runtime folder or on the X server.
    export DBUS_SESSION_BUS_ADDRESS=disabled: DBUS_SYSTEM_BUS_ADDRESS=disabled:
    export PULSE_SERVER="unix:$E2E_TMP/run/no-sound-server"
    export HOME="$E2E_TMP/home"
    export XDG_DATA_HOME="$E2E_TMP/data"
    export XDG_CONFIG_HOME="$E2E_TMP/config"
    export XDG_CACHE_HOME="$E2E_TMP/cache"
    export XDG_STATE_HOME="$E2E_TMP/state"
    export XDG_RUNTIME_DIR="$E2E_TMP/run"
    export QT_QPA_PLATFORM=xcb
    export LANG=C.UTF-8 LC_ALL=C.UTF-8

    E2E_NOTES="$XDG_DATA_HOME/Pinlark/notes.json"
    E2E_LOG="$E2E_TMP/pinlark.log"
}

# Some programs refuse to run as root (sway): as root, the test's processes run as nobody,
# with the private folders (and a copy of pinlark, which nobody may not reach where it was
# built) theirs.
e2e_run_unprivileged() {
    [ "$(id -u)" -eq 0 ] || return 0
    e2e_require setpriv
    mkdir -p "$E2E_TMP/bin"
    cp "$E2E_PINLARK" "$E2E_TMP/bin/pinlark"
    E2E_PINLARK="$E2E_TMP/bin/pinlark"
    # The sanitizer run's suppressions, where nobody can read them: the checkout may not be.
    if [[ ${LSAN_OPTIONS:-} == *suppressions=* ]]; then
        local suppressions=${LSAN_OPTIONS#*suppressions=}
        suppressions=${suppressions%%:*}
        cp "$suppressions" "$E2E_TMP/bin/lsan-suppressions.txt"
        export LSAN_OPTIONS=${LSAN_OPTIONS/"$suppressions"/"$E2E_TMP/bin/lsan-suppressions.txt"}
    fi
    chmod 755 "$E2E_TMP"
    chown -R 65534:65534 "$E2E_TMP"
    E2E_AS=(setpriv --reuid=65534 --regid=65534 --clear-groups)
}

# Starts a background command with its output in a log and remembers its id for the cleanup.
e2e_spawn() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    e2e_pids+=($!)
}

# Waits for a daemon to write one line (its display number or bus address) to a file.
e2e_wait_for_line() {
    local file=$1 pid=$2 what=$3 log=$4
    local deadline=$((SECONDS + E2E_START_SECONDS))
    until [ -s "$file" ] && [ "$(wc -l <"$file")" -ge 1 ]; do
        kill -0 "$pid" 2>/dev/null || e2e_fail "$what exited while starting: $(cat "$log")"
        [ $SECONDS -lt $deadline ] || e2e_fail "$what did not start within ${E2E_START_SECONDS}s"
        sleep 0.1
    done
}

# Exit status that CTest counts as a skip (SKIP_RETURN_CODE), for what cannot run here.
E2E_SKIP=77

e2e_skip() {
    echo "SKIP: $*"
    exit "$E2E_SKIP"
}

# e2e_start_display [--skip-if-impossible]: with the option, a machine where Xvfb cannot
# run skips the test instead of failing it.
e2e_start_display() {
    # -displayfd: Xvfb takes the first free display number and writes it once it accepts
    # clients, so parallel tests never race for a number.
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset \
        3>"$E2E_TMP/display" >"$E2E_TMP/xvfb.log" 2>&1 &
    e2e_pids+=($!)
    if [ "${1:-}" = --skip-if-impossible ]; then
        local deadline=$((SECONDS + E2E_START_SECONDS))
        until [ -s "$E2E_TMP/display" ]; do
            kill -0 "$!" 2>/dev/null ||
                e2e_skip "Xvfb cannot run here: $(tr '\n' ' ' <"$E2E_TMP/xvfb.log")"
            [ $SECONDS -lt $deadline ] || e2e_skip "Xvfb did not start in ${E2E_START_SECONDS}s"
            sleep 0.1
        done
    fi
    e2e_wait_for_line "$E2E_TMP/display" "$!" Xvfb "$E2E_TMP/xvfb.log"
    DISPLAY=":$(head -n 1 "$E2E_TMP/display")"
    export DISPLAY
    echo "Display $DISPLAY"
}

# The bus runs on private-bus.conf, which lists no service folders: nothing is D-Bus-activated
# on it. On the system's session configuration, the app's first call to the portal or the
# accessibility bus would start the real xdg-desktop-portal or at-spi-bus-launcher, and what
# those start outlives the bus. A test starts by hand what it needs on the bus.
E2E_PRIVATE_BUS_CONFIG="$(dirname "${BASH_SOURCE[0]}")/../support/private-bus.conf"

e2e_start_session_bus() {
    [ -f "$E2E_PRIVATE_BUS_CONFIG" ] || e2e_fail "no bus configuration at $E2E_PRIVATE_BUS_CONFIG"
    # Without a session bus, the D-Bus library would start one through dbus-launch that
    # outlives the test.
    "${E2E_AS[@]}" dbus-daemon --config-file="$E2E_PRIVATE_BUS_CONFIG" --nofork --nosyslog --print-address=3 \
        3>"$E2E_TMP/session-bus" >"$E2E_TMP/session-bus.log" 2>&1 &
    e2e_pids+=($!)
    e2e_wait_for_line "$E2E_TMP/session-bus" "$!" "the session bus" "$E2E_TMP/session-bus.log"
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$E2E_TMP/session-bus")
    export DBUS_SESSION_BUS_ADDRESS
    # A bus that could start the machine's services is not the one the test is meant for.
    local reply activatable
    reply=$("${E2E_AS[@]}" dbus-send --session --print-reply --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.ListActivatableNames 2>&1) ||
        e2e_fail "the session bus does not answer: $reply"
    activatable=$(sed -n 's/^ *string "\(.*\)"$/\1/p' <<<"$reply" | grep -vx org.freedesktop.DBus) ||
        true
    [ -z "$activatable" ] || e2e_fail "the private bus would start $(tr '\n' ' ' <<<"$activatable")"
}

# A panel with a system tray and nothing else, as a desktop's status area. Without a window
# manager, tint2 waits for one unless the root window says how many desktops there are.
e2e_start_tray() {
    local rc=$1 probe=$2
    xprop -root -f _NET_NUMBER_OF_DESKTOPS 32c -set _NET_NUMBER_OF_DESKTOPS 1
    xprop -root -f _NET_CURRENT_DESKTOP 32c -set _NET_CURRENT_DESKTOP 0
    e2e_spawn "$E2E_TMP/tint2.log" tint2 -c "$rc"
    e2e_poll "$E2E_START_SECONDS" "system tray owning _NET_SYSTEM_TRAY_S0" "$probe" tray-owner
}

e2e_start_pinlark() {
    "${E2E_AS[@]}" env "$@" "$E2E_PINLARK" >"$E2E_LOG" 2>&1 &
    E2E_PINLARK_PID=$!
    e2e_pids+=($!)
    echo "Started pinlark (pid $E2E_PINLARK_PID)"
}

e2e_pinlark_running() {
    [ -n "$E2E_PINLARK_PID" ] && kill -0 "$E2E_PINLARK_PID" 2>/dev/null
}

# e2e_poll SECONDS WHAT COMMAND...: runs COMMAND until it succeeds. Fails after SECONDS, or
# at once when pinlark has exited, showing what COMMAND printed the last time.
e2e_poll() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$((SECONDS + seconds)) output
    while true; do
        if output=$("$@" 2>&1); then
            # shellcheck disable=SC2034 # read by the test scripts
            E2E_POLL_OUTPUT=$output
            return 0
        fi
        if [ -n "$E2E_PINLARK_PID" ] && ! e2e_pinlark_running; then
            e2e_fail "pinlark exited while waiting for $what${output:+: $output}"
        fi
        [ $SECONDS -lt $deadline ] || e2e_fail "no $what within ${seconds}s${output:+: $output}"
        sleep 0.1
    done
}

# The accessibility bus, ready before the app asks for it; otherwise the session bus would
# start a second launcher on demand.
E2E_A11Y_LAUNCHER=/usr/libexec/at-spi-bus-launcher

e2e_start_accessibility_bus() {
    e2e_require "$E2E_A11Y_LAUNCHER"
    e2e_spawn "$E2E_TMP/at-spi-bus-launcher.log" "$E2E_A11Y_LAUNCHER" --launch-immediately
    e2e_poll "$E2E_START_SECONDS" "accessibility bus launcher on the session bus" \
        e2e_bus_name_owned org.a11y.Bus
}

# e2e_bus_name_owned NAME: succeeds when NAME has an owner on the session bus.
e2e_bus_name_owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q 'boolean true'
}

# e2e_notes_contain TEXT: succeeds when a card of the notes file contains TEXT.
e2e_notes_contain() {
    /usr/bin/python3 - "$E2E_NOTES" "$1" <<'PY'
import json
import sys

path, text = sys.argv[1], sys.argv[2]
try:
    with open(path, encoding="utf-8") as f:
        cards = json.load(f)
except (OSError, ValueError) as error:
    sys.exit(f"cannot read {path}: {error}")
contents = [c.get("content", "") for c in cards if isinstance(c, dict)]
if not any(text in t for t in contents if isinstance(t, str)):
    sys.exit(f"no card holds {text!r}: {contents!r}")
PY
}

# e2e_stop PID: ends one process this test started, and waits for it.
e2e_stop() {
    kill -TERM "$1" 2>/dev/null || return 0
    wait "$1" 2>/dev/null || true
}

# The visible top-level window titled "Pinlark". Qt also creates an unmapped 1x1 window with
# the same title (the client leader), so an unfiltered search may find that one first.
e2e_visible_window() {
    local id
    id=$(xdotool search --onlyvisible --name '^Pinlark$' 2>/dev/null | head -n 1)
    [ -n "$id" ] && echo "$id"
}

e2e_show_diagnostics() {
    echo "--- diagnostics for $E2E_NAME ---"
    if [ -n "${DISPLAY:-}" ] && command -v xwininfo >/dev/null 2>&1; then
        echo "X windows on $DISPLAY:"
        xwininfo -root -tree 2>&1 | grep -v 'has no name' | head -n 40
        echo "window with the keyboard: $(xdotool getwindowfocus 2>&1)"
    fi
    echo "--- $E2E_NOTES ---"
    if [ -f "$E2E_NOTES" ]; then cat "$E2E_NOTES"; echo; else echo "(none)"; fi
    ls -la "$(dirname "$E2E_NOTES")" 2>/dev/null
    echo "--- pinlark log ---"
    cat "$E2E_LOG" 2>/dev/null
    echo "--- end of diagnostics ---"
}

e2e_cleanup() {
    local status=$?
    trap - EXIT HUP INT TERM
    set +e
    if [ "$status" -ne 0 ] || [ -n "$E2E_FAILED" ]; then
        e2e_show_diagnostics >&2
    fi
    [ -n "$E2E_TMP" ] && [ -f "$E2E_LOG" ] && cp "$E2E_LOG" "$E2E_OUT/$E2E_NAME.log"
    # Newest first: the app goes before the services it uses, the display last.
    local i pid tries
    for ((i = ${#e2e_pids[@]} - 1; i >= 0; i--)); do
        pid=${e2e_pids[i]}
        kill -TERM "$pid" 2>/dev/null || continue
        for ((tries = 0; tries < 50; tries++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    [ -n "$E2E_TMP" ] && rm -rf "$E2E_TMP"
    exit "$status"
}
