"""Proxies: the launcher reaches the catalogue host through the proxy that
its user's settings name (Windows: Internet Options, which the test writes
where WinHTTP reads them; Linux: https_proxy and no_proxy), through a proxy
script where Windows has one, and directly where the bypass list says so.

The proxy is tinyproxy, whose own log shows each CONNECT. The catalogue
server stays reachable directly, so a launcher that ignored the settings
would still fetch: the proof is that a fetch fails while the named proxy is
down, and succeeds through it once it is up.
"""

import os
import re
import shutil
import struct
import subprocess
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import CATALOGUE_HOST, CATALOGUE_PORT, WAIT, WINDOWS, wait_until

PROXY_PORT = 11670
PROXY = "127.0.0.1:%d" % PROXY_PORT
CATALOGUE_AUTHORITY = "%s:%d" % (CATALOGUE_HOST, CATALOGUE_PORT)
OK = {"act": "LOAD", "error": 0, "result": 2}


class TinyProxy:
    """tinyproxy on PROXY_PORT, allowed to tunnel to the catalogue's port."""

    def __init__(self, base):
        self.log = base / "tinyproxy.log"
        self.config = base / "tinyproxy.conf"
        self.config.write_text(
            'Port %d\nListen 127.0.0.1\nTimeout 30\nLogFile "%s"\nLogLevel Info\n'
            "MaxClients 20\nAllow 127.0.0.1\nConnectPort %d\n"
            % (PROXY_PORT, self.log, CATALOGUE_PORT))
        self.output = base / "tinyproxy.out"
        self.proc = None

    def start(self):
        with open(self.output, "ab") as output:
            self.proc = subprocess.Popen(["tinyproxy", "-d", "-c", str(self.config)],
                                         stdin=subprocess.DEVNULL, stdout=output, stderr=output)
        wait_until(lambda: "Accepting connections" in self.read_log(), "tinyproxy to listen")

    def stop(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait(WAIT)

    def read_log(self):
        return self.log.read_text(errors="replace") if self.log.exists() else ""

    def tunnels(self):
        """The targets of the CONNECT requests it received, oldest first."""
        return re.findall(r"Request \(file descriptor \d+\): CONNECT (\S+)", self.read_log())


@pytest.fixture
def proxy(tmp_path):
    if shutil.which("tinyproxy") is None:
        pytest.skip("tinyproxy is not installed (scripts/setup --windows installs it)")
    server = TinyProxy(tmp_path)
    yield server
    server.stop()


CONNECTIONS_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"


def connection_settings(server, bypass, script):
    """Internet Options' DefaultConnectionSettings value, which WinHTTP reads:
    version 0x46, a change counter, the flags (1 direct, 2 fixed proxy,
    4 script), then the proxy, the bypass list and the script's URL, each
    after its 32-bit length."""
    flags = 1 | (2 if server else 0) | (4 if script else 0)
    value = struct.pack("<III", 0x46, 1, flags)
    for text in (server, bypass, script):
        data = (text or "").encode("ascii")
        value += struct.pack("<I", len(data)) + data
    return value + bytes(32)


def wine_reg(tmp_path, *arguments):
    with open(tmp_path / "reg.log", "ab") as log:
        return subprocess.run([os.environ.get("LAUNCHER_WINE", "/usr/lib/wine/wine64"), "reg",
                               *arguments], stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                              env=dict(os.environ, WINEDEBUG="-all"), timeout=WAIT).returncode


@pytest.fixture
def proxy_settings(tmp_path, monkeypatch):
    """Sets the user's proxy settings for launchers started afterwards."""
    for name in ("https_proxy", "HTTPS_PROXY", "http_proxy", "all_proxy", "ALL_PROXY",
                 "no_proxy", "NO_PROXY"):
        monkeypatch.delenv(name, raising=False)

    def apply(server=None, bypass=None, script=None):
        if WINDOWS:
            assert wine_reg(tmp_path, "add", CONNECTIONS_KEY, "/v", "DefaultConnectionSettings",
                            "/t", "REG_BINARY", "/d",
                            connection_settings(server, bypass, script).hex(), "/f") == 0
            return
        if script:
            pytest.skip("a proxy script is a Windows setting")
        if server:
            monkeypatch.setenv("https_proxy", "http://" + server)
        if bypass:
            monkeypatch.setenv("no_proxy", bypass)

    yield apply
    if WINDOWS:
        wine_reg(tmp_path, "delete", CONNECTIONS_KEY, "/v", "DefaultConnectionSettings", "/f")


@pytest.fixture
def script_server():
    """Serves /proxy.pac over plain HTTP on loopback, counting requests."""
    class Handler(BaseHTTPRequestHandler):
        requests = []
        script = b""

        def do_GET(self):
            Handler.requests.append(self.path)
            self.send_response(200)
            self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
            self.send_header("Content-Length", str(len(Handler.script)))
            self.end_headers()
            self.wfile.write(Handler.script)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    server.url = "http://127.0.0.1:%d/proxy.pac" % server.server_address[1]
    server.handler = Handler
    yield server
    server.shutdown()
    server.server_close()


def fetch_only_through(proxy, launcher, catalogue_server):
    """While the proxy is down the fetch fails; once it is up the catalogue
    and a package come through it."""
    catalogue_server.publish("echo")
    client = launcher().connect()
    client.wait_ready(-1)
    assert proxy.tunnels() == []
    proxy.start()
    assert client.call({"act": "INITMC"}) == {"act": "INITMC"}
    client.wait_ready(1)
    assert client.load("echo") == {"act": "LOAD", "result": 2}
    assert client.install_messages()[-1] == OK
    assert proxy.tunnels() == [CATALOGUE_AUTHORITY] * 2


def test_fixed_proxy_carries_every_transfer(launcher, catalogue_server, proxy, proxy_settings):
    # Bypass entries that do not name the catalogue's host leave it proxied.
    proxy_settings(server=PROXY,
                   bypass=("*.example;localhost:1;http://localhost" if WINDOWS
                           else "other.example"))
    fetch_only_through(proxy, launcher, catalogue_server)


def test_proxy_script_chooses_the_proxy(launcher, catalogue_server, proxy, proxy_settings,
                                        script_server):
    script_server.handler.script = (
        'function FindProxyForURL(url, host) {\n'
        '  if (shExpMatch(url, "https://%s/*")) return "PROXY %s";\n'
        '  return "DIRECT";\n}\n' % (CATALOGUE_AUTHORITY, PROXY)).encode()
    # The fixed proxy is what a script that cannot be reached would leave.
    proxy_settings(server="127.0.0.1:9", script=script_server.url)
    fetch_only_through(proxy, launcher, catalogue_server)
    assert script_server.handler.requests[:1] == ["/proxy.pac"]


@pytest.mark.parametrize("bypass", ["<local>", "*.example; LOCAL*:%d" % CATALOGUE_PORT]
                         if WINDOWS else [CATALOGUE_HOST])
def test_bypassed_host_is_reached_directly(launcher, catalogue_server, proxy, proxy_settings,
                                           bypass):
    proxy.start()
    catalogue_server.publish("echo")
    proxy_settings(server=PROXY, bypass=bypass)
    client = launcher().connect()
    client.wait_ready(1)
    assert client.load("echo") == {"act": "LOAD", "result": 2}
    assert client.install_messages()[-1] == OK
    assert proxy.tunnels() == []
