#!/usr/bin/env bash
# Runs the real pinlark on each supported kind of desktop, every one in a private session
# of its own (private home and XDG folders, a session bus that activates nothing, its own
# display or compositor), and prints what it saw as a Markdown table. For a person checking
# a build by hand: it takes a few minutes and needs the desktops installed, so CI does not
# run it.
#
#   tools/desktop-matrix.sh [--out FILE] [--keep] PINLARK_BINARY [DESKTOP...]
#
# DESKTOP is one of: openbox xfce gnome-appindicator gnome sway weston bare-x (all when none
# is named). --keep leaves each session's folder (logs, notes, stderr) for a look.
# Every cell is measured in that session:
#   tray icon        icon embedded by an X11 tray (XEmbed) or item registered with a
#                    StatusNotifierWatcher (SNI)
#   tray started late  the panel or tray host started 3 s after pinlark
#   popup by itself  the card opened without being asked, after pinlark's wait for a tray
#   Alt+Space        pressed while another application has the keyboard; when it does not
#                    work, the reason pinlark printed
#   --toggle         "pinlark --toggle" opens the card / typed text reaches notes.json /
#                    Escape closes the card
#   notification     pinlark sent one whose summary names Alt+Space (seen on the bus)
#   shortcut for --toggle  the notice in the card, read over AT-SPI: the steps to bind
#                    "pinlark --toggle" by hand, or its "Set Up Shortcut" pressed and the key
#                    it then names pressed from another application (acted on by the
#                    desktop's own daemon: xfsettingsd, gsd-media-keys)
#   Qt warnings      what pinlark wrote to stderr that was not its own "Pinlark:" lines
# What each session runs besides the desktop: the accessibility bus, a fake notification
# server where the desktop has none of its own, the portal front end on GNOME and sway (with
# the back ends those desktops ship, none of which offers GlobalShortcuts), and another
# application (xmessage or weston-flower) that has the keyboard when Alt+Space is pressed.
# sway gets no binding for Alt+Space: the column shows what pinlark manages by itself. The desktops run as uid
# 65534 when started as root: sway and GNOME refuse root.
#
# Packages (Debian 12), besides what ./dev installs: xfwm4 xfce4-panel xfce4-settings xfconf
# gnome-shell gnome-shell-extension-appindicator gnome-settings-daemon weston wmctrl. A missing
# tool turns its desktop's row into "error: missing ...".
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
all=(openbox xfce gnome-appindicator gnome sway weston bare-x)
out='' keep=''
while [ $# -gt 0 ]; do
    case $1 in
    --out) out=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h | --help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) break ;;
    esac
