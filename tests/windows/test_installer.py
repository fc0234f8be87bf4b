"""The per-user installer under wine, in a prefix of its own: a silent
install of an older version with another root, the build's installer over
the running one, a launcher that updates itself from its signed catalogue,
and the uninstaller. The product's is the i686 build's,
under 32-bit wine; the x86_64 twin's is a 64-bit installer of the same
script, for hosts that run no 32-bit code.

    LAUNCHER_BUILD_DIR=<Windows build> LAUNCHER_SOURCE_DIR=<source> \\
        LAUNCHER_WINE=<wine loader> /usr/bin/python3 -m pytest -q tests/windows/test_installer.py

Each step starts processes of the build's machine, so the steps share one
prefix and run as one scenario.
"""

import argparse
import asyncio
import functools
import hashlib
import importlib.util
import json
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import time
from pathlib import Path

import pytest
import websockets

SOURCE = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location(
    "integration_harness", SOURCE / "tests" / "integration" / "conftest.py")
harness = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(harness)
sys.path.insert(0, str(SOURCE / "tools"))
import sign_image  # noqa: E402

BUILD = harness.BUILD_DIR
# The product's own identity, whose root the installer carries.
IDENTITY = BUILD / "identity"
WINE = os.environ.get("LAUNCHER_WINE", "/usr/lib/wine/wine")
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
INSTALLED_FILES = {"launcher.exe", "root.crt", "uninstall.exe"}
FIREFOX_LINE = b'user_pref("security.enterprise_roots.enabled", true); // added by '
# A user's own user.js whose last line has no end, in UTF-8 that no ANSI
# code page holds.
USER_PREFS = ('// Grüße, Привет, 日本語\r\nuser_pref("browser.startup.page", 3);\r\n'
              'user_pref("general.smoothScroll", false);').encode()
# A profile where the user turned the system's roots off in about:config.
TURNED_OFF = b'user_pref("security.enterprise_roots.enabled", false);\n'
# The machine policy that makes Windows ignore the roots users add.
PROTECTED_ROOTS = "HKLM\\Software\\Policies\\Microsoft\\SystemCertificates\\Root\\ProtectedRoots"

# Wine's display driver writes its adapter's date anew in every session.
SESSION_KEY = re.compile(r"System\\\\CurrentControlSet\\\\Control\\\\Class\\\\{4D36E968-")

pytestmark = pytest.mark.skipif(not (BUILD / "launcher.exe").exists(),
                                reason="needs a Windows build")


