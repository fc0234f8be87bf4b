"""HTTPS file server on loopback whose misbehaviour tests can script.

Command line:
    https_server.py --port P --cert CHAIN.pem --key KEY.pem --root DIR
                    [--config FILE]

    --port 0 picks a free port. The first stdout line is always "PORT <n>",
    flushed, once the server listens on 127.0.0.1:<n>. Nothing else goes to
    stdout. SIGTERM (or killing the process) stops it.

Serving: GET /some/path answers the file DIR/some/path (200, Content-Length,
HTTP/1.1 keep-alive). "Range: bytes=N-" or "bytes=N-M" answers 206 with
Content-Range; a start beyond the end answers 416. A missing file answers 404
with the body "not found\n". GET /r/N/rest answers 302 to /r/N-1/rest, and
/r/1/rest to /rest, so /r/N/x is a chain of N redirects before /x.

Rules change how one path (without the query) is answered. A rule is a JSON
object with any of these members:
    "status": S, "body": TEXT   answer S with TEXT (404 defaults to
                                "not found\n"); "body" alone with no status
                                serves TEXT as the resource instead of a file
    "empty": true               200 with an empty body
    "redirect": LOCATION        302 (or "redirect_status") to LOCATION
    "ignore_range": true        200 with the whole resource despite Range
    "force_206": true           206 with the whole resource to a plain request
    "stall": SECONDS            sleep before answering; with "stall_after": K
                                first send the headers and K body bytes; the
                                rest follows after the sleep
    "drop_after": K             send the headers and K body bytes, then close
    "chunk": K, "chunk_delay": S
                                send the body K bytes at a time, sleeping S
                                seconds before each piece after the first
    "headers": {NAME: VALUE}    extra response headers
    "times": N                  the rule applies to the next N requests only

Control (not logged):
    POST /_control with a JSON object body, answered {"ok": true}:
        {"rules": {PATH: RULE or null}}   set or remove rules
        {"reset_rules": true}             remove all rules (applied first)
        {"clear_log": true}               empty the request log
    GET /_log answers the request log as a JSON list, oldest first, of
        {"method", "path", "query", "range" (null when absent), "status",
         "headers" (object)}; "status" is null until the answer is chosen.

--config FILE holds a JSON object in the same form as a /_control body and is
applied at start.
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

RANGE_PATTERN = re.compile(r"^bytes=(\d+)-(\d*)$")
DISCONNECTS = (BrokenPipeError, ConnectionResetError, ssl.SSLError, socket.timeout)


class ServerState:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.lock = threading.Lock()
        self.rules = {}
        self.log = []

    def apply(self, command):
        with self.lock:
            if command.get("reset_rules"):
                self.rules.clear()
            if command.get("clear_log"):
                self.log.clear()
            for path, rule in (command.get("rules") or {}).items():
                if rule is None:
                    self.rules.pop(path, None)
                else:
                    self.rules[path] = dict(rule)

    def record(self, entry):
        with self.lock:
            self.log.append(entry)

    def log_text(self):
        with self.lock:
            return json.dumps(self.log)

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
        if relative.startswith("..") or os.path.isabs(relative):
            return None
        full = os.path.join(self.root, relative)
        if not os.path.isfile(full):
            return None
        with open(full, "rb") as handle:
            return handle.read()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def version_string(self):
        return "test-https"

    def log_message(self, format, *args):
        pass

    @property
    def state(self):
        return self.server.state

    def do_POST(self):
        if self.path != "/_control":
            self.send_simple(404, b"not found\n")
            return
        length = int(self.headers.get("Content-Length") or 0)
        try:
            command = json.loads(self.rfile.read(length) or b"{}")
            self.state.apply(command)
        except (ValueError, AttributeError, TypeError) as error:
            self.send_simple(400, str(error).encode() + b"\n")
            return
        self.send_simple(200, b'{"ok": true}', "application/json")

    def do_GET(self):
        path, _, query = self.path.partition("?")
        if path == "/_log":
            self.send_simple(200, self.state.log_text().encode(), "application/json")
            return
        entry = {
            "method": "GET",
            "path": path,
            "query": query,
            "range": self.headers.get("Range"),
            "status": None,
            "headers": dict(self.headers.items()),
        }
        self.state.record(entry)
        try:
            self.answer(path, query, self.state.take_rule(path), entry)
        except DISCONNECTS:
            self.close_connection = True

    def answer(self, path, query, rule, entry):
        if "stall" in rule and "stall_after" not in rule:
            time.sleep(float(rule["stall"]))

        location = rule.get("redirect")
        chain = re.match(r"^/r/(\d+)(/.*)$", path)
        if location is None and chain and int(chain.group(1)) > 0:
            remaining = int(chain.group(1)) - 1
            location = chain.group(2) if remaining == 0 else "/r/%d%s" % (remaining, chain.group(2))
            if query:
                location += "?" + query
        if location is not None:
            entry["status"] = int(rule.get("redirect_status", 302))
            self.send_simple(entry["status"], b"", extra={"Location": location})
            return

        if "status" in rule:
            default = b"not found\n" if rule["status"] == 404 else b""
            body = rule["body"].encode() if "body" in rule else default
            entry["status"] = int(rule["status"])
            self.send_simple(entry["status"], body, extra=rule.get("headers"))
            return

        if rule.get("empty"):
            content = b""
        elif "body" in rule:
            content = rule["body"].encode()
        else:
            if chain:
                path = chain.group(2)
            content = self.state.read_file(path)
        if content is None:
            entry["status"] = 404
            self.send_simple(404, b"not found\n")
            return

        status, start, end = self.choose_range(rule, len(content))
        entry["status"] = status
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(end - start))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end - 1, len(content)))
        elif status == 416:
            self.send_header("Content-Range", "bytes */%d" % len(content))
        for name, value in (rule.get("headers") or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.send_body(content[start:end], rule)

    def choose_range(self, rule, size):
        """(status, first byte, end byte) of the answer."""
        match = RANGE_PATTERN.match(self.headers.get("Range") or "")
        if match and not rule.get("ignore_range"):
            start = int(match.group(1))
            end = int(match.group(2)) + 1 if match.group(2) else size
            if start >= size:
                return 416, 0, 0
            return 206, start, min(end, size)
        if rule.get("force_206") and size > 0:
            return 206, 0, size
        return 200, 0, size

    def send_body(self, body, rule):
        if "drop_after" in rule:
            self.wfile.write(body[: int(rule["drop_after"])])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if "stall" in rule and "stall_after" in rule:
            head = int(rule["stall_after"])
            self.wfile.write(body[:head])
            self.wfile.flush()
            time.sleep(float(rule["stall"]))
            body = body[head:]
        if "chunk" in rule:
            size = max(1, int(rule["chunk"]))
            for start in range(0, len(body), size):
                if start:
                    time.sleep(float(rule.get("chunk_delay", 0)))
                self.wfile.write(body[start:start + size])
                self.wfile.flush()
            return
        self.wfile.write(body)

    def send_simple(self, status, body, content_type="text/plain", extra=None):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
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
    parser.add_argument("--config")
    arguments = parser.parse_args()

    state = ServerState(arguments.root)
    if arguments.config:
        with open(arguments.config, encoding="utf-8") as handle:
            state.apply(json.load(handle))

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(arguments.cert, arguments.key)
    server = TlsServer(("127.0.0.1", arguments.port), context, state)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
