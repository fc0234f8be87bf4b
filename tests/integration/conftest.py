"""Fixtures for the integration suite: real launcher processes reached over
WSS, and a scriptable HTTPS server for the catalogue and the packages.

The bridge ports 11651-11655 and the catalogue port 11650 are fixed by the
build, so tests run one at a time and every launcher is killed at teardown.
"""

import asyncio
import base64
import collections
import hashlib
import http.client
import itertools
import json
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
import zlib
from pathlib import Path

import pytest
import websockets

SOURCE_DIR = Path(os.environ.get("LAUNCHER_SOURCE_DIR") or Path(__file__).resolve().parents[2])
BUILD_DIR = Path(os.environ.get("LAUNCHER_BUILD_DIR") or SOURCE_DIR / "build" / "test")
IDENTITY = BUILD_DIR / "identity"
TEST_MODULES = BUILD_DIR / "test-modules"
SERVER_SCRIPT = SOURCE_DIR / "tests" / "support" / "https_server.py"
ENTRY_TOOL = SOURCE_DIR / "tools" / "catalogue_entry.py"

BRIDGE_PORTS = list(range(11651, 11656))
CATALOGUE_PORT = 11650
SERVER_ORIGIN = "https://127.0.0.1:%d" % CATALOGUE_PORT
CATALOGUE_PATH = "/online/win.json"

# Generous: the suite also runs against a ThreadSanitizer build.
WAIT = 30.0


