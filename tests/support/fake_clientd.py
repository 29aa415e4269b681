#!/usr/bin/python3
"""A stand-in for tavrin-clientd on a test's private bus.

    fake_clientd.py ADDRESS INTERFACE_XML BEHAVIOUR_JSON

Owns com.dovetra.TavrinClient1 on the bus at ADDRESS and exports, at its object, the
interface that INTERFACE_XML describes: its properties with the types written there and
the values BEHAVIOUR_JSON gives ("properties": {"Server": "192.0.2.1", ...}; the rest
zero or empty), and its methods with their signatures. What a method does comes from
BEHAVIOUR_JSON too, under its name:

    "Update": {"set": {"LastResult": "..."}}          sets properties, then answers
    "SetServer": {"refuse": {"ADDRESS": [ERROR_NAME, MESSAGE]}, "store": "Server"}
                                                      an error for these first arguments;
                                                      otherwise the first argument is stored
    "Update": {"error": [ERROR_NAME, MESSAGE]}        always that error
    "hang": true                                      no call is ever answered, GetAll included

Each call is printed as one line, "CALL Name [arguments as JSON] interactive=True|False" (the
message's flag for interactive authorisation), before it is answered. Prints "ready" once
the name is owned, and serves until it is ended.

The test steers it through a name of its own, test.tavrin.FakeClientd, object /control,
interface test.tavrin.FakeClientd:

    Set(s PROPERTIES_JSON)   sets properties, with one PropertiesChanged for them
    Release()                gives the service's name up; Own() takes it again
    Mark(s TEXT)             prints "MARK TEXT": what was printed before came before it
"""

import json
import sys
import xml.etree.ElementTree as ElementTree

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "com.dovetra.TavrinClient1"
PATH = "/com/dovetra/TavrinClient1"
CONTROL = "test.tavrin.FakeClientd"
TYPES = {"s": dbus.String, "b": dbus.Boolean, "i": dbus.Int32, "t": dbus.UInt64, "x": dbus.Int64}


def read_interface(path):
    root = ElementTree.parse(path).getroot()
    interface = root.find(f"interface[@name='{NAME}']")
    properties = {p.get("name"): p.get("type") for p in interface.findall("property")}
    methods = {
        m.get("name"): [(a.get("name"), a.get("type")) for a in m.findall("arg") if a.get("direction", "in") == "in"]
        for m in interface.findall("method")
    }
    return properties, methods


def make_service_class(methods):
    """A Service with one exported method per method of the interface, its arguments
    named and typed as there. dbus-python reads a method's arguments from its definition,
    so each is written out."""

    def exported(name, arguments):
        names = [argument for argument, _ in arguments]
        source = (f"def {name}(self, {', '.join(names + ['reply', 'error', 'message'])}):\n"
                  f"    self.handle({name!r}, [{', '.join(names)}], reply, error, message)\n")
        scope = {}
        exec(source, scope)
        signature = "".join(kind for _, kind in arguments)
        return dbus.service.method(NAME, in_signature=signature, out_signature="",
                                   async_callbacks=("reply", "error"), message_keyword="message")(scope[name])

    namespace = {name: exported(name, arguments) for name, arguments in methods.items()}
    return type(dbus.service.Object)("FakeClientd", (Service,), namespace)


def plain(value):
    """A D-Bus value as JSON writes it."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, str):
        return str(value)
    return int(value)


class Service(dbus.service.Object):
    def __init__(self, bus, types, behaviour, introspection):
        super().__init__(bus, PATH)
        self.types = types
        self.behaviour = behaviour
        self.introspection = introspection
        self.values = {name: TYPES[kind]() for name, kind in types.items()}
        self.store(behaviour.get("properties", {}), announce=False)

    def store(self, values, announce=True):
        changed = {}
        for name, value in values.items():
            if name not in self.types:
                raise SystemExit(f"fake_clientd: the interface has no property {name}")
            self.values[name] = changed[name] = TYPES[self.types[name]](value)
        if announce and changed:
            self.PropertiesChanged(NAME, changed, [])

    def called(self, name, arguments, message):
        shown = json.dumps([plain(a) for a in arguments])
        print(f"CALL {name} {shown} interactive={message.get_allow_interactive_authorization()}", flush=True)

    def handle(self, name, arguments, reply, error, message):
        self.called(name, arguments, message)
        if self.behaviour.get("hang"):
            return
        what = self.behaviour.get(name, {})
        refused = what.get("refuse", {}).get(str(arguments[0])) if arguments else None
        failure = refused or what.get("error")
        if failure:
            error(dbus.exceptions.DBusException(failure[1], name=failure[0]))
            return
        self.store(what.get("set", {}))
        if "store" in what:
            self.store({what["store"]: arguments[0]})
        reply()

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}",
                         async_callbacks=("reply", "error"), message_keyword="message")
    def GetAll(self, interface, reply, error, message):
        self.called("GetAll", [interface], message)
        if self.behaviour.get("hang"):
            return
        if interface != NAME:
            error(dbus.exceptions.DBusException(
                "no interface " + interface, name="org.freedesktop.DBus.Error.UnknownInterface"))
            return
        reply(dbus.Dictionary(self.values, signature="sv"))

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.values[name]

    @dbus.service.signal(dbus.PROPERTIES_IFACE, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(dbus.INTROSPECTABLE_IFACE, in_signature="", out_signature="s")
    def Introspect(self):
        return self.introspection


class Control(dbus.service.Object):
    def __init__(self, bus, service):
        super().__init__(bus, "/control")
        self.bus = bus
        self.service = service

    @dbus.service.method(CONTROL, in_signature="s", out_signature="")
    def Set(self, properties):
        self.service.store(json.loads(properties))

    @dbus.service.method(CONTROL, in_signature="", out_signature="")
    def Release(self):
        self.bus.release_name(NAME)

    @dbus.service.method(CONTROL, in_signature="", out_signature="")
    def Own(self):
        self.bus.request_name(NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)

    @dbus.service.method(CONTROL, in_signature="s", out_signature="")
    def Mark(self, text):
        print(f"MARK {text}", flush=True)


def main():
    address, interface_path, behaviour = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    types, methods = read_interface(interface_path)
    with open(interface_path) as xml:
        introspection = xml.read()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    service = make_service_class(methods)(bus, types, behaviour, introspection)
    control_name = dbus.service.BusName(CONTROL, bus, do_not_queue=True)
    control = Control(bus, service)
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
