"""HTTPS file server on loopback whose misbehaviour tests can script.

Command line:
    https_server.py --port P --cert CHAIN.pem --key KEY.pem --root DIR

    --port 0 picks a free port. The first stdout line is always "PORT <n>",
    flushed, once the server listens on 127.0.0.1:<n>. Nothing else goes to
    stdout. SIGTERM (or killing the process) stops it.

Serving: GET /some/path answers the file DIR/some/path (200, Content-Length,
HTTP/1.1 keep-alive). "Range: bytes=N-" answers 206 with Content-Range; a
start at or beyond the end answers 416. A missing file answers 404 with the
body "not found\n". GET /r/N/rest answers 302 to /r/N-1/rest, and /r/1/rest
to /rest, so /r/N/x is a chain of N redirects before /x.

Rules change how one path is answered. A rule is a JSON object with any of:
    "status": S, "body": TEXT   answer S with TEXT (404 defaults to
                                "not found\n"); "body" alone with no status
                                serves TEXT as the resource instead of a file
    "empty": true               200 with an empty body
    "redirect": LOCATION        302 to LOCATION
    "ignore_range": true        200 with the whole resource despite Range
    "force_206": true           206 with the whole resource to a plain request
    "stall": SECONDS            sleep before answering; with "stall_after": K
                                first send the headers and K body bytes; the
                                rest follows after the sleep
    "drop_after": K             send the headers and K body bytes, then close
    "chunk": K, "chunk_delay": S
                                send the body K bytes at a time, sleeping S
                                seconds before each piece after the first
    "times": N                  the rule applies to the next N requests only

Control (not logged):
    POST /_control with {"rules": {PATH: RULE or null}} sets or removes rules.
    GET /_log answers the request log as a JSON list, oldest first, of
        {"path", "range" (null when absent)}.
"""

import argparse
import json
import os
import re
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

DISCONNECTS = (BrokenPipeError, ConnectionResetError, ssl.SSLError, socket.timeout)


class ServerState:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.lock = threading.Lock()
        self.rules = {}
        self.log = []

    def take_rule(self, path):
        """The rule for path, counting down a limited one."""
        with self.lock:
            rule = self.rules.get(path)
            if rule is None:
                return {}
            if "times" in rule:
                rule["times"] -= 1
                if rule["times"] <= 0:
                    del self.rules[path]
            return dict(rule)

    def read_file(self, path):
        """The bytes of the file under the root, or None."""
        relative = os.path.normpath(path.lstrip("/"))
        full = os.path.join(self.root, relative)
        if relative.startswith("..") or os.path.isabs(relative) or not os.path.isfile(full):
            return None
        with open(full, "rb") as handle:
            return handle.read()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):
        pass

    def do_POST(self):
        state = self.server.state
        try:
            length = int(self.headers.get("Content-Length") or 0)
            rules = json.loads(self.rfile.read(length))["rules"]
            with state.lock:
                for path, rule in rules.items():
                    state.rules.pop(path, None)
                    if rule is not None:
                        state.rules[path] = dict(rule)
        except (ValueError, KeyError, AttributeError, TypeError) as error:
            self.send_simple(400, str(error).encode() + b"\n")
            return
        self.send_simple(200, b'{"ok": true}')

    def do_GET(self):
        state = self.server.state
        if self.path == "/_log":
            with state.lock:
                self.send_simple(200, json.dumps(state.log).encode())
            return
        with state.lock:
            state.log.append({"path": self.path, "range": self.headers.get("Range")})
        try:
            self.answer(self.path, state.take_rule(self.path))
        except DISCONNECTS:
            self.close_connection = True

    def answer(self, path, rule):
        if "stall" in rule and "stall_after" not in rule:
            time.sleep(float(rule["stall"]))
        location = rule.get("redirect")
        chain = re.match(r"^/r/(\d+)(/.*)$", path)
        if location is None and chain and int(chain.group(1)) > 0:
            remaining = int(chain.group(1)) - 1
            location = "/r/%d%s" % (remaining, chain.group(2)) if remaining else chain.group(2)
        if location is not None:
            self.send_simple(302, b"", {"Location": location})
            return
        if "status" in rule:
            default = b"not found\n" if rule["status"] == 404 else b""
            self.send_simple(int(rule["status"]), rule["body"].encode() if "body" in rule else default)
            return

        if rule.get("empty"):
            content = b""
        elif "body" in rule:
            content = rule["body"].encode()
        else:
            content = self.server.state.read_file(chain.group(2) if chain else path)
        if content is None:
            self.send_simple(404, b"not found\n")
            return

        size = len(content)
        match = re.match(r"^bytes=(\d+)-$", self.headers.get("Range") or "")
        status, start = 200, 0
        if match and not rule.get("ignore_range"):
            status, start = (206, int(match.group(1))) if int(match.group(1)) < size else (416, size)
        elif rule.get("force_206") and size > 0:
            status = 206
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size - start))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, size - 1, size))
        elif status == 416:
            self.send_header("Content-Range", "bytes */%d" % size)
        self.end_headers()
        self.send_body(content[start:], rule)

    def send_body(self, body, rule):
        if "drop_after" in rule:
            self.wfile.write(body[: int(rule["drop_after"])])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if "stall_after" in rule:
            head = int(rule["stall_after"])
            self.wfile.write(body[:head])
            self.wfile.flush()
            time.sleep(float(rule["stall"]))
            body = body[head:]
        size = max(1, int(rule.get("chunk", len(body) or 1)))
        for start in range(0, len(body), size):
            if start:
                time.sleep(float(rule.get("chunk_delay", 0)))
            self.wfile.write(body[start:start + size])
            self.wfile.flush()

    def send_simple(self, status, body, extra=None):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)


class TlsServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, context, state):
        super().__init__(address, Handler)
        self.context = context
        self.state = state

    def finish_request(self, request, client_address):
        # The handshake runs here, on the connection's own thread, so a client
        # that never completes it cannot hold up the others.
        try:
            connection = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        try:
            self.RequestHandlerClass(connection, client_address, self)
        finally:
            connection.close()

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], DISCONNECTS + (OSError,)):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--root", required=True)
    arguments = parser.parse_args()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(arguments.cert, arguments.key)
    server = TlsServer(("127.0.0.1", arguments.port), context, ServerState(arguments.root))
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
