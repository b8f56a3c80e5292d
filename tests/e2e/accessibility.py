#!/usr/bin/python3
"""Reads and drives a running pinlark over AT-SPI, as assistive technology does.

Run by accessibility.sh, with the accessibility bus up and the app started with
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1. Prints the tree of roles and names it finds, and exits
non-zero, saying what is wrong, when a control a person needs is missing, misnamed, in the
wrong state or does not act. Keys go in through xdotool on the test's display. It also
listens to the events a screen reader hears, to check what it would say when Vault Sync
opens, and presses every button through its default action, as voice control does.
"""

import argparse
import json
import re
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

PUSH_BUTTON = "push button"
# A checkable button: Qt announces it as a check box; a toggle button would do as well.
CHECKABLE = ("check box", "toggle button")
COLOURS = ("yellow", "mint", "lavender", "peach", "sky")
PLAIN_BUTTONS = ("New", "Copy", "Todo", "Previous card", "Next card", "Actions")
DELETE = "Delete this card (Ctrl+Backspace)"
EDITOR = "Card text"
WORD_COUNT = re.compile(r"^\d+ words?$")
TYPED = "typed via at-spi"
SYNC_GROUP = "Vault Sync"
PASSPORT_FIELD = "Passport code"
PASSPORT_CODE = re.compile(r"^PLK-[A-Z0-9]{6}$")
SYNC_BUTTONS = ("Copy Code", "Close", "Sync Now")
SYNC_ERROR = "Sync error: "
TOAST = "\u2713 Copied to clipboard"
CHECKLIST_ITEM = "- [ ] "
TAGGED = "tagged #alpha"
TAG = "#alpha"
# The default action of a control (index 0) is what a screen reader or voice control runs
# to "press" it; for every button of Pinlark it must do what a click does.
PRESS = "Press"


class Failure(Exception):
    pass


class EventLog:
    """The focus, showing, caret and text events of the app, in the order they arrive.

    A screen reader takes a caret event of a focused field as the field being announced, so
    a caret or text event ahead of the field's focus event makes it say nothing at all."""

    TYPES = ("object:state-changed:focused", "object:state-changed:showing",
             "object:text-caret-moved", "object:text-changed", "focus:")

    def __init__(self):
        self.events = []
        pyatspi.Registry.registerEventListener(self.heard, *self.TYPES)

    def heard(self, event):
        try:
            role, name = event.source.getRoleName(), event.source.name or ""
        except Exception:  # gone already
            role, name = "?", "?"
        self.events.append((event.type, role, name, event.detail1))

    def take(self):
        """Every event that has arrived so far, then forgets them."""
        context = GLib.MainContext.default()
        while context.iteration(False):
            pass
        events, self.events = self.events, []
        return events


class Node:
    """One accessible object as it was when the tree was read."""

    def __init__(self, acc, depth):
        states = acc.getState()
        self.acc = acc
        self.depth = depth
        self.role = acc.getRoleName()
        self.name = acc.name or ""
        self.showing = states.contains(pyatspi.STATE_SHOWING)
        self.sensitive = states.contains(pyatspi.STATE_SENSITIVE)
        self.checked = states.contains(pyatspi.STATE_CHECKED)
        self.focused = states.contains(pyatspi.STATE_FOCUSED)

    def __str__(self):
        flags = [
            flag
            for flag, on in (
                ("hidden", not self.showing),
                ("disabled", not self.sensitive),
                ("checked", self.checked),
                ("focused", self.focused),
            )
            if on
        ]
        return f"{'  ' * self.depth}[{self.role}] {self.name!r}" + "".join(
            f" {flag}" for flag in flags
        )


def read_tree(app):
    nodes = []

    def visit(acc, depth):
        nodes.append(Node(acc, depth))
        for index in range(acc.childCount):
            child = acc.getChildAtIndex(index)
            if child is not None:
                visit(child, depth + 1)

    visit(app, 0)
    return nodes