class Prefix:
    """A fresh wine prefix; its processes are ended and it is removed at
    teardown."""

    def __init__(self, path):
        self.path = path
        shutil.rmtree(path, ignore_errors=True)
        subprocess.run([str(SOURCE / "scripts" / "wine_prefix"), str(path)], check=True)
        self.env = dict(os.environ, WINEPREFIX=str(path), WINEDEBUG="-all")
        self.log = path.parent / (path.name + ".log")
        user = os.environ.get("USER", "root")
        self.profile = path / "drive_c" / "users" / user
        self.windows_profile = "C:\\users\\" + user

    def run(self, *command, loader=WINE):
        with open(self.log, "ab") as log:  # never a pipe: wine's services keep it open
            return subprocess.run([loader, *command], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=log, timeout=harness.WAIT * 4).returncode

    def wait_idle(self):
        """Waits for every process to end and the registry to reach its files."""
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=harness.WAIT * 2, check=True)

    def kill(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, timeout=harness.WAIT)

    def registry_value(self, key, name):
        """The value's data as reg.exe prints it, or None."""
        output = self.path / "reg-query.txt"
        with open(output, "wb") as stream:
            subprocess.run([WINE64, "reg", "query", key, "/v", name], env=self.env,
                           stdin=subprocess.DEVNULL, stdout=stream, stderr=subprocess.DEVNULL,
                           timeout=harness.WAIT)
        for line in output.read_text(errors="replace").splitlines():
            match = re.match(r"\s*(.+?)\s+REG_[A-Z_]+\s+(.*)$", line)
            if match and match.group(1) == name:
                return match.group(2)
        return None

    def has_key(self, key):
        return self.run("reg", "query", key, loader=WINE64) == 0

    def snapshot(self):
        """Every file of drive_c and every registry key with its values, but
        for what changes without the installer's doing: the temporary folders
        (the uninstaller runs from a copy there, which Windows deletes at the
        next start), the certificate stores' empty folders that crypt32 makes
        on first use and the folders and settings that the first signature
        check makes (Windows has them from the start), and what wine
        rewrites at every session."""
        files = {}
        drive = self.path / "drive_c"
        for path in drive.rglob("*"):
            relative = path.relative_to(drive).as_posix()
            if re.search(r"^users/[^/]+/Temp(/|$)|^windows/temp(/|$)", relative, re.I):
                continue
            if path.is_dir() and re.search(
                    r"^users/[^/]+/AppData/LocalLow(/Microsoft(/CryptnetUrlCache(/[^/]+)?)?)?$",
                    relative):
                continue
            files[relative] = (hashlib.sha256(path.read_bytes()).hexdigest()
                               if path.is_file() and not path.is_symlink() else "dir")
        registry = {}
        for name in ("system.reg", "user.reg", "userdef.reg"):
            key = None
            text = (self.path / name).read_text(errors="replace").replace("\\\n  ", "")
            for line in text.splitlines():
                if line.startswith("["):
                    key = name + ":" + line[1:line.rindex("]")]
                    registry[key] = set()
                elif key and line and not line.startswith("#"):
                    registry[key].add(line)
        for key, values in list(registry.items()):
            if (("\\SystemCertificates" in key and not values)
                    or SESSION_KEY.match(key.split(":", 1)[1])
                    or re.search(r"\\Wintrust\\+Trust Providers\\+Software Publishing$", key)):
                del registry[key]
            else:
                registry[key] = {v for v in values if not deletion_at_restart(v)}
        return files, registry


def deletion_at_restart(line):
    """Whether a registry line asks Windows to delete only temporary
    folders' files at its next start."""
    name, _, data = line.partition("=str(7):")
    parts = [part for part in data.strip('"').split("\\0") if part]
    return name == '"PendingFileRenameOperations"' and all(
        re.search(r"^\\\\\?\?\\\\C:\\\\users\\\\[^\\]+\\\\Temp\\\\", part) for part in parts)


def differences(before, after):
    lines = []
    for name, old, new in zip(("file", "key"), before, after):
        for item in sorted(old.keys() | new.keys()):
            if old.get(item) != new.get(item):
                lines.append("%s %s: %s -> %s" % (name, item, old.get(item), new.get(item)))
    return lines


def launcher_pids(executable):
    """Host processes of the launcher started from that Windows path."""
    pids = set()
    for proc in Path("/proc").iterdir():
        try:
            command = (proc / "cmdline").read_bytes()
        except OSError:
            continue
        if proc.name.isdigit() and command.split(b"\0")[0].decode(errors="replace").lower() \
                == executable.lower():
            pids.add(int(proc.name))
    return pids


