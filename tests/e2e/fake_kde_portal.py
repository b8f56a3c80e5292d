#!/usr/bin/python3
"""A desktop portal with GlobalShortcuts that answers as KDE Plasma 5.27's backend does.

    fake_kde_portal.py STORE [--taken KEY]...

Owns org.freedesktop.portal.Desktop on the session bus. Like KDE's 5.27 backend it registers
only the shortcuts given in CreateSession's options["shortcuts"], in a component named after the
session_handle_token, and BindShortcuts answers with that component's shortcuts whatever it was
asked for. The components and their keys are kept in STORE (JSON), as kglobalaccel keeps them in
kglobalshortcutsrc, so a key survives a restart of the app only when the app comes back under the
same token. A preferred key listed with --taken (held by another program, as KRunner holds
Alt+Space) is not given: the shortcut is registered without a key.

For the test it also serves org.pinlark.test.FakePortal on /org/pinlark/test:
    Press(s shortcut_id) -> i   emits Activated on every live session whose component gives
                                the shortcut a key, as a real key press would; returns how many
    Components() -> s           STORE's contents, as JSON
Prints one line per call it answers on stdout.
"""

import json
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

PORTAL_PATH = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
REQUEST = "org.freedesktop.portal.Request"
SESSION = "org.freedesktop.portal.Session"

MODIFIERS = {"CTRL": "Ctrl", "ALT": "Alt", "SHIFT": "Shift", "LOGO": "Meta", "NUM": "Num"}


def key_text(trigger):
    """'CTRL+ALT+space' in the portal's notation, as Qt's QKeySequence writes it."""
    parts = [p for p in str(trigger).split("+") if p]
    if not parts:
        return ""
    mods = [MODIFIERS.get(p.upper(), p) for p in parts[:-1]]
    key = parts[-1]
    key = key[:1].upper() + key[1:]
    return "+".join(mods + [key])


def log(*words):
    print(*words, flush=True)


class Portal(dbus.service.FallbackObject):
    def __init__(self, bus, store, taken):
        super().__init__(bus, PORTAL_PATH)
        self.bus = bus
        self.store_path = store
        self.taken = set(taken)
        self.sessions = {}  # session path -> component name
        self.components = {}
        if os.path.exists(store):
            with open(store, encoding="utf-8") as f:
                self.components = json.load(f)

    def save(self):
        with open(self.store_path, "w", encoding="utf-8") as f:
            json.dump(self.components, f)

    @staticmethod
    def element(sender):
        return sender[1:].replace(".", "_")

    def respond(self, request, code, results):
        # Sent from the idle loop, after the method's reply has gone out, as portals do.
        def send():
            self.Response(code, results, rel_path=request[len(PORTAL_PATH):])
            return False

        GLib.idle_add(send)

    @dbus.service.signal(REQUEST, signature="ua{sv}", rel_path_keyword="rel_path")
    def Response(self, code, results, rel_path=None):
        pass

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}", rel_path_keyword="rel_path")
    def Activated(self, session, shortcut, timestamp, options, rel_path=None):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v",
                         rel_path_keyword="rel_path")
    def Get(self, interface, prop, rel_path=None):
        if interface == SHORTCUTS and prop == "version":
            return dbus.UInt32(1, variant_level=1)
        raise dbus.exceptions.DBusException("no such property",
                                            name="org.freedesktop.DBus.Error.InvalidArgs")

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender", rel_path_keyword="rel_path")
    def CreateSession(self, options, sender=None, rel_path=None):
        who = self.element(sender)
        request = f"{PORTAL_PATH}/request/{who}/{options['handle_token']}"
        token = str(options["session_handle_token"])
        session = f"{PORTAL_PATH}/session/{who}/{token}"
        name = token  # app_id (empty for a host app) + token
        component = self.components.setdefault(name, {})
        for shortcut_id, props in options.get("shortcuts", []):
            shortcut_id = str(shortcut_id)
            if shortcut_id in component:
                continue  # kglobalaccel keeps the key it has
            preferred = key_text(props.get("preferred_trigger", ""))
            component[shortcut_id] = {
                "description": str(props.get("description", "")),
                "key": "" if preferred in self.taken else preferred,
            }
        self.save()
        self.sessions[session] = name
        log("CreateSession", name, json.dumps(component))
        self.respond(request, 0, {"session_handle": session})
        return dbus.ObjectPath(request)

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o",
                         sender_keyword="sender", rel_path_keyword="rel_path")
    def BindShortcuts(self, session, shortcuts, parent, options, sender=None, rel_path=None):
        request = f"{PORTAL_PATH}/request/{self.element(sender)}/{options['handle_token']}"
        component = self.components.get(self.sessions.get(str(session), ""), {})
        listed = dbus.Array(
            [dbus.Struct((sid, {"description": s["description"],
                                "trigger_description": s["key"]}), signature="sa{sv}")
             for sid, s in component.items()], signature="(sa{sv})")
        log("BindShortcuts", str(session), json.dumps(component))
        self.respond(request, 0, {"shortcuts": listed})
        return dbus.ObjectPath(request)

    @dbus.service.method(SESSION, in_signature="", out_signature="",
                         rel_path_keyword="rel_path")
    def Close(self, rel_path=None):
        self.sessions.pop(PORTAL_PATH + rel_path, None)
        log("Close", rel_path)

    def press(self, shortcut_id):
        pressed = 0
        for session, name in self.sessions.items():
            if self.components.get(name, {}).get(shortcut_id, {}).get("key"):
                self.Activated(dbus.ObjectPath(session), shortcut_id, dbus.UInt64(1), {},
                               rel_path="/")
                pressed += 1
        log("Press", shortcut_id, pressed)
        return pressed


class Control(dbus.service.Object):
    def __init__(self, bus, portal):
        super().__init__(bus, "/org/pinlark/test")
        self.portal = portal

    @dbus.service.method("org.pinlark.test.FakePortal", in_signature="s", out_signature="i")
    def Press(self, shortcut_id):
        return self.portal.press(str(shortcut_id))

    @dbus.service.method("org.pinlark.test.FakePortal", in_signature="", out_signature="s")
    def Components(self):
        return json.dumps(self.portal.components)


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    store, taken = args[0], []
    rest = args[1:]
    while rest:
        if rest[0] == "--taken" and len(rest) > 1:
            taken.append(rest[1])
            rest = rest[2:]
        else:
            sys.exit(__doc__)
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus, store, taken)
    control = Control(bus, portal)
    names = [dbus.service.BusName("org.freedesktop.portal.Desktop", bus, do_not_queue=True),
             dbus.service.BusName("org.pinlark.test.FakePortal", bus, do_not_queue=True)]
    log("ready")
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    loop.run()
    del names, control


if __name__ == "__main__":
    main()
