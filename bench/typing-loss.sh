#!/usr/bin/env bash
# How much typing a kill -9 loses: the real pinlark on a virtual display is typed into by
# xdotool at several rhythms and killed, then its notes file is read back. The loss of a
# round is the typing that was pressed but is not on disk, in seconds: from the first such
# key to the kill.
#
#   bench/typing-loss.sh [RANDOM_KILLS] [STEADY_KILLS]    (defaults 8 and 3 per rhythm)
#
# Two kinds of round, for every rhythm:
#   steady then kill: keys for 6 s, killed right after the last one;
#   random kill:      killed at a random moment from 1 s to 7 s into the typing.
# Prints, per rhythm, the worst loss after steady typing and the median and worst loss of
# the random kills, and checks that every file read back is whole and holds a prefix of what
# was typed. Builds Release in PINLARK_BENCH_BUILD_DIR (default build-bench). Needs what
# ./dev deps installs (Xvfb, xdotool, python3).
set -euo pipefail

source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${PINLARK_BENCH_BUILD_DIR:-${source_dir}/build-bench}"
random_kills="${1:-8}"
steady_kills="${2:-3}"

cmake -S "${source_dir}" -B "${build_dir}" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPINLARK_BUILD_TESTS=OFF -DPINLARK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "${build_dir}" --target pinlark -j"$(nproc)" >/dev/null

E2E_NAME=typing_loss
# shellcheck source=../tests/e2e/desktop.sh
source "${source_dir}/tests/e2e/desktop.sh"
e2e_require Xvfb xdotool /usr/bin/python3
e2e_begin "${build_dir}/src/app/pinlark" "${build_dir}/bench"
e2e_start_display >/dev/null
e2e_start_session_bus

/usr/bin/python3 - "$E2E_PINLARK" "$E2E_NOTES" "$E2E_LOG" "$random_kills" "$steady_kills" <<'PY'
import json
import os
import random
import signal
import statistics
import subprocess
import sys
import time

pinlark, notes, log_path, random_kills, steady_kills = sys.argv[1:6]
random_kills, steady_kills = int(random_kills), int(steady_kills)
random.seed(20261210)

# A rhythm is a shell command that types the text in pieces, logging when each piece
# begins, so the moment of every key is known: a piece's start, then one key's time per key
# (xdotool presses a key, waits half its --delay, releases it and goes on: a key takes half
# the delay, measured here). Keys and pauses under 0.4 s apart never let the debounce fire
# on its own. Steady typing is one xdotool for the whole text; the other rhythms one a word,
# with a pause after it. (One xdotool fed a whole script, "xdotool -", dropped keys here at
# the start of its commands.)
WORDS = [f"word{i % 10} " for i in range(600)]
TEXT = "".join(WORDS)
KEY_LOG = os.path.join(os.path.dirname(log_path), "typing-loss-words.log")

def steady(keys_per_second):
    delay_ms = round(2000 / keys_per_second)
    command = f'date +%s.%N >>"$0"; exec xdotool type --delay {delay_ms} "{TEXT}"'
    return ["bash", "-c", command, KEY_LOG], 1 / keys_per_second, [TEXT]

def words(pauses):
    # 30 ms a key within a word.
    loop = " ".join(f'date +%s.%N >>"$0"; xdotool type --delay 60 "{w}"; sleep {p};'
                    for w, p in zip(WORDS, pauses))
    return ["bash", "-c", loop, KEY_LOG], 0.030, WORDS

# A person: a word at a time, and between words a pause drawn from short to long, now and
# then one longer than the debounce.
def natural():
    choices = [0.05, 0.1, 0.15, 0.2, 0.25, 0.3, 0.5, 0.8, 1.2]
    return words([random.choice(choices) for _ in WORDS])

RHYTHMS = [
    ("steady, 3 keys/s", steady(3)),
    ("steady, 11 keys/s", steady(11)),
    ("steady, 25 keys/s", steady(25)),
    ("bursts of a word, 0.35 s apart", words([0.35] * len(WORDS))),
    ("words with natural pauses", natural()),
]