def print_tree(title, nodes):
    print(f"--- {title} ---")
    for node in nodes:
        print(node)
    sys.stdout.flush()


def process_alive(pid):
    try:
        with open(f"/proc/{pid}/stat", encoding="utf-8") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class Session:
    def __init__(self, args):
        self.notes = args.notes
        self.pid = args.pid
        self.start_timeout = args.timeout
        self.step_timeout = args.step_timeout
        self.app = None
        self.nodes = []
        self.log = None
        self.heard = []

    def poll(self, what, check, timeout):
        """Returns what check() returns, once it stops raising; fails after timeout."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                return check()
            except Failure as failure:
                reason = str(failure)
            except Exception as error:  # an object that went away while being read
                reason = f"{type(error).__name__}: {error}"
            if not process_alive(self.pid):
                raise Failure(f"pinlark exited while waiting for {what} ({reason})")
            if time.monotonic() > deadline:
                raise Failure(f"no {what} within {timeout}s: {reason}")
            time.sleep(0.1)

    def find_app(self):
        desktop = pyatspi.Registry.getDesktop(0)
        names = []
        for index in range(desktop.childCount):
            app = desktop.getChildAtIndex(index)
            if app is None:
                continue
            names.append(app.name)
            if app.name.lower() == "pinlark":
                return app
        raise Failure(f"applications on the bus: {names!r}")

    def tree(self):
        self.nodes = read_tree(self.app)
        return self.nodes

    def cards(self):
        try:
            with open(self.notes, encoding="utf-8") as f:
                cards = json.load(f)
        except (OSError, ValueError) as error:
            raise Failure(f"cannot read {self.notes}: {error}")
        if not isinstance(cards, list) or not all(isinstance(c, dict) for c in cards):
            raise Failure(f"not a list of card objects: {cards!r}")
        return cards


def shown(nodes, name):
    """The one showing control with this name."""
    found = [n for n in nodes if n.name == name and n.showing]
    if len(found) != 1:
        raise Failure(f"expected one showing control named {name!r}, found {len(found)}")
    return found[0]


def expect_role(node, roles):
    if node.role not in roles:
        raise Failure(f"{node.name!r} is announced as {node.role!r}, expected one of {roles}")


def word_count(nodes):
    found = [n for n in nodes if n.showing and n.role == "label" and WORD_COUNT.match(n.name)]
    if len(found) != 1:
        raise Failure(f"expected one showing word count label, found {len(found)}")
    return found[0]


def check_card_controls(nodes, pinned, colour, can_go_back, words=None):
    """What every card shows: the controls a person needs, by name, role and state."""
    for name in PLAIN_BUTTONS:
        expect_role(shown(nodes, name), (PUSH_BUTTON,))
    back, forward = shown(nodes, "Previous card"), shown(nodes, "Next card")
    if back.sensitive != can_go_back:
        raise Failure(f"'Previous card' is {'enabled' if back.sensitive else 'disabled'}")
    if forward.sensitive:
        raise Failure("'Next card' is enabled on the last card")

    pin = shown(nodes, "Unpin card" if pinned else "Pin card to front")
    expect_role(pin, (PUSH_BUTTON,))

    dots = [shown(nodes, key) for key in COLOURS]
    for dot in dots:
        expect_role(dot, CHECKABLE)
    checked = [dot.name for dot in dots if dot.checked]
    if checked != [colour]:
        raise Failure(f"checked colours {checked!r}, the card is {colour!r}")

    editor = shown(nodes, EDITOR)
    expect_role(editor, ("text",))
    if not editor.focused:
        raise Failure("the card text does not have the keyboard focus")

    count = word_count(nodes)
    if words is not None and count.name != words:
        raise Failure(f"word count says {count.name!r}, expected {words!r}")
    return editor


def press_keys(keys):
    """Types a key chord on the display, as a person at the keyboard would."""
    try:
        subprocess.run(["xdotool", "key", "--clearmodifiers", keys], check=True, timeout=30)
    except (OSError, subprocess.SubprocessError) as error:
        raise Failure(f"xdotool could not press {keys}: {error}")


def press(node):
    """Runs the control's default action, as assistive technology presses a button."""
    action = node.acc.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    if not names or names[0] != PRESS:
        raise Failure(f"{node.name!r} offers the actions {names!r}; the first must be {PRESS!r}")
    if not action.doAction(0):
        raise Failure(f"pressing {node.name!r} was refused")


