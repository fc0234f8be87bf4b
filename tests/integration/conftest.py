"""Fixtures for the integration suite: real launcher processes reached over
WSS, and a scriptable HTTPS server for the catalogue and the packages.

The launcher under test is the build's test launcher (test-launcher/ in the
build directory): the product's code built with these servers' settings,
which test-launcher/settings.json records; test-launcher/signed/ holds the
same launcher with the test keys that sign catalogues built in. The bridge ports 11651-11655 and
the catalogue port 11650 are fixed, so tests run one at a time and every
launcher is killed at teardown.

A Windows build (one with launcher.exe) runs under wine: WINEPREFIX names a
prefix made for the run (scripts/wine_prefix), LAUNCHER_WINE the wine loader
for the build's architecture. Launchers run as the prefix's user.
"""

import asyncio
import base64
import collections
import hashlib
import http.client
import itertools
import json
import os
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path, PureWindowsPath

import pytest
import websockets

SOURCE_DIR = Path(os.environ.get("LAUNCHER_SOURCE_DIR") or Path(__file__).resolve().parents[2])
BUILD_DIR = Path(os.environ.get("LAUNCHER_BUILD_DIR") or SOURCE_DIR / "build" / "test")
TEST_LAUNCHER = BUILD_DIR / "test-launcher"
if not (TEST_LAUNCHER / "settings.json").exists():
    pytest.exit("%s holds no test launcher: build %s with its tests (LAUNCHER_TESTS=ON)"
                % (TEST_LAUNCHER, BUILD_DIR), returncode=2)
SETTINGS = json.loads((TEST_LAUNCHER / "settings.json").read_text())
IDENTITY = Path(SETTINGS["identity"])
TEST_MODULES = BUILD_DIR / "test-modules"
WINDOWS = (TEST_LAUNCHER / "launcher.exe").exists()
EXECUTABLE = "launcher.exe" if WINDOWS else "launcher"
LIBRARY = ".dll" if WINDOWS else ".so"
# Certificate names match through DNS entries only, under wine and with
# libcurl over mbedTLS alike.
CATALOGUE_HOST = "localhost"

BRIDGE_PORTS = list(range(11651, 11656))
CATALOGUE_PORT = 11650
CATALOGUE_PATH = "/online/win.json"

# Generous: the suite also runs against a ThreadSanitizer build, and under
# emulated wine.
WAIT = float(os.environ.get("LAUNCHER_TEST_WAIT", "30"))


def wait_until(condition, what, timeout=WAIT, interval=0.02):
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)
    return value


def client_context():
    """Trusts the build's root alone, with full verification."""
    return ssl.create_default_context(cafile=str(IDENTITY / "root.pem"))


def wait_ports_free(ports):
    def listening(port):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False
    wait_until(lambda: not any(listening(p) for p in ports),
               "ports %s to be free (another launcher or server running?)" % ports)


def sha512_hex(data):
    return hashlib.sha512(data).hexdigest()


def page_origin():
    """The one origin the test launcher lets in."""
    return SETTINGS["page_origin"]


def project_version():
    for line in (SOURCE_DIR / "CMakeLists.txt").read_text().splitlines():
        if line.startswith("project(launcher VERSION "):
            return ".".join(line.split()[2].split(".")[:3])
    raise AssertionError("no project version")


# ---- WebSocket clients ---------------------------------------------------

# One asyncio loop on a thread of its own, so tests stay synchronous.
_loop = asyncio.new_event_loop()
threading.Thread(target=_loop.run_forever, daemon=True).start()
_arrivals = itertools.count()


def run(coroutine, timeout=WAIT):
    return asyncio.run_coroutine_threadsafe(coroutine, _loop).result(timeout)


class Message:
    """One frame as received; index orders arrivals across all clients."""

    def __init__(self, payload):
        self.index = next(_arrivals)
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
    return isinstance(data, dict) and set(data) == {"act", "error", "result"} and data["result"] == 2


def is_install(message):
    return is_progress(message.json) or is_final(message.json)


