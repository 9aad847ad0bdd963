"""Browses a media server as a GUPnP player does: finds the device with the
GUPnP control point, calls Browse through its service proxy (GUPnP reads the
SOAP answer) and reads the DIDL-Lite with the GUPnP-AV parser. Follows the
first object whose title is each PATH element, then prints one line per
child: kind, id, parentID, title, class, then per resource its URI, size
and protocolInfo (as GUPnP-AV parsed it), tab-separated.
Usage: gupnp_browse.py INTERFACE SECONDS [TITLE...]"""

import sys

import gi

gi.require_version("GSSDP", "1.6")
gi.require_version("GUPnP", "1.6")
gi.require_version("GUPnPAV", "1.0")
from gi.repository import GLib, GObject, GSSDP, GUPnP, GUPnPAV  # noqa: E402

CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"


def browse(proxy, object_id):
    action = GUPnP.ServiceProxyAction.new_from_list(
        "Browse", ["ObjectID", "BrowseFlag", "Filter", "StartingIndex", "RequestedCount",
                   "SortCriteria"],
        [object_id, "BrowseDirectChildren", "*", 0, 0, ""])
    proxy.call_action(action, None)
    ok, values = action.get_result_list(["Result", "NumberReturned", "TotalMatches"],
                                        [GObject.TYPE_STRING, GObject.TYPE_UINT, GObject.TYPE_UINT])
    if not ok:
        raise RuntimeError("Browse %s: no result" % object_id)
    objects = []
    parser = GUPnPAV.DIDLLiteParser()
    parser.connect("object-available", lambda _p, o: objects.append(o))
    parser.parse_didl(values[0])
    if len(objects) != values[1]:
        raise RuntimeError("NumberReturned %d, DIDL has %d" % (values[1], len(objects)))
    return objects


def main():
    iface, seconds, path = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
    context = None
    # GUPnP takes a free port on one address family and then asks for the
    # same number on the other, which a process running beside this one may
    # hold: a few fresh tries, not one.
    for attempt in range(8):
        try:
            context = GUPnP.Context.new_full(iface, None, 0, GSSDP.UDAVersion.VERSION_1_0)
            break
        except GLib.GError as e:
            if attempt == 7 or "HTTP server" not in str(e):
                raise
    cp = GUPnP.ControlPoint.new(context, CDS)
    loop = GLib.MainLoop()
    found = []

    def available(_cp, proxy):
        found.append(proxy)
        loop.quit()

    cp.connect("service-proxy-available", available)
    cp.set_active(True)
    GLib.timeout_add(int(seconds * 1000), loop.quit)
    loop.run()
    if not found:
        sys.exit("no ContentDirectory found")
    proxy = found[0]
    object_id = "0"
    for title in path:
        match = [o for o in browse(proxy, object_id) if o.get_title() == title]
        if not match:
            sys.exit("no %r below %s" % (title, object_id))
        object_id = match[0].get_id()
    for o in browse(proxy, object_id):
        kind = "container" if isinstance(o, GUPnPAV.DIDLLiteContainer) else "item"
        fields = [kind, o.get_id(), o.get_parent_id(), o.get_title(), o.get_upnp_class()]
        for r in o.get_resources():
            info = r.get_protocol_info()
            fields += [r.get_uri(), str(r.get_size64()),
                       "%s:%s:%s:%s" % (info.get_protocol(), info.get_network(),
                                        info.get_mime_type(), info.get_dlna_profile())]
        print("\t".join(fields))


main()
