"""Looks for SSDP resources of one type with the GSSDP library (the SSDP
side of GUPnP) on one interface and prints "USN LOCATION" per resource found.
Usage: gssdp_browse.py INTERFACE TARGET SECONDS"""

import sys

import gi

gi.require_version("GSSDP", "1.6")
from gi.repository import GLib, GSSDP  # noqa: E402


def main():
    iface, target, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    client = GSSDP.Client.new_full(iface, None, 0, GSSDP.UDAVersion.VERSION_1_0)
    browser = GSSDP.ResourceBrowser.new(client, target)
    browser.set_mx(1)
    found = {}

    def available(_browser, usn, locations):
        found[usn] = locations[0] if locations else ""

    browser.connect("resource-available", available)
    browser.set_active(True)
    loop = GLib.MainLoop()
    GLib.timeout_add(int(seconds * 1000), loop.quit)
    loop.run()
    for usn, location in sorted(found.items()):
        print(usn, location)


main()