def wait_until(condition, what, timeout=WAIT, interval=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


def client_context():
    """Trusts the build's root alone, with full verification."""
    return ssl.create_default_context(cafile=str(IDENTITY / "root.pem"))


def port_listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def wait_ports_free(ports):
    wait_until(lambda: not any(port_listening(p) for p in ports),
               "ports %s to be free (another launcher or server running?)" % ports)


def sha512_hex(data):
    return hashlib.sha512(data).hexdigest()


def project_version():
    for line in (SOURCE_DIR / "CMakeLists.txt").read_text().splitlines():
        if line.startswith("project(launcher VERSION "):
            return ".".join(line.split()[2].split(".")[:3])
    raise AssertionError("no project version")


# ---- WebSocket client ----------------------------------------------------

class _EventLoop:
    """One asyncio loop on a thread of its own, so tests stay synchronous."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        threading.Thread(target=self.loop.run_forever, daemon=True).start()

    def run(self, coroutine, timeout=WAIT):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout)


_loop = None
_arrivals = itertools.count()


def event_loop():
    global _loop
    if _loop is None:
        _loop = _EventLoop()
    return _loop


class Message:
    """One frame as received; index orders arrivals across all clients."""

    def __init__(self, payload):
        self.index = next(_arrivals)
        self.time = time.monotonic()
        self.text = payload
        try:
            self.json = json.loads(payload) if isinstance(payload, str) else None
        except ValueError:
            self.json = None

    def __repr__(self):
        return "Message(%r)" % (self.text,)


def is_progress(data):
    return isinstance(data, dict) and set(data) == {"act", "result", "size", "total"}


def is_final(data):
    return (isinstance(data, dict) and set(data) == {"act", "error", "result"}
            and data["result"] == 2)


def is_install(message):
    return is_progress(message.json) or is_final(message.json)


class Client:
    """A WSS client; every received frame is kept, in order, until taken."""

    def __init__(self, port, path="/", host="127.0.0.1"):
        self._condition = threading.Condition()
        self._pending = collections.deque()
        self.received = []
        self.closed = False
        uri = "wss://%s:%d%s" % (host, port, path)
        self.ws = event_loop().run(self._open(uri))

    async def _open(self, uri):
        ws = await websockets.connect(uri, ssl=client_context(), compression=None,
                                      max_size=None, ping_interval=None,
                                      open_timeout=WAIT, close_timeout=5)
        asyncio.ensure_future(self._read(ws))
        return ws

    async def _read(self, ws):
        try:
            async for payload in ws:
                message = Message(payload)
                with self._condition:
                    self.received.append(message)
                    self._pending.append(message)
                    self._condition.notify_all()
        except websockets.ConnectionClosed:
            pass
        finally:
            with self._condition:
                self.closed = True
                self._condition.notify_all()

    def send(self, frame):
        """A str goes as a text frame, bytes as a binary one, else as JSON."""
        if not isinstance(frame, (str, bytes)):
            frame = json.dumps(frame)
        event_loop().run(self.ws.send(frame))

    def next(self, where=None, timeout=WAIT):
        """Takes the oldest pending message that satisfies where."""
        deadline = time.monotonic() + timeout
        with self._condition:
            while True:
                for message in self._pending:
                    if where is None or where(message):
                        self._pending.remove(message)
                        return message
                remaining = deadline - time.monotonic()
                if self.closed or remaining <= 0:
                    raise AssertionError("no message (closed=%s); pending: %r"
                                         % (self.closed, list(self._pending)[-5:]))
                self._condition.wait(remaining)

    def skip_to(self, where, timeout=WAIT):
        """Like next, but also drops what was pending before that message."""
        message = self.next(where, timeout)
        self.take(lambda m: m.index < message.index)
        return message

    def take(self, where=None):
        """Takes every pending message that satisfies where, at once."""
        with self._condition:
            taken = [m for m in self._pending if where is None or where(m)]
            for message in taken:
                self._pending.remove(message)
            return taken

    def quiet(self, seconds, where=None):
        """Asserts that no message (satisfying where) arrives within seconds."""
        time.sleep(seconds)
        unexpected = self.take(where)
        assert not unexpected, "unexpected messages: %r" % unexpected

    def call(self, request, **envelope):
        """Sends a request for the launcher and returns its reply (JSON)."""
        envelope["request"] = request
        self.send(envelope)
        act = request["act"]
        return self.next(lambda m: isinstance(m.json, dict) and m.json.get("act") == act
                         and not is_install(m)).json

    def load(self, module):
        return self.call({"act": "LOAD", "module": module})

    def ask(self, target, request, where=lambda m: not is_install(m)):
        """Sends a request to a module and returns the reply frame's text."""
        self.send({"target": target, "request": request})
        return self.next(where).text

    def install_messages(self, timeout=WAIT):
        """This client's install messages up to and including a final one."""
        messages = []
        while not messages or not is_final(messages[-1]):
            messages.append(self.next(is_install, timeout).json)
        return messages

    def wait_ready(self, expected=1):
        """Polls HELLO until the catalogue state leaves 0."""
        def settled():
            state = self.call({"act": "HELLO"})["ready"]
            return state if state != 0 else None
        state = wait_until(settled, "the catalogue fetch to end")
        assert state == expected
        return state

    def close(self):
        if not self.closed:
            try:
                event_loop().run(self.ws.close(), timeout=10)
            except Exception:
                pass


class RawWebSocket:
    """A bare WSS client for frame-level control (close while being ticked)."""

    def __init__(self, port, path="/"):
        sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        self.sock = client_context().wrap_socket(sock, server_hostname="127.0.0.1")
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n" % (path, port, key)).encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            assert chunk, "closed during the handshake"
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        assert head.startswith(b"HTTP/1.1 101"), head

    def send_frame(self, opcode, payload):
        mask = os.urandom(4)
        length = len(payload)
        if length < 126:
            header = struct.pack("!BB", 0x80 | opcode, 0x80 | length)
        elif length < 65536:
            header = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, length)
        else:
            header = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, length)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(header + mask + masked)

    def _read(self, count):
        while len(self.buffer) < count:
            try:
                chunk = self.sock.recv(65536)
            except (ssl.SSLError, ConnectionError):
                chunk = b""
            if not chunk:
                return None
            self.buffer += chunk
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def read_frame(self):
        """(opcode, payload), or None once the server has closed."""
        head = self._read(2)
        if head is None:
            return None
        length = head[1] & 0x7F
        if length == 126:
            length = struct.unpack("!H", self._read(2))[0]
        elif length == 127:
            length = struct.unpack("!Q", self._read(8))[0]
        payload = self._read(length) if length else b""
        return (head[0] & 0x0F, payload)

    def close(self):
        self.sock.close()


# ---- Launcher processes --------------------------------------------------

