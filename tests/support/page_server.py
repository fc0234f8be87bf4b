"""Serves a page's files over HTTPS on loopback with a build's certificate,
for the demo (examples/demo/run.py) and the browser tests (tests/browser).

    server = serve_page(identity_dir, port, {"/index.html": path, ...})

Only the listed URL paths are served ("/" answers the file listed for
"/index.html"), never cached; /favicon.ico answers 204 and everything else
is 404. The server runs on
daemon threads; server.shutdown() stops it. Raises OSError when the port is
taken.
"""

import os
import ssl
import threading
import urllib.parse
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
         ".css": "text/css; charset=utf-8", ".json": "application/json"}

# The package of the page library and the URL path pages import it from.
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CLIENT_LIBRARY = ("/launcher-client.js", os.path.join(SOURCE, "client", "launcher-client.js"))


def tls_context(identity):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(os.path.join(identity, "chain.pem"), os.path.join(identity, "server.key"))
    return context


class PageHandler(SimpleHTTPRequestHandler):
    files = {}

    def send_head(self):
        path = urllib.parse.urlsplit(self.path).path
        if path == "/favicon.ico":  # asked for by browsers; none is no error
            self.send_response(204)
            self.end_headers()
            return None
        file = self.files.get("/index.html" if path == "/" else path)
        if file is None or not os.path.isfile(file):
            self.send_error(404)
            return None
        stream = open(file, "rb")
        self.send_response(200)
        self.send_header("Content-Type", TYPES.get(os.path.splitext(file)[1], "application/octet-stream"))
        self.send_header("Content-Length", str(os.fstat(stream.fileno()).st_size))
        self.end_headers()
        return stream

    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, format, *args):
        pass


def serve_page(identity, port, files):
    context = tls_context(identity)

    class Handler(PageHandler):
        pass
    Handler.files = dict(files)

    class Server(ThreadingHTTPServer):
        daemon_threads = True

        def get_request(self):
            sock, address = super().get_request()
            return context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address

        def handle_error(self, request, client_address):
            pass  # a browser dropping a connection is no news

    server = Server(("127.0.0.1", port), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server