def refused_upgrade():
    """The installed launcher's answer to a WebSocket upgrade, once it takes
    TLS connections. It serves only its own user's processes, and wine shows
    this native client without a Windows owner: so the answer must be a
    connection closed without a reply (b""), which also shows that the
    product's check is on."""
    context = ssl.create_default_context(cafile=str(IDENTITY / "root.pem"))
    context.check_hostname = False
    request = (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
               b"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
               b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")

    context.options |= ssl.OP_IGNORE_UNEXPECTED_EOF

    def answer():
        try:
            raw = socket.create_connection(("127.0.0.1", harness.BRIDGE_PORTS[0]), timeout=5)
            tls = context.wrap_socket(raw)
        except OSError:
            return None
        with tls:
            try:
                tls.sendall(request)
                return [tls.recv(4096)]
            except OSError:  # a reset closes it without a reply too
                return [b""]
    return harness.wait_until(answer, "the installed launcher to take connections",
                              interval=0.2)[0]


@pytest.fixture
def prefix():
    harness.wait_ports_free(harness.BRIDGE_PORTS)
    made = Prefix(BUILD / "installer-wine")
    yield made
    made.kill()
    # 1.3 GB; its log stays beside it.
    shutil.rmtree(made.path, ignore_errors=True)


@functools.lru_cache(maxsize=None)
def build_settings():
    """The product build's cache: name to value, as text."""
    settings = {}
    for line in (BUILD / "CMakeCache.txt").read_text().splitlines():
        if ":" in line and "=" in line and not line.startswith(("#", "//")):
            settings[line.split(":", 1)[0]] = line.split("=", 1)[1]
    return settings


def make_installer(output, version, launcher_exe, root_cert):
    """The installer script around launcher_exe, as version, whose root is
    root_cert."""
    settings = build_settings()
    defines = {"PRODUCT_NAME": settings["LAUNCHER_PRODUCT_NAME"],
               "PUBLISHER": settings["LAUNCHER_PUBLISHER"], "VERSION": version,
               "LAUNCHER_EXE": launcher_exe, "ROOT_CERT": root_cert, "OUTPUT_FILE": output}
    if settings.get("LAUNCHER_INSTALLER_ICON"):
        defines["ICON"] = settings["LAUNCHER_INSTALLER_ICON"]
    if os.environ.get("LAUNCHER_WIN_ARCH") == "x86_64":
        defines["TARGET"] = "amd64-unicode"
    subprocess.run([settings["LAUNCHER_MAKENSIS"], "-V1", "-WX", "-INPUTCHARSET", "UTF8"]
                   + ["-D%s=%s" % item for item in defines.items()]
                   + [str(SOURCE / "installer" / "launcher.nsi")], check=True)
    return output


def older_installer(directory):
    """The build's installer as an older version whose root was another."""
    return make_installer(directory / "older-setup.exe", "0.9.0.0", BUILD / "launcher.exe",
                          IDENTITY / "intermediate.pem")


# ---- The launcher keeps itself current --------------------------------------

UPDATE_VERSION = "1.1.0"
SETUP_FILE = "launcher-setup.exe"


def signed_copy(image, output, scratch):
    """A copy of image signed as the build signs its own, or, where the
    build signs with the publisher's certificate, by a test PKI of its own.
    Wine's WinVerifyTrust takes a chain to a root that nothing trusts, so
    no root goes into the prefix; an unsigned or a changed image it refuses."""
    options = json.loads((BUILD / "test-launcher" / "settings.json").read_text())[
        "code_signing_options"]
    if options:
        arguments = [line for line in Path(options).read_text().splitlines() if line]
    else:
        sign_image.test_pki(scratch)
        arguments = ["--sign-certificate", str(scratch / "signer.pem"),
                     "--sign-key", str(scratch / "signer.key")]
    parser = argparse.ArgumentParser()
    sign_image.add_signer_arguments(parser)
    shutil.copyfile(image, output)
    sign_image.sign(str(output), sign_image.signer_arguments(parser.parse_args(arguments)))
    return output


def offer_update(site, name, data, digest=None):
    """Serves data as the launcher's setup of UPDATE_VERSION under a path
    of its own, listed in the catalogue with its digest (or another), and
    signs the catalogue with the test launcher's first key."""
    path = "/packages/%s.exe" % name
    (site.root / path.lstrip("/")).write_bytes(data)
    document = site.catalogue()
    document.update(issued=100, expires=int(time.time()) + 3600)
    document["launcher"] = {"latest": UPDATE_VERSION, "versions": {UPDATE_VERSION: {
        "install": "https://%s:%d%s" % (harness.CATALOGUE_HOST, harness.CATALOGUE_PORT, path),
        "size": len(data), "sha512e": digest or harness.sha512_hex(data)}}}
    site.write_catalogue(document)
    keys = Path(harness.SETTINGS["catalogue_keys"])
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", keys / "first.key", "-out",
                    str(site.catalogue_file) + ".sig", site.catalogue_file], check=True)
    return path