class Launcher:
    """A copy of the launcher executable in a directory of its own."""

    def __init__(self, base, name, made, executable=None):
        made.append(self)  # every one is killed at teardown
        self.made = made
        self.dir = base / name
        self.dir.mkdir()
        if executable is None:
            executable = self.dir / "launcher"
            shutil.copy2(BUILD_DIR / "launcher", executable)
        self.executable = executable
        self.modules = executable.parent / "modules"
        self.tmpdir = base / (name + "-tmp")
        self.tmpdir.mkdir()
        self.output = self.dir.parent / (name + ".log")
        self.proc = None
        self.port = None
        self.clients = []
        self.expect_exit = False

    def same_executable(self, name):
        """Another launcher started from this one's executable file."""
        return Launcher(self.dir.parent, name, self.made, self.executable)

    def preinstall(self, module, library=None):
        """Puts a test library into modules/ as module's library."""
        self.modules.mkdir(exist_ok=True)
        target = self.modules / (module + ".so")
        shutil.copy2(TEST_MODULES / ((library or module) + ".so"), target)
        return target

    def package_file(self, module):
        return self.tmpdir / module

    def start(self, port=BRIDGE_PORTS[0], tmpdir=None):
        """Starts it; with a port, returns once a WSS connect succeeds there."""
        env = dict(os.environ, TMPDIR=str(tmpdir or self.tmpdir))
        with open(self.output, "ab") as log:
            self.proc = subprocess.Popen([str(self.executable)], cwd=str(self.dir), env=env,
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        if port is None:
            return self
        self.port = port

        def serving():
            if self.proc.poll() is not None:
                raise AssertionError("launcher exited with %s: %s"
                                     % (self.proc.returncode, self.log_tail()))
            try:
                Client(port).close()
                return True
            except (OSError, asyncio.TimeoutError, websockets.InvalidHandshake):
                return False
        wait_until(serving, "the launcher to serve on %d" % port, interval=0.05)
        return self

    def connect(self, path="/", host="127.0.0.1"):
        client = Client(self.port, path, host)
        self.clients.append(client)
        return client

    def wait_exit(self):
        self.expect_exit = True
        return self.proc.wait(WAIT)

    def log_tail(self):
        try:
            return self.output.read_bytes()[-3000:].decode(errors="replace")
        except OSError:
            return ""

    def stop(self):
        """Kills it; reports an unexpected earlier exit (a crash, a sanitizer)."""
        for client in self.clients:
            client.close()
        self.clients = []
        if self.proc is None:
            return None
        died = self.proc.poll()
        if died is None:
            self.proc.kill()
            self.proc.wait(WAIT)
            self.expect_exit = True
            return None
        if self.expect_exit:
            return None
        self.expect_exit = True
        return "launcher in %s exited with %s:\n%s" % (self.dir, died, self.log_tail())


@pytest.fixture
def launcher(tmp_path):
    """Factory: launcher(start=True, port=11651) -> Launcher."""
    wait_ports_free(BRIDGE_PORTS)
    made = []
    names = itertools.count()

    def make(start=True, port=BRIDGE_PORTS[0]):
        instance = Launcher(tmp_path, "launcher%d" % next(names), made)
        if start:
            instance.start(port)
        return instance

    yield make
    problems = [p for p in (instance.stop() for instance in made) if p]
    wait_ports_free(BRIDGE_PORTS)
    if problems:
        pytest.fail("\n".join(problems))


# ---- Catalogue and package server ----------------------------------------

class CatalogueServer:
    """tests/support/https_server.py on port 11650 over a per-test root."""

    def __init__(self, base):
        self.root = base / "site"
        (self.root / "online").mkdir(parents=True)
        (self.root / "packages").mkdir()
        self.catalogue_file = self.root / "online" / "win.json"
        self.work = base / "packaging"
        self.work.mkdir()
        self.proc = None

    def start(self):
        wait_ports_free([CATALOGUE_PORT])
        self.proc = subprocess.Popen(
            [sys.executable, str(SERVER_SCRIPT), "--port", str(CATALOGUE_PORT),
             "--cert", str(IDENTITY / "chain.pem"), "--key", str(IDENTITY / "server.key"),
             "--root", str(self.root)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        assert line.strip() == "PORT %d" % CATALOGUE_PORT, "server did not start: %r" % line
        return self

    def stop(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait(WAIT)
            self.proc.stdout.close()
            self.proc = None

    def _exchange(self, method, path, body=None):
        connection = http.client.HTTPSConnection("127.0.0.1", CATALOGUE_PORT,
                                                 context=client_context(), timeout=WAIT)
        try:
            connection.request(method, path, body)
            response = connection.getresponse()
            assert response.status == 200, response.status
            return json.loads(response.read())
        finally:
            connection.close()

    def control(self, **command):
        self._exchange("POST", "/_control", json.dumps(command))

    def rule(self, path, rule):
        self.control(rules={path: rule})

    def requests(self, path):
        """Logged requests for path, oldest first."""
        return [entry for entry in self._exchange("GET", "/_log") if entry["path"] == path]

    # Packages and catalogue entries.

    def package(self, module, library=None, data=None):
        """Packs a test library as module.so into packages/module.7z (or
        stores data there instead); returns (package path, library path)."""
        source = self.work / module
        source.mkdir(exist_ok=True)
        library_path = source / (module + ".so")
        shutil.copy2(TEST_MODULES / ((library or module) + ".so"), library_path)
        package_path = self.root / "packages" / (module + ".7z")
        if data is not None:
            package_path.write_bytes(data)
        else:
            package_path.unlink(missing_ok=True)
            subprocess.run(["7zz", "a", "-t7z", "-bso0", "-bsp0", str(package_path),
                            library_path.name], cwd=str(source), check=True)
        return package_path, library_path

    def publish(self, module, library=None, data=None):
        """Packages a test library and merges its entry into the catalogue
        with the publisher's tool; returns the package's bytes."""
        package_path, library_path = self.package(module, library, data)
        subprocess.run([sys.executable, str(ENTRY_TOOL), "--catalogue", str(self.catalogue_file),
                        "--module", module, "--library", str(library_path),
                        "--package", str(package_path), "--url", self.url(module)], check=True)
        return package_path.read_bytes()

    @staticmethod
    def url(module):
        return SERVER_ORIGIN + CatalogueServer.package_path(module)

    @staticmethod
    def package_path(module):
        return "/packages/%s.7z" % module

    def catalogue(self):
        return json.loads(self.catalogue_file.read_text())

    def write_catalogue(self, document):
        if isinstance(document, (dict, list)):
            document = json.dumps(document, indent=1)
        if isinstance(document, str):
            document = document.encode()
        self.catalogue_file.write_bytes(document)

    def edit_latest(self, module, **fields):
        """Changes members of the module's latest version entry."""
        document = self.catalogue()
        entry = document[module]
        entry["versions"][entry["latest"]].update(fields)
        self.write_catalogue(document)

    def package_requests(self, module):
        return self.requests(self.package_path(module))


@pytest.fixture
def catalogue_site(tmp_path):
    """The server, not yet started."""
    wait_ports_free([CATALOGUE_PORT])
    server = CatalogueServer(tmp_path)
    yield server
    server.stop()


@pytest.fixture
def catalogue_server(catalogue_site):
    return catalogue_site.start()


# ---- Crafted packages ----------------------------------------------------

def escaping_package(work, good_name, good_bytes, evil_name):
    """A 7z archive holding good_name and an entry named evil_name, which 7zz
    refuses to store: a placeholder of the same length is packed and renamed
    in the uncompressed header, whose CRCs are then redone."""
    source = work / "escaping"
    source.mkdir()
    placeholder = "z" * len(evil_name)
    (source / good_name).write_bytes(good_bytes)
    (source / placeholder).write_bytes(b"evil")
    archive = work / "escaping.7z"
    subprocess.run(["7zz", "a", "-t7z", "-ms=off", "-mhc=off", "-bso0", "-bsp0", str(archive),
                    good_name, placeholder], cwd=str(source), check=True)
    data = bytearray(archive.read_bytes())
    wide_from = placeholder.encode("utf-16-le")
    at = data.rfind(wide_from)
    assert at >= 0
    data[at:at + len(wide_from)] = evil_name.encode("utf-16-le")
    # Start header: StartHeaderCRC at 8 over bytes 12..31, NextHeaderOffset
    # (from byte 32) at 12, NextHeaderSize at 20, NextHeaderCRC at 28.
    offset, size = struct.unpack_from("<QQ", data, 12)
    assert 32 + offset + size == len(data)
    struct.pack_into("<I", data, 28, zlib.crc32(data[32 + offset:32 + offset + size]))
    struct.pack_into("<I", data, 8, zlib.crc32(data[12:32]))
    return bytes(data)
