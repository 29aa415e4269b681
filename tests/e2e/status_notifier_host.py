#!/usr/bin/python3
"""A small StatusNotifier panel for tests, on the session bus of DBUS_SESSION_BUS_ADDRESS.

  status_notifier_host.py watcher
      Owns org.kde.StatusNotifierWatcher with a host registered, as a panel does, and
      prints "ready", then "registered SERVICE PATH" and "unregistered SERVICE" lines.
  status_notifier_host.py layout SERVICE PATH
      Prints the item's menu as the panel gets it: "ID LABEL" per entry, LABEL with the
      access key's underscore.
  status_notifier_host.py property SERVICE PATH NAME
      Prints one property of the item.
  status_notifier_host.py pixmaps SERVICE PATH NAME
      Prints the sizes of the pixmaps in the item's property NAME (IconPixmap,
      AttentionIconPixmap), "WIDTHxHEIGHT" each, or "bad WIDTHxHEIGHT" for one whose data
      is not that many ARGB pixels.
  status_notifier_host.py tooltip SERVICE PATH
      Prints the item's tip: its title on the first line, its text below.
  status_notifier_host.py activate|context-menu SERVICE PATH
      Calls Activate or ContextMenu at (10, 10) and prints how long the call took in ms.
  status_notifier_host.py click SERVICE PATH ID
      Sends the menu entry ID a "clicked" event, as a panel does when it is chosen.
"""

import sys
import time

import dbus
import dbus.service

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"
PROPERTIES = "org.freedesktop.DBus.Properties"


# Qt reads the watcher's properties through introspection, which dbus-python leaves out.
WATCHER_XML = """<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
 </interface>
 <interface name="org.freedesktop.DBus.Properties">
  <method name="Get"><arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="v" direction="out"/></method>
  <method name="GetAll"><arg type="s" direction="in"/><arg type="a{sv}" direction="out"/></method>
 </interface>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect"><arg type="s" direction="out"/></method>
 </interface>
</node>"""


class Watcher(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/StatusNotifierWatcher")
        self.bus = bus
        self.items = {}  # owner's unique name -> "service/path"
        bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged", "org.freedesktop.DBus")

    @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
    def RegisterStatusNotifierItem(self, service, sender):
        # An item names its bus name, or only its object path on the caller's connection.
        name, path = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
        self.items[sender] = name + path
        print("registered", name, path, flush=True)
        self.StatusNotifierItemRegistered(name + path)

    @dbus.service.method(WATCHER, in_signature="s")
    def RegisterStatusNotifierHost(self, service):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemRegistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature="s")
    def StatusNotifierItemUnregistered(self, item):
        pass

    @dbus.service.signal(WATCHER, signature="")
    def StatusNotifierHostRegistered(self):
        pass

    @dbus.service.method("org.freedesktop.DBus.Introspectable", out_signature="s")
    def Introspect(self):
        return WATCHER_XML

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {
            "RegisteredStatusNotifierItems": dbus.Array(self.items.values(), signature="s"),
            "IsStatusNotifierHostRegistered": dbus.Boolean(True),
            "ProtocolVersion": dbus.Int32(0),
        }

    def owner_changed(self, name, old_owner, new_owner):
        if not new_owner and name in self.items:
            item = self.items.pop(name)
            print("unregistered", item, flush=True)
            self.StatusNotifierItemUnregistered(item)


def serve_watcher():
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    watcher = Watcher(bus)
    name = dbus.service.BusName(WATCHER, bus, do_not_queue=True)  # held while it is referenced
    print("ready", flush=True)
    GLib.MainLoop().run()
    del watcher, name


def item(service, path):
    return dbus.SessionBus().get_object(service, path)


def print_layout(service, path):
    menu_path = item(service, path).Get(ITEM, "Menu", dbus_interface=PROPERTIES)
    menu = dbus.SessionBus().get_object(service, menu_path)
    menu.AboutToShow(0, dbus_interface=MENU)
    _, (_, _, children) = menu.GetLayout(0, -1, [], dbus_interface=MENU)
    for child_id, properties, _ in children:
        print(child_id, properties.get("label", properties.get("type", "")))


def print_pixmaps(service, path, name):
    sizes = []
    for width, height, data in item(service, path).Get(ITEM, name, dbus_interface=PROPERTIES):
        size = "%dx%d" % (width, height)
        sizes.append(size if len(data) == width * height * 4 else "bad " + size)
    print(" ".join(sizes))


def print_tooltip(service, path):
    _, _, title, text = item(service, path).Get(ITEM, "ToolTip", dbus_interface=PROPERTIES)
    print(title)
    print(text)


def timed_call(service, path, method):
    started = time.monotonic()
    getattr(item(service, path), method)(10, 10, dbus_interface=ITEM, timeout=5)
    print(round((time.monotonic() - started) * 1000))


def click(service, path, entry):
    menu_path = item(service, path).Get(ITEM, "Menu", dbus_interface=PROPERTIES)
    menu = dbus.SessionBus().get_object(service, menu_path)
    menu.Event(int(entry), "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0), dbus_interface=MENU)


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "watcher" and len(argv) == 2:
        serve_watcher()
    elif command == "layout" and len(argv) == 4:
        print_layout(argv[2], argv[3])
    elif command == "property" and len(argv) == 5:
        print(item(argv[2], argv[3]).Get(ITEM, argv[4], dbus_interface=PROPERTIES))
    elif command == "pixmaps" and len(argv) == 5:
        print_pixmaps(argv[2], argv[3], argv[4])
    elif command == "tooltip" and len(argv) == 4:
        print_tooltip(argv[2], argv[3])
    elif command in ("activate", "context-menu") and len(argv) == 4:
        timed_call(argv[2], argv[3], "Activate" if command == "activate" else "ContextMenu")
    elif command == "click" and len(argv) == 5:
        click(argv[2], argv[3], argv[4])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