def start_installed(prefix, executable):
    with open(prefix.log, "ab") as log:
        subprocess.Popen([WINE, executable], env=prefix.env, stdin=subprocess.DEVNULL,
                         stdout=log, stderr=log)


def restart_installed(prefix, executable):
    assert prefix.run(str(BUILD / "test-tools" / "stop_launcher.exe"), executable) == 0
    harness.wait_until(lambda: not launcher_pids(executable), "the launcher to stop")
    start_installed(prefix, executable)


def installed_hello(timeout=harness.WAIT):
    """HELLO's answer from the installed launcher, once one answers."""
    def answer():
        client = connected_page()
        if client is None:
            return None
        try:
            return client.call({"act": "HELLO"})
        except AssertionError:  # closed under it
            return None
        finally:
            client.close()
    return harness.wait_until(answer, "the installed launcher to answer", timeout=timeout,
                              interval=0.2)


def connected_page():
    try:
        return harness.Client(harness.BRIDGE_PORTS[0])
    except (OSError, asyncio.TimeoutError, websockets.WebSocketException):
        return None


def update_itself(prefix, tmp_path, directory, executable):
    """The signed test launcher installed as the current version; its
    catalogue offers a later one. A setup with a wrong digest, one without
    a signature and one changed after signing are each refused, and the
    installed launcher serves on; a signed setup whose launcher ends at once
    gives way to the installed one, which does not try that version again;
    the publisher's signed setup replaces it at the next start, and the page
    finds the later version with its modules kept."""
    root = IDENTITY / "root.pem"
    version = build_settings()["CMAKE_PROJECT_VERSION"]
    installed = BUILD / "test-launcher" / "signed" / "launcher.exe"
    current = make_installer(tmp_path / "current-setup.exe", version, installed, root)
    unsigned = make_installer(tmp_path / "next-setup.exe", UPDATE_VERSION + ".0",
                              BUILD / "test-launcher" / "next" / "launcher.exe", root)
    signed = signed_copy(unsigned, tmp_path / "next-setup-signed.exe",
                         tmp_path / "code").read_bytes()
    tampered = bytearray(signed)
    tampered[len(tampered) // 2] ^= 0x01
    # Without the path it was given, the stop tool ends at once.
    ending = signed_copy(make_installer(
        tmp_path / "ending-setup.exe", UPDATE_VERSION + ".0",
        BUILD / "test-tools" / "stop_launcher.exe", root), tmp_path / "ending-setup-signed.exe",
        tmp_path / "code").read_bytes()
    setup = prefix.profile / "Temp" / SETUP_FILE
    record = directory / "launcher-update"

    site = harness.CatalogueServer(tmp_path)
    site.start()
    try:
        site.publish("echo")
        # The installed module is the catalogue's: nothing to fetch for it.
        echo = "/packages/echo.7z"
        running = harness.project_version()
        offers = [("wrong-digest", signed, "0" * 128), ("unsigned", unsigned.read_bytes(), None),
                  ("tampered", bytes(tampered), None)]
        for number, (name, data, digest) in enumerate(offers):
            path = offer_update(site, name, data, digest)
            if number == 0:
                assert prefix.run(str(current), "/S") == 0
            else:
                restart_installed(prefix, executable)
            harness.wait_until(lambda: site.requests(path) and not setup.exists(),
                               "the %s setup to be refused" % name, timeout=harness.WAIT * 2)
            hello = installed_hello()
            assert hello["version"] == running and hello["ready"] == 1, name
            assert not record.exists(), name

        path = offer_update(site, "ending", ending)
        restart_installed(prefix, executable)
        before = harness.wait_until(lambda: launcher_pids(executable), "the launcher to start")
        # The installed launcher back and started anew; the record of the
        # tried version was there for it to take.
        harness.wait_until(
            lambda: (site.requests(path) and launcher_pids(executable) - before
                     and (directory / "launcher.exe").read_bytes() == installed.read_bytes()
                     and not record.exists()),
            "the installed launcher to be back", timeout=harness.WAIT * 4)
        hello = installed_hello()
        assert hello["version"] == running and hello["ready"] == 1
        assert not (directory / "launcher.exe.old").exists()
        entry_key = ("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                     + build_settings()["LAUNCHER_PRODUCT_NAME"])
        assert prefix.registry_value(entry_key, "DisplayVersion") == version
        ending_path = path

        path = offer_update(site, "signed", signed)
        restart_installed(prefix, executable)
        before = harness.wait_until(lambda: launcher_pids(executable), "the launcher to start")
        # A page connected to the running launcher sees it go, and finds the
        # later one when it reconnects.
        page = harness.wait_until(connected_page, "a page to connect")
        try:
            version = page.call({"act": "HELLO"})["version"]
        except AssertionError:  # closed while it asked: by the old one
            version = running
        if version == running:
            harness.wait_until(lambda: page.closed, "the page to see the update",
                               timeout=harness.WAIT * 4)
        page.close()
        harness.wait_until(lambda: installed_hello()["version"] == UPDATE_VERSION,
                           "the later launcher to serve", timeout=harness.WAIT * 4)
        assert site.requests(path) and not before & launcher_pids(executable)
        assert len(site.requests(ending_path)) == 1
        # Its setup ends once the later launcher has run for a while, and
        # then no longer keeps the one it replaced.
        harness.wait_until(lambda: not (directory / "launcher.exe.old").exists(),
                           "the update's setup to finish")
        # The later launcher found the record of its own update.
        harness.wait_until(lambda: not record.exists(), "the update's record to go")
        client = harness.Client(harness.BRIDGE_PORTS[0])
        try:
            assert client.load("echo")["result"] == 0
        finally:
            client.close()
        assert site.requests(echo) == []
    finally:
        site.stop()


def root_store_key(pem_file):
    """Where the user's Root store keeps that certificate."""
    der = ssl.PEM_cert_to_DER_cert(pem_file.read_text())
    return ("HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"
            + hashlib.sha1(der).hexdigest().upper())


def add_firefox_profiles(prefix):
    """Three profiles: one with the user's own user.js, one without any, one
    where the user turned the system's roots off."""
    firefox = prefix.profile / "AppData" / "Roaming" / "Mozilla" / "Firefox"
    for name in ("own.default", "fresh.other", "off.third"):
        (firefox / "Profiles" / name).mkdir(parents=True)
    (firefox / "Profiles" / "own.default" / "user.js").write_bytes(USER_PREFS)
    (firefox / "Profiles" / "off.third" / "prefs.js").write_bytes(TURNED_OFF)
    (firefox / "profiles.ini").write_text(
        "[General]\nStartWithLastProfile=1\n\n"
        "[Profile0]\nName=own\nIsRelative=1\nPath=Profiles/own.default\nDefault=1\n\n"
        "[Profile1]\nName=fresh\nIsRelative=0\nPath=%s\\AppData\\Roaming\\Mozilla\\Firefox"
        "\\Profiles\\fresh.other\n\n"
        "[Profile2]\nName=off\nIsRelative=1\nPath=Profiles/off.third\n" % prefix.windows_profile)
    return firefox / "Profiles"


def test_install_upgrade_and_uninstall_leave_the_prefix_as_it_was(prefix, tmp_path):
    name = build_settings()["LAUNCHER_PRODUCT_NAME"]
    installer = BUILD / ("launcher-%s-setup.exe" % build_settings()["CMAKE_PROJECT_VERSION"])
    older = older_installer(tmp_path)
    directory = prefix.profile / "AppData" / "Local" / "Programs" / name
    executable = "%s\\AppData\\Local\\Programs\\%s\\launcher.exe" % (prefix.windows_profile, name)
    run_key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"
    entry_key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + name
    older_root, root = IDENTITY / "intermediate.pem", IDENTITY / "root.pem"
    profiles = add_firefox_profiles(prefix)
    # Wine completes a new prefix with the first program that runs.
    assert prefix.run("cmd", "/c", "exit") == 0
    prefix.wait_idle()
    before = prefix.snapshot()

    # A silent install: files, Run value, trusted root, Firefox told, running.
    assert prefix.run(str(older), "/S") == 0
    assert {p.name for p in directory.iterdir()} == INSTALLED_FILES
    assert (directory / "launcher.exe").read_bytes() == (BUILD / "launcher.exe").read_bytes()
    assert (directory / "root.crt").read_bytes() == older_root.read_bytes()
    assert prefix.registry_value(run_key, name) == '"%s"' % executable
    assert prefix.has_key(root_store_key(older_root)), "the root is not in the user's Root store"
    own = (profiles / "own.default" / "user.js").read_bytes()
    assert own.startswith(USER_PREFS + b"\r\n" + FIREFOX_LINE) and own.count(FIREFOX_LINE) == 1
    assert (profiles / "fresh.other" / "user.js").read_bytes().startswith(FIREFOX_LINE)
    assert not (profiles / "off.third" / "user.js").exists()
    assert refused_upgrade() == b""
    first = launcher_pids(executable)
    assert len(first) == 1

    # The build's version over the running one: the launcher is stopped and
    # replaced, modules stay, the old root makes way for the new, and
    # nothing is added twice.
    module = directory / "modules" / harness.library_name("echo")
    module.parent.mkdir()
    shutil.copy2(harness.TEST_MODULES / module.name, module)
    assert prefix.run(str(installer), "/S") == 0
    assert module.read_bytes() == (harness.TEST_MODULES / module.name).read_bytes()
    assert (directory / "root.crt").read_bytes() == root.read_bytes()
    assert prefix.has_key(root_store_key(root)), "the new root is not in the user's Root store"
    assert not prefix.has_key(root_store_key(older_root)), "the older root is still trusted"
    assert prefix.registry_value(entry_key, "DisplayVersion") == \
        build_settings()["CMAKE_PROJECT_VERSION"]
    assert (profiles / "own.default" / "user.js").read_bytes() == own
    assert refused_upgrade() == b""
    second = launcher_pids(executable)
    assert len(second) == 1 and not first & second, "the running launcher was not replaced"
    # The uninstaller the build's setup writes is the one signed as it was made.
    signing_root = json.loads((BUILD / "test-launcher" / "settings.json").read_text())[
        "code_signing_root"]
    if signing_root:
        assert sign_image.verify(str(directory / "uninstall.exe"), signing_root) is None

    update_itself(prefix, tmp_path, directory, executable)

    # Where policy ignores users' roots, the user is told to ask for the
    # machine's trust, and nothing is added to the user's store.
    views = ("/reg:64", "/reg:32")
    made = {view: next(key for key in (PROTECTED_ROOTS.rsplit("\\", n)[0]
                                       for n in range(4, -1, -1))
                       if prefix.run("reg", "query", key, view, loader=WINE64) != 0)
            for view in views}
    for view in views:
        prefix.run("reg", "add", PROTECTED_ROOTS, "/v", "Flags", "/t", "REG_DWORD", "/d", "1",
                   "/f", view, loader=WINE64)
    assert prefix.run(str(installer), "/S") == 5
    # The replaced launcher, kept until the new one ran.
    assert not (directory / "launcher.exe.old").exists()
    for view, key in made.items():
        prefix.run("reg", "delete", key, "/f", view, loader=WINE64)
    assert (profiles / "own.default" / "user.js").read_bytes() == own

    # The uninstaller ends the launcher (else the prefix never goes idle)
    # and takes out exactly what the installs added.
    assert prefix.run(str(directory / "uninstall.exe"), "/S") == 0
    prefix.wait_idle()
    changed = differences(before, prefix.snapshot())
    # Wine's debugger keeps its settings key once it has run for a fault.
    if any("WineDbg" in line for line in changed):
        pytest.fail("a process faulted under wine; its debugger printed:\n%s"
                    % (harness.wine_fault(prefix.log) or "nothing into " + str(prefix.log)))
    assert not changed, "\n".join(changed)
