#!/usr/bin/env python3
"""A small file server on 127.0.0.1 for the update check's tests.

Serves the files of --root: "<name>" with status 200, "<name>.redirect"
(holding an address) with a 302 to it, "<name>.status" (a status code on its
first line, a body after it) with that answer, anything else with 404. A
"<name>.stall" beside a file makes its answer announce twice its length, send
the file and then nothing until the file --release exists. Every request
is appended to --log as "GET <path> <agent>" before it is answered. With
--hold PREFIX, requests whose path starts with PREFIX wait until the file
--release exists. Without --cert it speaks plain http. The chosen port is
written to --port-file once the server listens.
"""
import argparse
import http.server
import os
import ssl
import sys
import time

parser = argparse.ArgumentParser()
parser.add_argument("--root", required=True)
parser.add_argument("--log", required=True)
parser.add_argument("--port-file", required=True)
parser.add_argument("--cert")
parser.add_argument("--key")
parser.add_argument("--hold")
parser.add_argument("--release")
args = parser.parse_args()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        with open(args.log, "a") as log:
            log.write("GET %s %s\n" % (self.path, self.headers.get("User-Agent", "")))
        if args.hold and self.path.startswith(args.hold):
            while not os.path.exists(args.release):
                time.sleep(0.01)
        name = os.path.join(args.root, self.path.split("?")[0].lstrip("/"))
        if os.path.isfile(name + ".redirect"):
            with open(name + ".redirect") as f:
                self.send_response(302)
                self.send_header("Location", f.read().strip())
                self.send_header("Content-Length", "0")
                self.end_headers()
            return
        if os.path.isfile(name + ".status"):
            with open(name + ".status", "rb") as f:
                code, _, body = f.read().partition(b"\n")
            self.send_response(int(code))
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if not os.path.isfile(name):
            body = b"<html>not found</html>"
            self.send_response(404)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        size = os.path.getsize(name)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if os.path.isfile(name + ".stall"):
            # Twice the length announced: the file, then silence until --release.
            self.send_header("Content-Length", str(2 * size))
            self.end_headers()
            with open(name, "rb") as f:
                self.wfile.write(f.read())
            self.wfile.flush()
            while not (args.release and os.path.exists(args.release)):
                time.sleep(0.05)
            return
        self.send_header("Content-Length", str(size))
        self.end_headers()
        try:
            with open(name, "rb") as f:
                while True:
                    chunk = f.read(65536)
                    if not chunk:
                        break
                    self.wfile.write(chunk)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass

    def log_message(self, *unused):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that gave up (a refused certificate, say) is no error here


server = Server(("127.0.0.1", 0), Handler)
if args.cert:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
temp = args.port_file + ".part"
with open(temp, "w") as f:
    f.write(str(server.server_address[1]))
os.rename(temp, args.port_file)
sys.stdout.close()
server.serve_forever()
