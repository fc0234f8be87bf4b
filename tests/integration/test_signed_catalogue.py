"""The signed catalogue: a launcher built with the publisher's keys (the test
tree's signed/ launcher, holding the keys "first" and "second") loads a
catalogue only with a valid signature beside it, and only while the
catalogue is current; one built without keys takes the same document as it
always did. Only such a catalogue may offer a newer launcher."""

import subprocess
import time
from pathlib import Path

import pytest

from conftest import (CATALOGUE_HOST, CATALOGUE_PORT, CATALOGUE_PATH, SETTINGS, WINDOWS,
                      is_final, project_version, sha512_hex, wait_until)

KEYS = Path(SETTINGS["catalogue_keys"])
SIGNATURE_PATH = CATALOGUE_PATH + ".sig"
RECORD = "catalogue-issued"


def sign(site, key="first", issued=100, expires=None, stamped=True):
    """Stamps the served catalogue and writes its signature by key."""
    document = site.catalogue()
    if stamped:
        document.update(issued=issued, expires=expires or int(time.time()) + 3600)
    site.write_catalogue(document)
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(KEYS / (key + ".key")),
                    "-out", str(site.catalogue_file) + ".sig", str(site.catalogue_file)],
                   check=True)


def signature_file(site):
    return Path(str(site.catalogue_file) + ".sig")


def test_a_signed_catalogue_loads_under_the_rotated_key_and_its_serial_is_kept(
        launcher, catalogue_server):
    catalogue_server.publish("echo")
    sign(catalogue_server, key="second", issued=100)
    instance = launcher(start=False, signed=True)
    # A damaged record is no record.
    (instance.dir / RECORD).write_text("1x1\n")
    client = instance.start().connect()
    client.wait_ready(1)
    # The stamps are the document's own members, never modules.
    for member in ("issued", "expires"):
        assert client.load(member)["result"] == 6
    assert client.load("echo")["result"] == 2
    assert [m for m in client.install_messages() if is_final(m)][0]["error"] == 0
    assert client.load("echo")["result"] == 0
    assert (instance.dir / RECORD).read_text() == "100\n"


def flip_issued(site):
    """One byte of the signed text changed, to a serial that outranks any."""
    text = site.catalogue_file.read_text()
    assert '"issued": 100' in text
    site.catalogue_file.write_text(text.replace('"issued": 100', '"issued": 900'))


def flip_signature(site):
    data = bytearray(signature_file(site).read_bytes())
    data[-1] ^= 0x01
    signature_file(site).write_bytes(bytes(data))


REFUSED = {
    "document byte": (dict(), flip_issued),
    "signature byte": (dict(), flip_signature),
    "missing signature": (dict(), lambda site: signature_file(site).unlink()),
    "unknown key": (dict(key="stranger"), None),
    "older serial": (dict(issued=100), None),  # the launcher has accepted 101
    "expired": (dict(expires=int(time.time()) - 1), None),
    "no stamps": (dict(stamped=False), None),
}


@pytest.mark.parametrize("fault", list(REFUSED))
def test_a_catalogue_that_is_not_the_publishers_current_one_is_a_failed_fetch(
        launcher, catalogue_server, fault):
    catalogue_server.publish("echo")
    signing, damage = REFUSED[fault]
    sign(catalogue_server, **signing)
    if damage:
        damage(catalogue_server)
    instance = launcher(start=False, signed=True)
    if fault == "older serial":
        (instance.dir / RECORD).write_text("101\n")
    client = instance.start().connect()
    client.wait_ready(-1)
    assert client.load("echo")["result"] == 6
    assert catalogue_server.package_requests("echo") == []

    # The page may try again, and the publisher's current document loads.
    sign(catalogue_server, key="first", issued=101)
    assert client.call({"act": "INITMC"}) == {"act": "INITMC"}
    client.wait_ready(1)
    assert client.load("echo")["result"] == 2


