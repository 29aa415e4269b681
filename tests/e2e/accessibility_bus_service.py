#!/usr/bin/python3
"""Announces an accessibility bus on the session bus, as a desktop session's AT-SPI
launcher does: org.a11y.Bus with GetAddress, and org.a11y.Status saying it is enabled.
Qt joins the accessibility bus only through this service.

  accessibility_bus_service.py ADDRESS

Prints "ready" once the name is owned, and serves until ended.
"""

import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS = "org.a11y.Bus"
STATUS = "org.a11y.Status"


class Launcher(dbus.service.Object):
    def __init__(self, bus, address):
        super().__init__(bus, "/org/a11y/bus")
        self.address = address

    @dbus.service.method(BUS, out_signature="s")
    def GetAddress(self):
        return self.address

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != STATUS:
            return {}
        return {"IsEnabled": dbus.Boolean(True), "ScreenReaderEnabled": dbus.Boolean(True)}


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    launcher = Launcher(bus, argv[1])
    name = dbus.service.BusName(BUS, bus, do_not_queue=True)  # held while it is referenced
    print("ready", flush=True)
    GLib.MainLoop().run()
    del launcher, name


if __name__ == "__main__":
    main(sys.argv)