def badge(nodes):
    found = [n for n in nodes if n.showing and n.role == "label"
             and re.match(r"^\d+/\d+$", n.name)]
    if len(found) != 1:
        raise Failure(f"expected one showing position badge, found {len(found)}")
    return found[0].name


def listen(session):
    """Starts hearing the app's events, once the app is known to send them: it sends only
    what someone listens to, and learns of a new listener a moment later."""
    session.log = EventLog()
    editor = shown(session.tree(), EDITOR).acc.queryText()
    offsets = [0, 1]

    def caret_heard():
        offsets.reverse()
        editor.setCaretOffset(offsets[0])
        if not any(e[0] == "object:text-caret-moved" and e[2] == EDITOR
                   for e in session.log.take()):
            raise Failure("no caret event of the card text")

    session.poll("events from the app", caret_heard, session.step_timeout)


def check_field_announced(session, how):
    """After the panel opens: the passport field gets the focus once the panel is showing,
    and no caret or text event of the field comes before that focus."""
    heard = session.heard

    def focus_heard():
        heard.extend(session.log.take())
        for index, event in enumerate(heard):
            if event == ("object:state-changed:focused", "text", PASSPORT_FIELD, 1):
                return index
        raise Failure(f"no focus event of {PASSPORT_FIELD!r}")

    focus = session.poll(f"focus event of the passport field after {how}", focus_heard,
                         session.step_timeout)
    before = heard[:focus]
    print(f"events after {how}, up to the field's focus:")
    for event in heard[:focus + 1]:
        print(f"  {event}")
    if not any(e[0] == "object:state-changed:showing" and e[2] == SYNC_GROUP
               and e[1] != "label" and e[3] == 1 for e in before):
        raise Failure(f"{PASSPORT_FIELD!r} got the focus before {SYNC_GROUP!r} was showing")
    early = [e for e in before if e[2] == PASSPORT_FIELD
             and e[0].startswith(("object:text-caret-moved", "object:text-changed"))]
    if early:
        raise Failure(f"{early[0][0]} of {PASSPORT_FIELD!r} came before its focus event, so "
                      "a screen reader would not announce the field")
    heard.clear()


def sync_group(nodes):
    """The panel card of Vault Sync; its title label bears the same name."""
    found = [n for n in nodes if n.name == SYNC_GROUP and n.showing and n.role != "label"]
    if len(found) != 1:
        raise Failure(f"expected one showing group named {SYNC_GROUP!r}, found {len(found)}")
    return found[0]


def status_lines(nodes):
    return [n for n in nodes if n.showing and n.role == "label" and n.name.startswith("Sync")
            and n.name not in SYNC_BUTTONS]


