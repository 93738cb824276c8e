#!/usr/bin/python3
"""A stand-in upstream registry for the mirror's end-to-end test.

It forwards requests to a real registry (this project's own, served on
another port) and does what that one cannot: the first component of the
request path chooses a behaviour, and the rest is forwarded.

  /plain/v2/...   forwarded as it is
  /token/v2/...   needs "Authorization: Bearer <token>", else 401 with a
                  Bearer challenge whose realm is /auth on this server;
                  /auth hands out the token for the login user:password
  /err5/v2/...    503 for every request
  /wrong/v2/...   blob bodies with one byte changed (length kept)
  /cut/v2/...     blob bodies cut in the middle: the connection closes
  /stall/v2/...   blob bodies stop in the middle; the connection stays open
  /nodigest/v2/...  forwarded without Docker-Content-Digest

Every request is logged to LOG as "<behaviour> <method> <path>" (the
forwarded path), so the test can tell which requests the mirror made.

  mirror_upstream.py PORT_FILE UPSTREAM_PORT LOG USER PASSWORD
Binds a free port on 127.0.0.1 and writes it to PORT_FILE.
Only the standard library; loopback only.
"""
import base64
import http.client
import http.server
import json
import os
import re
import socketserver
import sys
import threading
import time

TOKEN = "t0k3n-" + base64.urlsafe_b64encode(b"stand-in").decode().rstrip("=")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def note(self, behaviour, path):
        with self.server.log_lock, open(self.server.log, "a") as log:
            log.write("%s %s %s\n" % (behaviour, self.command, path))

    def reply(self, status, headers, body=b""):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):
        self.handle_any()

    def do_GET(self):
        self.handle_any()

    def handle_any(self):
        parts = self.path.split("/", 2)
        if len(parts) < 3:
            return self.reply(404, [], b"")
        behaviour, rest = parts[1], "/" + parts[2]
        if behaviour == "auth":
            return self.answer_auth()
        self.note(behaviour, rest)
        if behaviour == "err5":
            return self.reply(503, [("Content-Type", "text/plain")], b"unavailable\n")
        if behaviour == "token":
            if self.headers.get("Authorization", "") != "Bearer " + TOKEN:
                host = "127.0.0.1:%d" % self.server.server_address[1]
                name = re.match(r"/v2/(.+?)/(manifests|blobs)/", rest)
                challenge = ('Bearer realm="http://%s/auth/token",service="stand-in",'
                             'scope="repository:%s:pull"' % (host, name.group(1) if name else ""))
                return self.reply(401, [("WWW-Authenticate", challenge),
                                        ("Content-Type", "application/json")],
                                  b'{"errors":[{"code":"UNAUTHORIZED"}]}\n')
        self.forward(behaviour, rest)

    def answer_auth(self):
        wanted = "Basic " + base64.b64encode(
            ("%s:%s" % (self.server.user, self.server.password)).encode()).decode()
        self.note("auth", self.path)
        if self.headers.get("Authorization", "") != wanted:
            return self.reply(401, [("WWW-Authenticate", 'Basic realm="stand-in"')], b"")
        body = json.dumps({"token": TOKEN, "expires_in": 300}).encode()
        self.reply(200, [("Content-Type", "application/json")], body)

    def forward(self, behaviour, rest):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.upstream_port, timeout=60)
        headers = {k: v for k, v in self.headers.items() if k.lower() in ("accept", "range")}
        conn.request(self.command, rest, headers=headers)
        up = conn.getresponse()
        body = up.read() if self.command != "HEAD" else b""
        keep = [(k, v) for k, v in up.getheaders()
                if k.lower() not in ("content-length", "transfer-encoding", "connection", "date",
                                     "server")]
        if behaviour == "nodigest":
            keep = [(k, v) for k, v in keep if k.lower() != "docker-content-digest"]
        length = up.getheader("Content-Length", str(len(body)))
        conn.close()
        is_blob = "/blobs/" in rest and up.status == 200
        self.send_response(up.status)
        for name, value in keep:
            self.send_header(name, value)
        self.send_header("Content-Length", length if self.command == "HEAD" else str(len(body)))
        if behaviour in ("cut", "stall") and is_blob:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command == "HEAD":
            return
        if behaviour == "wrong" and is_blob and body:
            middle = len(body) // 2
            body = body[:middle] + bytes([body[middle] ^ 0xFF]) + body[middle + 1:]
        if behaviour in ("cut", "stall") and is_blob:
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            if behaviour == "stall":
                # Holds the connection without a byte, longer than the
                # mirror's stall timeout in the test, then gives up.
                time.sleep(self.server.stall_seconds)
            self.close_connection = True
            return
        self.wfile.write(body)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    port_file, upstream_port, log, user, password = sys.argv[1:6]
    server = Server(("127.0.0.1", 0), Handler)
    server.upstream_port = int(upstream_port)
    server.log = log
    server.log_lock = threading.Lock()
    server.user = user
    server.password = password
    server.stall_seconds = 20
    with open(port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(port_file + ".tmp", port_file)
    # Ends by itself after an hour, should the test not stop it.
    timer = threading.Timer(3600, server.shutdown)
    timer.daemon = True
    timer.start()
    server.serve_forever()


if __name__ == "__main__":
    main()
