#!/usr/bin/python3
"""A desktop notification daemon for tests, on the session bus of DBUS_SESSION_BUS_ADDRESS.

    notification_daemon.py

Owns org.freedesktop.Notifications and prints "ready", then, for each notification it is
given, a line "notify APP_NAME|APP_ICON|SUMMARY|BODY" once its answer has gone out.
"""

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"


class Daemon(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.last_id = 0

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u",
                         async_callbacks=("answer", "refuse"))
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, timeout, answer, refuse):
        self.last_id += 1
        answer(self.last_id)
        # Printed after the answer, so that a test that reads it knows the program has it too.
        print("notify " + "|".join((app_name, app_icon, summary, body)), flush=True)

    @dbus.service.method(NAME, out_signature="as")
    def GetCapabilities(self):
        return ["body"]

    @dbus.service.method(NAME, out_signature="ssss")
    def GetServerInformation(self):
        return ("test notifications", "tavrin tests", "1", "1.2")

    @dbus.service.method(NAME, in_signature="u")
    def CloseNotification(self, notification_id):
        pass


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    daemon = Daemon(bus)
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    print("ready", flush=True)
    GLib.MainLoop().run()
    del daemon, name


if __name__ == "__main__":
    main()
