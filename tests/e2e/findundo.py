#!/usr/bin/python3
"""Finds cards and takes deletes back in a running pinlark, as a person does: keys through
xdotool, what the card shows read over AT-SPI, what is kept read from notes.json.

Run by findundo.sh with the seeded stack SEED (a notes.json it wrote before the start).
Exits non-zero, saying what is wrong, when a find shows the wrong card or count, Escape
closes the popup instead of the find, typing while finding reaches a card, or a delete
taken back does not come back whole, with its id and times, in the file.
"""

import argparse
import json
import subprocess
import sys

import pyatspi

from accessibility import (EDITOR, Failure, PUSH_BUTTON, Node, Session, badge, press,
                           press_keys, print_tree, shown)

FIND = "Find"
UNDO = "Undo"
DELETED = "Card deleted"


def type_text(text):
    try:
        subprocess.run(["xdotool", "type", "--delay", "30", text], check=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as error:
        raise Failure(f"xdotool could not type {text!r}: {error}")


def showing(acc, name, role=PUSH_BUTTON):
    """The showing control of this name and role, found without reading the rest of the
    tree."""
    if acc is None:
        raise Failure(f"no showing {role} {name!r}")
    if acc.name == name and acc.getRoleName() == role and \
            acc.getState().contains(pyatspi.STATE_SHOWING):
        return Node(acc, 0)
    for index in range(acc.childCount):
        try:
            return showing(acc.getChildAtIndex(index), name, role)
        except Failure:
            continue
    raise Failure(f"no showing {role} {name!r}")


def editor_text(nodes):
    text = shown(nodes, EDITOR).acc.queryText()
    return text.getText(0, text.characterCount)


def expect_card(session, what, starts, position, finding):
    """The card whose text starts with `starts` shown at `position`, with the find field
    showing or not."""
    def check():
        nodes = session.tree()
        shown_text = editor_text(nodes)
        if not shown_text.startswith(starts):
            raise Failure(f"the card shows {shown_text!r}, expected one starting {starts!r}")
        if badge(nodes) != position:
            raise Failure(f"the badge says {badge(nodes)!r}, expected {position!r}")
        fields = [n for n in nodes if n.name == FIND and n.role == "text" and n.showing]
        if bool(fields) != finding:
            raise Failure("the find field is " + ("hidden" if finding else "still showing"))
        if finding and not fields[0].focused:
            raise Failure("the find field does not have the keyboard")
        return nodes

    nodes = session.poll(what, check, session.step_timeout)
    print(f"{what}: {position}, {starts!r}")
    return nodes


def same_cards(session, seed, what):
    def check():
        cards = session.cards()
        if cards != seed:
            raise Failure(f"the notes file holds {cards!r}")

    session.poll(what, check, session.step_timeout)
    print(f"notes.json: {what}")


def run(session, seed):
    session.app = session.poll("pinlark on the accessibility bus", session.find_app,
                               session.start_timeout)
    cafe, receipt = seed[1]["content"], seed[3]["content"]
    expect_card(session, "the first card at the start", seed[0]["content"], "1/4", False)

    press_keys("ctrl+f")
    type_text("cafe")
    # "café" and "CAFE" both hold it; the first of them is shown, the badge counts those found.
    expect_card(session, "the first card found", cafe, "1/2", True)
    press_keys("Return")
    expect_card(session, "Return: the next card found", receipt, "2/2", True)
    press_keys("shift+Return")
    expect_card(session, "Shift+Return: the previous card found", cafe, "1/2", True)
    type_text(" fri")
    expect_card(session, "a second word narrows", cafe, "1/1", True)
    press_keys("ctrl+a")
    type_text("nothing holds this")
    nodes = session.poll("'No match'", lambda: shown(session.tree(), "No match"),
                         session.step_timeout)
    press_keys("ctrl+a")
    type_text("receipt")
    expect_card(session, "a new query", receipt, "1/1", True)
    # Escape ends the find and leaves the card found: the popup stays.
    press_keys("Escape")
    expect_card(session, "Escape, then the whole stack", receipt, "4/4", False)
    same_cards(session, seed, "nothing typed into the find reached a card")

    # A delete is saved at once, and one press of Undo brings the card back whole. The
    # button is looked for straight away and by itself: the notice lasts five seconds, and
    # reading the whole tree can take a good part of that under the sanitizers.
    press_keys("ctrl+BackSpace")
    undo = session.poll("the Undo button", lambda: showing(session.app, UNDO),
                        session.step_timeout)
    same_cards(session, seed[:3], "the delete saved at once")
    press(undo)
    same_cards(session, seed, "Undo put the card back with its id and times")
    expect_card(session, "the card put back", receipt, "4/4", False)
    # And Ctrl+Z, while the card shown has no typing of its own to undo.
    press_keys("ctrl+BackSpace")
    session.poll("the Undo button again", lambda: showing(session.app, UNDO),
                 session.step_timeout)
    session.poll("the notice's text", lambda: showing(session.app, DELETED, "label"),
                 session.step_timeout)
    same_cards(session, seed[:3], "the second delete saved at once")
    press_keys("ctrl+z")
    same_cards(session, seed, "Ctrl+Z put the card back")

    def undo_gone():
        if any(n.name == UNDO and n.showing for n in session.tree()):
            raise Failure("the Undo button still shows")

    session.poll("the Undo notice gone", undo_gone, session.step_timeout)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--notes", required=True, help="the app's notes.json")
    parser.add_argument("--seed", required=True, help="the stack the app started with")
    parser.add_argument("--pid", required=True, type=int, help="the app's process id")
    parser.add_argument("--timeout", type=float, default=90, help="seconds to start")
    parser.add_argument("--step-timeout", type=float, default=30, help="seconds per step")
    args = parser.parse_args()
    with open(args.seed, encoding="utf-8") as f:
        seed = json.load(f)
    session = Session(args)
    try:
        run(session, seed)
    except Failure as failure:
        if session.nodes:
            print_tree("tree as last read", session.nodes)
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