class Client:
    """A WSS client; every received frame is kept, in order, until taken."""

    def __init__(self, port, path="/", host="127.0.0.1"):
        self._condition = threading.Condition()
        self._pending = collections.deque()
        self.received = []
        self.closed = False
        self.ws = run(self._open("wss://%s:%d%s" % (host, port, path)))

    async def _open(self, uri):
        ws = await websockets.connect(uri, ssl=client_context(), origin=page_origin(),
                                      compression=None, max_size=None,
                                      ping_interval=None, open_timeout=WAIT, close_timeout=5)
        asyncio.ensure_future(self._read(ws))
        return ws

    async def _read(self, ws):
        try:
            async for payload in ws:
                with self._condition:
                    message = Message(payload)
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
        run(self.ws.send(frame if isinstance(frame, (str, bytes)) else json.dumps(frame)))

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

    def skip_to(self, where):
        """Like next, but also drops what was pending before that message."""
        message = self.next(where)
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

    def call(self, request):
        """Sends a request for the launcher and returns its reply (JSON)."""
        self.send({"request": request})
        return self.next(lambda m: isinstance(m.json, dict) and m.json.get("act") == request["act"]
                         and not is_install(m)).json

    def load(self, module):
        return self.call({"act": "LOAD", "module": module})

    def ask(self, target, request):
        """Sends a request to a module and returns the reply frame's text."""
        self.send({"target": target, "request": request})
        return self.next(lambda m: not is_install(m)).text

    def install_messages(self):
        """This client's install messages up to and including a final one."""
        messages = []
        while not messages or not is_final(messages[-1]):
            messages.append(self.next(is_install).json)
        return messages

    def wait_ready(self, expected=1):
        """Polls HELLO until the catalogue state leaves 0."""
        state = wait_until(lambda: self.call({"act": "HELLO"})["ready"] or None,
                           "the catalogue fetch to end")
        assert state == expected

    def close(self):
        try:
            run(self.ws.close(), timeout=10)
        except Exception:
            pass


class RawWebSocket:
    """A bare WSS client for frame-level control (close while being ticked)."""

    def __init__(self, port, origin=None, context=None, session=None):
        sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        origin = origin or page_origin()
        self.sock = (context or client_context()).wrap_socket(
            sock, server_hostname="127.0.0.1", session=session)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                           "Sec-WebSocket-Version: 13\r\n%s\r\n"
                           % (key, "Origin: %s\r\n" % origin if origin else "")).encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            self.buffer += self.sock.recv(4096) or pytest.fail("closed during the handshake")
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        assert head.startswith(b"HTTP/1.1 101"), head

    def send_frame(self, opcode, payload):
        """A masked frame of fewer than 126 bytes."""
        mask = os.urandom(4)
        self.sock.sendall(struct.pack("!BB", 0x80 | opcode, 0x80 | len(payload)) + mask
                          + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

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
        """(opcode, payload) of an unmasked frame, or None once the server has
        closed; a frame the connection's end cut short has payload None, and
        is the last."""
        if self.buffer is None:
            return None
        head = self._read(2)
        if head is None:
            return None
        length = head[1] & 0x7F
        if length >= 126:
            width = 2 if length == 126 else 8
            extended = self._read(width)
            length = int.from_bytes(extended, "big") if extended is not None else None
        payload = self._read(length) if length else (b"" if length == 0 else None)
        if payload is None:
            self.buffer = None
        return (head[0] & 0x0F, payload)


# ---- Launcher processes --------------------------------------------------

def library_name(module):
    return module + LIBRARY


def for_another_machine(library):
    """The library's bytes marked for a machine this process cannot run
    (AArch64 for ELF, ARM64 for PE)."""
    data = bytearray(library)
    if data[:2] == b"MZ":
        machine = struct.unpack_from("<I", data, 0x3C)[0] + 4
        data[machine:machine + 2] = (0xAA64).to_bytes(2, "little")
    else:
        data[18:20] = (183).to_bytes(2, "little")
    return bytes(data)


def wine_registry_value(hive, key, name):
    """A string value as the prefix's registry file (user.reg, system.reg)
    holds it, key written as there (in any case); None when it is not there."""
    assert os.environ.get("WINEPREFIX"), "a Windows build runs under wine: set WINEPREFIX"
    lines = iter((Path(os.environ["WINEPREFIX"]) / hive).read_text(errors="replace").splitlines())
    for line in lines:
        if line.lower().startswith("[%s]" % key.lower()):
            for line in itertools.takewhile(bool, lines):
                if line.startswith('"%s"=' % name):
                    text = re.sub(r"^(str\(\d\):)?\"|\"$", "", line.partition("=")[2])
                    # Wine escapes what is not ASCII as \x and up to four hex digits.
                    return re.sub(r"\\(x[0-9a-fA-F]{1,4}|.)", lambda m: chr(int(m[1][1:], 16))
                                  if len(m[1]) > 1 else m[1], text)
    return None


def wine_temp_directory():
    """The prefix's temporary directory: wine takes TMP and TEMP from the
    prefix's registry, which names the folder in its user's profile, not
    from the environment."""
    temp = PureWindowsPath(wine_registry_value("user.reg", "Environment", "TEMP"))
    return Path(os.environ["WINEPREFIX"], "drive_c", *temp.parts[1:])


def wine_profile():
    """The profile folder of the prefix's user (C:\\users\\<user>), whose
    name the launchers run with."""
    return wine_temp_directory().parent


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def start_windows_tool(name, arguments, output):
    """Starts one of the tests/windows helpers under wine, output to a file."""
    with open(output, "ab") as log:
        return subprocess.Popen(
            [os.environ.get("LAUNCHER_WINE", "/usr/lib/wine/wine64"),
             str(BUILD_DIR / "test-tools" / (name + ".exe")), *arguments],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log,
            env=dict(os.environ, WINEDEBUG="-all"))


def launch(executable, cwd, output, tmpdir=None):
    """Starts a launcher (under wine for a Windows build), output to a file:
    wine's services would keep a pipe open."""
    if WINDOWS:
        command = [os.environ.get("LAUNCHER_WINE", "/usr/lib/wine/wine64"), str(executable)]
        # Wine reads names from the host as UTF-8 in this locale.
        env = dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"),
                   USER=wine_profile().name, LC_ALL="C.UTF-8")
    else:
        command = [str(executable)]
        # The single-instance lock's directory: shared by the launchers of
        # one test, so that their lock files go with the test's.
        env = dict(os.environ, TMPDIR=str(tmpdir), XDG_RUNTIME_DIR=str(Path(cwd).parent))
    with open(output, "ab") as log:
        return subprocess.Popen(command, cwd=str(cwd), env=env, stdin=subprocess.DEVNULL,
                                stdout=log, stderr=log)