def check_sync_panel(session):
    """Vault Sync over the card: Ctrl+S opens it, Sync Now reports through the status line
    (the app was started with a Vault that nothing answers at), Escape leaves it."""
    cards_before = session.cards()
    listen(session)
    session.heard = []
    press_keys("ctrl+s")

    def panel_shown():
        nodes = session.tree()
        sync_group(nodes)
        field = shown(nodes, PASSPORT_FIELD)
        expect_role(field, ("text",))
        if not field.focused:
            raise Failure(f"{PASSPORT_FIELD!r} does not have the keyboard focus")
        code = field.acc.queryText().getText(0, -1)
        if not PASSPORT_CODE.match(code):
            raise Failure(f"{PASSPORT_FIELD!r} reads {code!r}, not a passport code")
        for name in SYNC_BUTTONS:
            button = shown(nodes, name)
            expect_role(button, (PUSH_BUTTON,))
            if not button.sensitive:
                raise Failure(f"{name!r} is disabled before any sync")
        if status_lines(nodes):
            raise Failure(f"a status line shows before any sync: {status_lines(nodes)[0].name!r}")
        return nodes

    nodes = session.poll("Vault Sync panel after Ctrl+S", panel_shown, session.step_timeout)
    check_field_announced(session, "Ctrl+S")
    print_tree("tree with Vault Sync open", nodes)
    print(f"Vault Sync is announced as {sync_group(nodes).role!r}")

    press(shown(nodes, "Sync Now"))

    def sync_failed():
        nodes = session.tree()
        lines = status_lines(nodes)
        if len(lines) != 1 or not lines[0].name.startswith(SYNC_ERROR):
            raise Failure(f"status lines {[n.name for n in lines]!r}, expected one sync error")
        for name in (PASSPORT_FIELD, "Sync Now"):
            if not shown(nodes, name).sensitive:
                raise Failure(f"{name!r} is still disabled after the sync ended")
        return lines[0]

    status = session.poll("sync error in the status line", sync_failed, session.step_timeout)
    print(f"the status line reads {status.name!r}")
    if session.cards() != cards_before:
        raise Failure("a failed sync changed the notes file")

    press_keys("Escape")

    def panel_gone():
        nodes = session.tree()
        panel_names = (SYNC_GROUP, PASSPORT_FIELD) + SYNC_BUTTONS
        left = [n.name for n in nodes if n.showing and n.name in panel_names]
        if left:
            raise Failure(f"still showing after Escape: {left!r}")
        if not shown(nodes, EDITOR).focused:
            raise Failure("the card text did not get the keyboard back after Escape")
        shown(nodes, "New")
        return nodes

    session.poll("card again after Escape", panel_gone, session.step_timeout)
    print("Escape closed Vault Sync and gave the keyboard back to the card text")