def key_times(delay_s, pieces):
    with open(KEY_LOG) as f:
        starts = [float(line) for line in f if line.strip()]
    times = []
    for start, piece in zip(starts, pieces):
        times += [start + k * delay_s for k in range(len(piece))]
    return times

def fresh_notes():
    os.makedirs(os.path.dirname(notes), exist_ok=True)
    card = {"id": "card_BENCH001", "content": "", "color": "mint", "pinned": False,
            "createdAt": "2025-01-01T00:00:00.000Z", "updatedAt": "2025-01-01T00:00:00.000Z"}
    with open(notes, "w", encoding="utf-8") as f:
        json.dump([card], f)

def xdotool(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.strip()

def start_pinlark():
    fresh_notes()
    log = open(log_path, "a")
    process = subprocess.Popen([pinlark, "--toggle"], stdout=log, stderr=log)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        window = xdotool("search", "--onlyvisible", "--name", "^Pinlark$").split("\n")[0]
        if window and xdotool("getwindowfocus") == window:
            time.sleep(0.3)  # the editor has the keyboard, not just the window
            return process
        if process.poll() is not None:
            sys.exit(f"pinlark exited while starting (status {process.returncode})")
        time.sleep(0.05)
    process.kill()
    sys.exit("pinlark showed no window with the keyboard within 60 s")

def read_back(expected_text):
    with open(notes, encoding="utf-8") as f:
        cards = json.load(f)  # a torn file fails here
    card = next(c for c in cards if c["id"] == "card_BENCH001")
    if not expected_text.startswith(card["content"]):
        sys.exit(f"the saved text is not a prefix of what was typed: {card['content'][:80]!r}")
    return card["content"]

def stop_typing(typist):
    os.killpg(typist.pid, signal.SIGKILL)
    typist.wait()
    # Killed between a key's press and its release, xdotool leaves that key down: the next
    # round's first press of it would be no press at all, and auto-repeat would type it.
    keys = sorted({c for c in TEXT if c != " "}) + ["space"]
    subprocess.run(["xdotool", "keyup", *keys], capture_output=True)

# The typing a kill lost, in seconds: from the first key pressed but not on disk to the kill;
# nothing when every key pressed before the kill was saved.
def round_trip(rhythm, kill_after=None, type_for=None):
    command, delay_s, pieces = rhythm
    process = start_pinlark()
    open(KEY_LOG, "w").close()
    typist = subprocess.Popen(command, start_new_session=True)
    time.sleep(kill_after if kill_after is not None else type_for)
    if kill_after is None:
        stop_typing(typist)  # the typing stops; the kill follows at once
    killed_at = time.time()
    process.send_signal(signal.SIGKILL)
    process.wait()
    if kill_after is not None:
        stop_typing(typist)
    saved = len(read_back(TEXT))
    pressed = [t for t in key_times(delay_s, pieces) if t < killed_at]
    return killed_at - pressed[saved] if saved < len(pressed) else 0.0

print(f"{random_kills} random kills and {steady_kills} kills after steady typing per rhythm")
rows = []
for name, rhythm in RHYTHMS:
    steady_losses = [round_trip(rhythm, type_for=6.0) for _ in range(steady_kills)]
    random_losses = [round_trip(rhythm, kill_after=random.uniform(1.0, 7.0))
                     for _ in range(random_kills)]
    rows.append((name, steady_losses, random_losses))
    print(f"{name}: steady then kill, worst {max(steady_losses):.2f} s "
          f"({', '.join(f'{x:.2f}' for x in steady_losses)}); random kills, median "
          f"{statistics.median(random_losses):.2f} s, worst {max(random_losses):.2f} s",
          flush=True)

every_random = [x for _, _, losses in rows for x in losses]
every_steady = [x for _, losses, _ in rows for x in losses]
print(f"all rhythms: steady then kill, worst {max(every_steady):.2f} s; random kills "
      f"({len(every_random)}), median {statistics.median(every_random):.2f} s, "
      f"worst {max(every_random):.2f} s")
PY