class Launcher:
    """A copy of the launcher executable in a directory of its own."""

    def __init__(self, base, name, made, executable=None, source=TEST_LAUNCHER):
        made.append(self)  # every one is killed at teardown
        self.made = made
        self.dir = base / name
        self.dir.mkdir()
        if executable is None:
            executable = self.dir / EXECUTABLE
            shutil.copy2(source / EXECUTABLE, executable)
        self.executable = executable
        self.modules = executable.parent / "modules"
        if WINDOWS:
            self.tmpdir = wine_temp_directory()
        else:
            self.tmpdir = base / (name + "-tmp")
            self.tmpdir.mkdir()
        self.output = base / (name + ".log")
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
        target = self.modules / library_name(module)
        shutil.copy2(TEST_MODULES / library_name(library or module), target)
        return target

    def has_loaded(self, module):
        """Whether the process maps module's library (as its file names it)."""
        mapped = (Path("/proc") / str(self.proc.pid) / "maps").read_text()
        return str(self.modules / library_name(module)) in mapped

    def package_file(self, module):
        return self.tmpdir / module

    def start(self, port=BRIDGE_PORTS[0], tmpdir=None):
        """Starts it; with a port, returns once a WSS connect succeeds there."""
        self.proc = launch(self.executable, self.dir, self.output, tmpdir or self.tmpdir)
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
        self.clients.append(Client(self.port, path, host))
        return self.clients[-1]

    def request_stop(self):
        """Asks it to stop as the installer does: through its event under
        wine (tests/windows/stop_launcher.c), else with SIGTERM."""
        if not WINDOWS:
            self.proc.send_signal(signal.SIGTERM)
            return
        path = windows_path(self.executable)
        asked = start_windows_tool("stop_launcher", [path], self.output).wait(WAIT)
        assert asked == 0, "no launcher from %s was asked to stop" % path

    def wait_exit(self):
        self.expect_exit = True
        return self.proc.wait(WAIT)

    def log_tail(self):
        return self.output.read_bytes()[-3000:].decode(errors="replace")

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
        unexpected = died is not None and not self.expect_exit
        self.expect_exit = True
        if unexpected:
            return "launcher in %s exited with %s:\n%s" % (self.dir, died, self.log_tail())
        # Under wine a fault may leave the process alive: the debugger
        # prints its report and the kill above ends both.
        fault = wine_fault(self.output)
        return "launcher in %s faulted:\n%s" % (self.dir, fault) if fault else None