def test_a_launcher_without_keys_takes_a_signed_catalogue_as_it_is(
        launcher, catalogue_server):
    catalogue_server.publish("echo")
    sign(catalogue_server, expires=1)
    client = launcher().connect()
    client.wait_ready(1)
    assert client.load("issued")["result"] == 6
    assert client.load("echo")["result"] == 2
    assert catalogue_server.requests(SIGNATURE_PATH) == []


SETUP_PATH = "/packages/launcher-setup"
SETUP = b"not a setup that any system runs " * 4096


def offer_launcher(site, version, digest=None):
    """Lists SETUP as the launcher's own entry at version, and signs."""
    (site.root / SETUP_PATH.lstrip("/")).write_bytes(SETUP)
    document = site.catalogue()
    document["launcher"] = {"latest": version, "versions": {version: {
        "install": "https://%s:%d%s" % (CATALOGUE_HOST, CATALOGUE_PORT, SETUP_PATH),
        "size": len(SETUP), "sha512e": digest or sha512_hex(SETUP)}}}
    site.write_catalogue(document)
    sign(site)


def offered_version(offer):
    """Newer; the same written otherwise ("1.00.0"), which texts compared
    as texts would take for newer; or older with a larger second number."""
    major, minor, build = (int(part) for part in project_version().split("."))
    return {"same": "%d.0%d.%d" % (major, minor, build),
            "older": "%d.%d.%d" % (major - 1, minor + 90, build)
            }.get(offer, "%d.%d.%d" % (major, minor + 10, build))


@pytest.mark.parametrize("offer", ["newer", "wrong digest", "same", "older", "no keys",
                                   "tried"])
def test_only_a_newer_launcher_from_the_signed_catalogue_is_fetched_and_checked(
        launcher, catalogue_server, offer):
    catalogue_server.publish("echo")
    offer_launcher(catalogue_server, offered_version(offer),
                   digest="0" * 128 if offer == "wrong digest" else None)
    instance = launcher(start=False, signed=offer != "no keys")
    setup = instance.tmpdir / ("launcher-setup" + (".exe" if WINDOWS else ""))
    fetched = lambda: catalogue_server.requests(SETUP_PATH)
    if offer == "newer":
        # A transfer cut short earlier is resumed.
        setup.write_bytes(SETUP[:len(SETUP) // 2])
    elif offer == "tried":
        # The start just after an update of that version failed; its setup
        # is left.
        (instance.dir / "launcher-update").write_text(offered_version(offer) + "\n")
    if offer not in ("newer", "wrong digest"):
        # What a finished update left; a current launcher removes it.
        setup.write_bytes(b"left over")
    client = instance.start().connect()
    client.wait_ready(1)

    if offer == "newer" and not WINDOWS:
        # Verified and left for the package manager; nothing is run here.
        wait_until(lambda: setup.exists() and setup.read_bytes() == SETUP,
                   "the setup to be fetched")
        assert [r["range"] for r in fetched()] == ["bytes=%d-" % (len(SETUP) // 2)]
    elif offer in ("newer", "wrong digest"):
        # A wrong digest, or on Windows no signature of its own: deleted.
        wait_until(lambda: fetched() and not setup.exists(), "the setup to be refused")
    elif offer == "tried":
        wait_until(lambda: not (instance.dir / "launcher-update").exists()
                   and not setup.exists(), "the record and the setup to be taken")
    elif offer != "no keys":
        wait_until(lambda: not setup.exists(), "the leftover setup to be removed")
    # Never anything installed or recorded beside the launcher, and the
    # page's modules as before.
    assert client.load("echo")["result"] == 2
    assert [m for m in client.install_messages() if is_final(m)][0]["error"] == 0
    assert not (instance.dir / "launcher-update").exists()
    if offer in ("same", "older", "no keys", "tried"):
        assert fetched() == []
    if offer == "no keys":
        assert setup.read_bytes() == b"left over"
