#!/usr/bin/env python3
"""A small internet-gateway stand-in for the port-mapping tests: serves a
device description with one WANIPConnection service on loopback and answers
AddPortMapping, DeletePortMapping and GetSpecificPortMappingEntry from a
table. Prints "PORT PID" once it listens; logs every action as a JSON line to
the file named by the first argument. With --permanent-only it refuses leases
(725) as some gateways do."""
import http.server
import json
import os
import re
import sys

SERVICE = "urn:schemas-upnp-org:service:WANIPConnection:1"
LOG = sys.argv[1]
PERMANENT_ONLY = "--permanent-only" in sys.argv
mappings = {}


def description(port):
    return f"""<?xml version="1.0"?>
<root xmlns="urn:schemas-upnp-org:device-1-0">
<specVersion><major>1</major><minor>0</minor></specVersion>
<URLBase>http://127.0.0.1:{port}/</URLBase>
<device>
<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>
<friendlyName>test gateway</friendlyName>
<deviceList><device>
<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>
<serviceList><service>
<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>
<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>
<controlURL>/ctl/CommonIfCfg</controlURL><eventSubURL>/evt/CommonIfCfg</eventSubURL>
<SCPDURL>/WANCfg.xml</SCPDURL>
</service></serviceList>
<deviceList><device>
<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>
<serviceList><service>
<serviceType>{SERVICE}</serviceType>
<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>
<controlURL>/ctl/IPConn</controlURL><eventSubURL>/evt/IPConn</eventSubURL>
<SCPDURL>/WANIPCn.xml</SCPDURL>
</service></serviceList>
</device></deviceList>
</device></deviceList>
</device>
</root>
"""


def envelope(body):
    return ('<?xml version="1.0"?>\r\n<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            + body + "</s:Body></s:Envelope>\r\n")


class handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, text, ctype="text/xml"):
        data = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        if self.path == "/rootDesc.xml":
            self.reply(200, description(self.server.server_address[1]))
        else:
            self.reply(404, "")

    def fault(self, code):
        self.reply(500, envelope(
            "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
            '<UPnPError xmlns="urn:schemas-upnp-org:control-1-0">'
            f"<errorCode>{code}</errorCode><errorDescription>error</errorDescription>"
            "</UPnPError></detail></s:Fault>"))

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0"))).decode()
        action = self.headers.get("SOAPAction", "").strip('"').split("#")[-1]
        args = dict(re.findall(r"<(New\w+)>([^<]*)</\1>", body))
        with open(LOG, "a") as log:
            log.write(json.dumps({"action": action, "args": args}) + "\n")
        key = (args.get("NewExternalPort"), args.get("NewProtocol"))
        if action == "AddPortMapping":
            if PERMANENT_ONLY and args.get("NewLeaseDuration", "0") != "0":
                return self.fault(725)
            mappings[key] = args
            return self.reply(200, envelope(f'<u:AddPortMappingResponse xmlns:u="{SERVICE}"/>'))
        if action == "DeletePortMapping":
            if key not in mappings:
                return self.fault(714)
            del mappings[key]
            return self.reply(200, envelope(f'<u:DeletePortMappingResponse xmlns:u="{SERVICE}"/>'))
        if action == "GetSpecificPortMappingEntry":
            m = mappings.get(key)
            if not m:
                return self.fault(714)
            return self.reply(200, envelope(
                f'<u:GetSpecificPortMappingEntryResponse xmlns:u="{SERVICE}">'
                f"<NewInternalPort>{m['NewInternalPort']}</NewInternalPort>"
                f"<NewInternalClient>{m['NewInternalClient']}</NewInternalClient>"
                f"<NewEnabled>{m['NewEnabled']}</NewEnabled>"
                f"<NewPortMappingDescription>{m['NewPortMappingDescription']}</NewPortMappingDescription>"
                f"<NewLeaseDuration>{m['NewLeaseDuration']}</NewLeaseDuration>"
                "</u:GetSpecificPortMappingEntryResponse>"))
        return self.fault(401)


server = http.server.HTTPServer(("127.0.0.1", 0), handler)
print(server.server_address[1], os.getpid(), flush=True)
server.serve_forever()
