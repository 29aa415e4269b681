#!/usr/bin/python3
"""A stand-in for systemd-timedated on a test's private bus.

    fake_timedated.py ADDRESS NTP SYNCHRONISED

Owns org.freedesktop.timedate1 on the bus at ADDRESS and answers the Properties calls for
its NTP and NTPSynchronized values ("yes" or "no"). Prints "ready" once the name is owned,
and serves until it is ended.
"""

import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.timedate1"
PATH = "/org/freedesktop/timedate1"


class Timedated(dbus.service.Object):
    def __init__(self, bus, ntp, synchronised):
        super().__init__(bus, PATH)
        self.properties = {
            "NTP": dbus.Boolean(ntp),
            "NTPSynchronized": dbus.Boolean(synchronised),
            "Timezone": dbus.String("UTC"),
        }

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface != NAME:
            raise dbus.exceptions.DBusException(
                "no interface " + interface, name="org.freedesktop.DBus.Error.UnknownInterface")
        return self.properties

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]


def main():
    address, ntp, synchronised = sys.argv[1], sys.argv[2] == "yes", sys.argv[3] == "yes"
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    service = Timedated(bus, ntp, synchronised)
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
