#!/usr/bin/python3
"""Both ends of com.dovetra.TavrinClient1 on a test's bus, for trying its bus policy.

    bus_policy_peer.py own ADDRESS
        Owns the name and serves an object with the interface's methods and the standard
        ones; prints "owned" once the name is held, or "refused: <error name>" and ends.
    bus_policy_peer.py try-own ADDRESS
        The same, but ends at once either way.
    bus_policy_peer.py call ADDRESS INTERFACE MEMBER [SIGNATURE ARGUMENT...]
        Calls MEMBER of the object; prints "answered", or the error's name.
"""

import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "com.dovetra.TavrinClient1"
PATH = "/com/dovetra/TavrinClient1"


class Service(dbus.service.Object):
    @dbus.service.method(NAME, in_signature="", out_signature="")
    def Update(self):
        pass

    @dbus.service.method(NAME, in_signature="sb", out_signature="")
    def SetServer(self, address, interactive):
        pass

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"Server": dbus.String("192.0.2.1")}

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.String("192.0.2.1")

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ssv", out_signature="")
    def Set(self, interface, name, value):
        pass


def own(address, serve):
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    try:
        name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    except dbus.exceptions.DBusException as error:
        print("refused: " + error.get_dbus_name(), flush=True)
        return 1
    Service(bus, PATH)
    print("owned", flush=True)
    if serve:
        GLib.MainLoop().run()
    return 0


def call(address, interface, member, arguments):
    bus = dbus.bus.BusConnection(address)
    method = bus.get_object(NAME, PATH, introspect=False).get_dbus_method(member, interface)
    values = []
    for signature, text in zip(arguments[0::2], arguments[1::2]):
        values.append({"s": dbus.String, "b": lambda t: dbus.Boolean(t == "true")}[signature](text))
    try:
        method(*values)
    except dbus.exceptions.DBusException as error:
        print(error.get_dbus_name(), flush=True)
        return 0
    print("answered", flush=True)
    return 0


if __name__ == "__main__":
    if sys.argv[1] in ("own", "try-own"):
        sys.exit(own(sys.argv[2], sys.argv[1] == "own"))
    sys.exit(call(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]))