done
[ $# -ge 1 ] || { echo "usage: $0 [--out FILE] [--keep] PINLARK_BINARY [DESKTOP...]" >&2; exit 2; }
pinlark=$(realpath "$1")
shift
[ -x "$pinlark" ] || { echo "no pinlark binary at $pinlark" >&2; exit 2; }
desktops=("$@")
[ ${#desktops[@]} -gt 0 ] || desktops=("${all[@]}")
session_seconds=${PINLARK_MATRIX_SECONDS:-120}

work=$(mktemp -d /tmp/pinlark-matrix.XXXXXX)
chmod 755 "$work"
# Whatever a session left running (it ends its own processes, unless it was killed).
end_leftovers() {
    local pid
    [ -f "$1/pids" ] || return 0
    while read -r pid; do
        kill -KILL "$pid" 2>/dev/null
    done <"$1/pids"
}
cleanup() {
    local d
    for d in "$work"/*/; do
        [ -d "$d" ] && end_leftovers "$d"
    done
    if [ -n "$keep" ]; then echo "sessions kept in $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

as_session_user=()
if [ "$(id -u)" = 0 ]; then
    as_session_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi

version() {
    case $1 in
    openbox) echo "openbox $(dpkg-query -W -f '${Version}' openbox 2>/dev/null) + tint2" ;;
    xfce) echo "Xfce: xfwm4 $(dpkg-query -W -f '${Version}' xfwm4 2>/dev/null) + xfce4-panel" ;;
    gnome-appindicator) echo "GNOME Shell $(dpkg-query -W -f '${Version}' gnome-shell 2>/dev/null) + AppIndicator" ;;
    gnome) echo "GNOME Shell $(dpkg-query -W -f '${Version}' gnome-shell 2>/dev/null), no extension" ;;
    sway) echo "sway $(dpkg-query -W -f '${Version}' sway 2>/dev/null) + swaybar" ;;
    weston) echo "weston $(dpkg-query -W -f '${Version}' weston 2>/dev/null)" ;;
    bare-x) echo "X (Xvfb) + tint2, no window manager" ;;
    *) echo "$1" ;;
    esac
}

# run_session DESKTOP PHASE: one independent, time-limited session; its folder holds the result.
run_session() {
    local d="$work/$1-$2"
    mkdir -p "$d"
    [ ${#as_session_user[@]} -eq 0 ] || chown 65534:65534 "$d"
    timeout -k 10 "$session_seconds" "${as_session_user[@]}" env -i PATH=/usr/local/bin:/usr/bin:/bin \
        HOME="$d" bash "$here/desktop-matrix/session.sh" "$1" "$2" "$pinlark" "$d/s" >"$d/run.log" 2>&1
    local status=$?
    end_leftovers "$d/s"
    [ $status -eq 0 ] || echo "error=session ended with status $status$([ $status -eq 124 ] && echo ' (time-out)')" >>"$d/s/result"
}

# What pinlark wrote to stderr besides its own lines, once each, shortened for a table cell.
warnings() {
    grep -hv '^Pinlark:' "$1" 2>/dev/null | sed 's/[|`]/ /g' | sort -u | head -n 3 | cut -c1-130 |
        paste -sd ';' | sed 's/;/; /g'
}

get() { sed -n "s/^$2=//p" "$1/s/result" 2>/dev/null | tail -n 1; }

# What the notice in the card offered, and what came of it.
shortcut_cell() {
    local s keys opens
    s=$(get "$1" shortcut) keys=$(get "$1" shortcut_keys) opens=$(get "$1" shortcut_opens)
    if [ -n "$keys" ]; then
        case $opens in
        yes) echo "set up $keys; opens Pinlark: yes" ;;
        no)
            if grep -q -- '--toggle' "$1/s/runs.log" 2>/dev/null; then
                echo "set ($keys), not acted on here: the desktop ran pinlark --toggle, yet the card did not open"
            else
                echo "set ($keys), not acted on here: the desktop did not run pinlark --toggle"
            fi ;;
        *) echo "set up $keys; ${opens:-error}" ;;
        esac
    else
        case $s in
        steps) echo "steps shown (bind pinlark --toggle by hand)" ;;
        "no notice") echo "no notice" ;;
        "") echo error ;;
        *) echo "$s" | sed 's/[|`]/ /g' | cut -c1-160 ;;
        esac
    fi
}

row() {
    local n="$work/$1-normal" l="$work/$1-late" err tray late popup alt reason toggle notif warn shortcut
    err=$(get "$n" error)
    [ -n "$err" ] || err=$(get "$l" error)
    tray=$(get "$n" tray) late=$(get "$l" late)
    popup=$(get "$n" popup) alt=$(get "$n" altspace)
    [ "$(get "$l" late_popup)" != yes ] || late+="; the popup opened by itself"
    [ -n "$tray" ] && [ "$tray" != no ] && tray="yes ($tray)"
    reason=$(grep -ho 'Alt+Space works only while Pinlark is open (.*)\. Bind' "$n/s/pinlark.log" 2>/dev/null |
        head -n 1 | sed 's/^Alt+Space works only while Pinlark is open (//; s/)\. Bind$//')
    [ "$alt" = not ] && alt="not${reason:+ ($reason)}"
    [ "$alt" = works ] && [ -n "$reason" ] && alt="works, yet printed ($reason)"
    toggle="opens: $(get "$n" toggle)"
    [ -n "$(get "$n" toggle)" ] || toggle=error
    [ "$(get "$n" toggle)" = yes ] && toggle+="; typed: $(get "$n" typed); Escape closes: $(get "$n" escape)"
    shortcut=$(shortcut_cell "$n")
    notif=$(/usr/bin/python3 "$here/desktop-matrix/notifications.py" "$n/s/notify-monitor.log" 2>/dev/null)
    warn=$(warnings "$n/s/pinlark.log")
    local late_warn
    late_warn=$(warnings "$l/s/pinlark.log")
    [ -z "$late_warn" ] || [ "$late_warn" = "$warn" ] || warn="${warn:-none}; with the tray late: $late_warn"
    [ -n "$warn" ] || warn=none
    if [ -n "$err" ]; then
        printf '| %s | error: %s | %s | %s | %s | %s | %s | %s | %s |\n' "$(version "$1")" "$err" \
            "${late:-error}" "${popup:-error}" "${alt:-error}" "$toggle" "${notif:-error}" "$shortcut" "$warn"
    else
        printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$(version "$1")" "$tray" "$late" \
            "$popup" "$alt" "$toggle" "$notif" "$shortcut" "$warn"
    fi
}

started=$SECONDS
for desktop in "${desktops[@]}"; do
    for phase in normal late; do
        echo "== $desktop ($phase)" >&2
        run_session "$desktop" "$phase"
    done
done

table=$(
    echo "Pinlark: $pinlark ($(sha256sum "$pinlark" | cut -c1-12)), $(date -u '+%Y-%m-%d %H:%M UTC'), $((SECONDS - started)) s"
    echo
    echo "| desktop | tray icon shown | tray started 3 s late | popup opened by itself | Alt+Space from another app | pinlark --toggle | notification naming Alt+Space | shortcut for --toggle | Qt warnings on stderr |"
    echo "|---|---|---|---|---|---|---|---|---|"
    for desktop in "${desktops[@]}"; do row "$desktop"; done
)
echo "$table"
[ -z "$out" ] || echo "$table" >"$out"