def check_default_actions(session, welcome_text):
    """Every button of the card pressed through its default action, as voice control or a
    screen reader presses it, does what a click does. On entry the second card, unpinned
    and holding TYPED, is shown."""
    nodes = session.tree()
    added_id = next(c["id"] for c in session.cards() if c.get("content") == TYPED)

    def added():
        return next(c for c in session.cards() if c.get("id") == added_id)

    def until(what, check):
        return session.poll(what, lambda: check(session.tree()), session.step_timeout)

    press(shown(nodes, "Todo"))

    def checklist_saved():
        content = added().get("content")
        if content != TYPED + "\n" + CHECKLIST_ITEM:
            raise Failure(f"the card holds {content!r} after 'Todo'")

    session.poll("checklist item in the notes file", checklist_saved, session.step_timeout)

    # A tag, so that there are chips to press.
    if not shown(nodes, EDITOR).acc.queryEditableText().setTextContents(TAGGED):
        raise Failure("setting the card text was refused")

    def chips(nodes, selected):
        for name in ("All (2)", TAG):
            chip = shown(nodes, name)
            expect_role(chip, CHECKABLE)
            if chip.checked != (name == selected):
                raise Failure(f"chip {name!r} is {'' if chip.checked else 'not '}checked")
        return nodes

    nodes = until("tag chips", lambda nodes: chips(nodes, "All (2)"))
    print_tree("tree with a tag", nodes)

    # The tag's chip filters the stack to the one card that has it, and "All" lifts it.
    for chip, position in ((TAG, "1/1"), ("All (2)", "2/2")):
        press(shown(session.tree(), chip))

        def filtered(nodes, chip=chip, position=position):
            chips(nodes, chip)
            if badge(nodes) != position:
                raise Failure(f"the badge reads {badge(nodes)!r}, expected {position!r}")

        until(f"the stack filtered by chip {chip!r}", filtered)
    print("the chips filter the stack")

    # A colour dot recolours the card.
    colour = next(key for key in COLOURS if key != added().get("color"))
    press(shown(session.tree(), colour))

    def recoloured():
        if added().get("color") != colour:
            raise Failure(f"the card is {added().get('color')!r}, expected {colour!r}")
        dots = [shown(session.tree(), key) for key in COLOURS]
        if [dot.name for dot in dots if dot.checked] != [colour]:
            raise Failure(f"the checked colours are not just {colour!r}")

    session.poll(f"the card recoloured {colour}", recoloured, session.step_timeout)
    print(f"the {colour!r} dot recoloured the card")

    # The arrows step through the stack.
    for arrow, position, text in (("Previous card", "1/2", welcome_text),
                                  ("Next card", "2/2", TAGGED)):
        press(shown(session.tree(), arrow))

        def stepped(nodes, position=position, text=text):
            if badge(nodes) != position:
                raise Failure(f"the badge reads {badge(nodes)!r}, expected {position!r}")
            shown_text = shown(nodes, EDITOR).acc.queryText().getText(0, -1)
            if shown_text != text:
                raise Failure(f"the editor shows {shown_text!r}")

        until(f"card {position} after {arrow!r}", stepped)
    print("the arrows step through the stack")

    press(shown(session.tree(), "Pin card to front"))

    def pinned(nodes):
        if added().get("pinned") is not True:
            raise Failure("the card is not pinned in the notes file")
        shown(nodes, "Unpin card")

    until("the card pinned", pinned)
    print("the pin button pinned the card")

    press(shown(session.tree(), "Copy"))
    until("the copy notice", lambda nodes: shown(nodes, TOAST))
    print("Copy showed its notice")

    # New adds a card, and delete takes it away again.
    cards = session.cards()
    press(shown(session.tree(), "New"))

    def three_cards():
        if len(session.cards()) != 3:
            raise Failure(f"{len(session.cards())} cards after 'New'")

    session.poll("a third card", three_cards, session.step_timeout)
    until("the new card shown", lambda nodes: shown(nodes, "3/3"))
    press(shown(session.tree(), DELETE))

    def deleted():
        if session.cards() != cards:
            raise Failure(f"expected the cards as before 'New': {session.cards()!r}")

    session.poll("the new card deleted", deleted, session.step_timeout)
    print("New added a card and delete deleted it")


def check_sync_panel_from_menu(session):
    """The actions button opens the menu, whose first item opens Vault Sync; Copy Code
    copies the field and Close closes the panel."""
    session.heard = []
    press(shown(session.tree(), "Actions"))

    def menu_open():
        session.heard.extend(session.log.take())
        if ("object:state-changed:showing", "popup menu", "Actions", 1) not in session.heard:
            raise Failure("the actions menu did not open")

    session.poll("the actions menu", menu_open, session.step_timeout)
    session.heard = []
    press_keys("Down")
    press_keys("Return")
    check_field_announced(session, "the menu's Vault Sync")

    nodes = session.tree()
    field = shown(nodes, PASSPORT_FIELD)
    code = field.acc.queryText().getText(0, -1)
    press(shown(nodes, "Copy Code"))
    if not field.acc.queryEditableText().setTextContents(""):
        raise Failure(f"clearing {PASSPORT_FIELD!r} was refused")
    press_keys("ctrl+v")

    def pasted():
        text = shown(session.tree(), PASSPORT_FIELD).acc.queryText().getText(0, -1)
        if text != code:
            raise Failure(f"pasting after 'Copy Code' gave {text!r}, expected {code!r}")

    session.poll("the copied code pasted back", pasted, session.step_timeout)
    print("Copy Code copied the field")

    press(shown(session.tree(), "Close"))

    def closed(nodes):
        if any(n.showing and n.name == PASSPORT_FIELD for n in nodes):
            raise Failure("Vault Sync still shows after 'Close'")
        if not shown(nodes, EDITOR).focused:
            raise Failure("the card text did not get the keyboard back after 'Close'")

    session.poll("Vault Sync closed", lambda: closed(session.tree()), session.step_timeout)
    print("Close closed Vault Sync")


