#!/usr/bin/env python3
"""Servers for the HTTP client tests, all on loopback: an origin server on
127.0.0.2 (nothing listens on 127.0.0.1 at its port), a forwarding proxy on
127.0.0.1 that logs each request line to the file named by the first
argument and sends every request on to the origin, and an HTTPS server on
127.0.0.1 with a self-signed certificate (subject CN=127.0.0.1, O=Tesk Test)
written to the folder named by the second argument. Prints
"ORIGIN PROXY HTTPS PID" once all listen."""
import http.server
import os
import ssl
import subprocess
import sys
import threading
import urllib.request

LOG, FOLDER = sys.argv[1], sys.argv[2]


class origin(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        body = b"" if self.path == "/empty" else b"hello from " + self.path.encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("X-Test", "one")
        self.send_header("X-Test", "two")
        self.send_header("X-Long", "v" * 600)
        self.end_headers()
        self.wfile.write(body)


class proxy(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(LOG, "a") as log:
            log.write(self.requestline + "\n")
        path = self.path.split("/", 3)[3] if self.path.startswith("http://") else self.path[1:]
        with urllib.request.urlopen(f"http://127.0.0.2:{ORIGIN_PORT}/{path}") as r:
            body = r.read()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Via", "1.1 test-proxy")
        self.end_headers()
        self.wfile.write(body)


def serve(server):
    threading.Thread(target=server.serve_forever, daemon=True).start()


cert, key = os.path.join(FOLDER, "cert.pem"), os.path.join(FOLDER, "key.pem")
subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-keyout", key, "-out", cert, "-subj", "/CN=127.0.0.1/O=Tesk Test",
                "-addext", "subjectAltName=IP:127.0.0.1"],
               check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

o = http.server.ThreadingHTTPServer(("127.0.0.2", 0), origin)
ORIGIN_PORT = o.server_address[1]
p = http.server.ThreadingHTTPServer(("127.0.0.1", 0), proxy)
s = http.server.ThreadingHTTPServer(("127.0.0.1", 0), origin)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
s.socket = context.wrap_socket(s.socket, server_side=True)
for server in (o, p, s):
    serve(server)
print(ORIGIN_PORT, p.server_address[1], s.server_address[1], os.getpid(), flush=True)
threading.Event().wait()