def wine_fault(log):
    """What wine's debugger printed about a process's unhandled exception
    into that process's log, or None."""
    text = log.read_bytes().decode(errors="replace") if log.exists() else ""
    at = text.find("Unhandled ")
    return text[at:at + 4000] if at >= 0 else None


@pytest.fixture
def launcher(tmp_path):
    """Factory: launcher(start=True, port=11651, home=None, signed=False) ->
    Launcher, in a folder of its own under home (made, and removed at
    teardown); a signed one holds the catalogue keys."""
    wait_ports_free(BRIDGE_PORTS)
    if WINDOWS:
        # One temporary directory for every launcher under the prefix.
        shutil.rmtree(wine_temp_directory(), ignore_errors=True)
        wine_temp_directory().mkdir(parents=True)
    made = []
    homes = []
    names = itertools.count()

    def make(start=True, port=BRIDGE_PORTS[0], home=None, signed=False):
        if home is not None:
            home.mkdir(parents=True, exist_ok=True)
            homes.append(home)
        instance = Launcher(home or tmp_path, "launcher%d" % next(names), made,
                            source=TEST_LAUNCHER / "signed" if signed else TEST_LAUNCHER)
        return instance.start(port) if start else instance

    yield make
    problems = [p for p in (instance.stop() for instance in made) if p]
    wait_ports_free(BRIDGE_PORTS)
    for home in homes:
        shutil.rmtree(home, ignore_errors=True)
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
            [sys.executable, str(SOURCE_DIR / "tests" / "support" / "https_server.py"),
             "--port", str(CATALOGUE_PORT), "--cert", str(IDENTITY / "chain.pem"),
             "--key", str(IDENTITY / "server.key"), "--root", str(self.root)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        assert line.strip() == "PORT %d" % CATALOGUE_PORT, "server did not start: %r" % line
        return self

    def stop(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait(WAIT)
            self.proc.stdout.close()

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

    def rule(self, path, rule):
        self._exchange("POST", "/_control", json.dumps({"rules": {path: rule}}))

    def requests(self, path):
        """Logged requests for path, oldest first."""
        return [entry for entry in self._exchange("GET", "/_log") if entry["path"] == path]

    def package_requests(self, module):
        return self.requests("/packages/%s.7z" % module)

    def publish(self, module, library=None, data=None, methods=()):
        """Packs a test library (by name, or a path) as module's library into
        packages/module.7z (with 7zz's method options, or stores data there
        instead) and merges its entry into the catalogue with the publisher's
        tool; returns the package's bytes."""
        source = self.work / module
        source.mkdir(exist_ok=True)
        library_path = source / library_name(module)
        shutil.copy2(library if isinstance(library, Path)
                     else TEST_MODULES / library_name(library or module), library_path)
        package = self.root / "packages" / (module + ".7z")
        if data is not None:
            package.write_bytes(data)
        else:
            package.unlink(missing_ok=True)
            subprocess.run(["7zz", "a", "-t7z", "-bso0", "-bsp0", *methods, str(package),
                            library_path.name], cwd=str(source), check=True)
        subprocess.run([sys.executable, str(SOURCE_DIR / "tools" / "catalogue_entry.py"),
                        "--catalogue", str(self.catalogue_file), "--module", module,
                        "--library", str(library_path), "--package", str(package),
                        "--url", "https://%s:%d/packages/%s.7z" % (CATALOGUE_HOST, CATALOGUE_PORT, module)],
                       check=True)
        return package.read_bytes()

    def catalogue(self):
        return json.loads(self.catalogue_file.read_text(encoding="utf-8"))

    def write_catalogue(self, document):
        if not isinstance(document, str):
            document = json.dumps(document, indent=1)
        self.catalogue_file.write_text(document, encoding="utf-8")

    def edit_latest(self, module, **fields):
        """Changes members of the module's latest version entry."""
        document = self.catalogue()
        entry = document[module]
        entry["versions"][entry["latest"]].update(fields)
        self.write_catalogue(document)


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