def run(session):
    session.app = session.poll("pinlark on the accessibility bus", session.find_app,
                               session.start_timeout)
    print(f"Found application {session.app.name!r}")

    # The welcome card: pinned, yellow, the only card, so no way back and nothing to delete.
    def welcome_shown():
        nodes = session.tree()
        check_card_controls(nodes, pinned=True, colour="yellow", can_go_back=False)
        if any(n.name == DELETE and n.showing for n in nodes):
            raise Failure(f"{DELETE!r} is offered with a single card")
        return nodes

    nodes = session.poll("welcome card controls", welcome_shown, session.start_timeout)
    print_tree("tree of the welcome card", nodes)
    roles = {n.name: n.role for n in nodes}
    print(f"colour dots are announced as {roles['yellow']!r}, the pin button as "
          f"{roles['Unpin card']!r}")

    welcome_text = shown(nodes, EDITOR).acc.queryText().getText(0, -1)
    if not welcome_text:
        raise Failure("the editor reads back no text on the welcome card")
    press(shown(nodes, "New"))

    def new_card_saved():
        cards = session.cards()
        if len(cards) != 2:
            raise Failure(f"expected 2 cards after 'New', found {len(cards)}")
        welcome = [c for c in cards if c.get("content") == welcome_text]
        added = [c for c in cards if c.get("content") == ""]
        if len(welcome) != 1 or len(added) != 1:
            raise Failure(f"expected the welcome card as shown and an empty one: {cards!r}")
        if welcome[0].get("pinned") is not True or added[0].get("pinned") is True:
            raise Failure(f"expected the welcome card pinned and the new one not: {cards!r}")
        return welcome[0], added[0]

    welcome, added = session.poll("new card in the notes file", new_card_saved,
                                  session.step_timeout)

    def new_card_shown():
        nodes = session.tree()
        editor = check_card_controls(nodes, pinned=False, colour=added.get("color"),
                                     can_go_back=True, words="0 words")
        expect_role(shown(nodes, DELETE), (PUSH_BUTTON,))
        text = editor.acc.queryText().getText(0, -1)
        if text != "":
            raise Failure(f"the editor shows {text!r} on the new card")
        return nodes

    nodes = session.poll("controls of the new card", new_card_shown, session.step_timeout)
    print_tree("tree after pressing 'New'", nodes)

    editor = shown(nodes, EDITOR)
    if not editor.acc.queryEditableText().setTextContents(TYPED):
        raise Failure("setting the card text was refused")

    def text_saved():
        cards = session.cards()
        if len(cards) != 2 or welcome not in cards:
            raise Failure(f"expected the welcome card and one more: {cards!r}")
        edited = next(c for c in cards if c != welcome)
        if edited.get("id") != added.get("id") or edited.get("content") != TYPED:
            raise Failure(f"expected card {added.get('id')} to hold {TYPED!r}: {edited!r}")

    session.poll("typed text in the notes file", text_saved, session.step_timeout)

    def text_shown():
        nodes = session.tree()
        text = shown(nodes, EDITOR).acc.queryText().getText(0, -1)
        if text != TYPED:
            raise Failure(f"the editor reads back {text!r}")
        count = word_count(nodes)
        if count.name != "3 words":
            raise Failure(f"word count says {count.name!r}, expected '3 words'")

    session.poll("typed text in the editor and its word count", text_shown,
                 session.step_timeout)
    print(f"'New' added a card and {TYPED!r} reached it and the notes file")

    check_sync_panel(session)
    check_default_actions(session, welcome_text)
    check_sync_panel_from_menu(session)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--notes", required=True, help="the app's notes.json")
    parser.add_argument("--pid", required=True, type=int, help="the app's process id")
    parser.add_argument("--timeout", type=float, default=90, help="seconds to start")
    parser.add_argument("--step-timeout", type=float, default=30, help="seconds per step")
    session = Session(parser.parse_args())
    try:
        run(session)
    except Failure as failure:
        if session.nodes:
            print_tree("tree as last read", session.nodes)
        print(f"FAIL: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
