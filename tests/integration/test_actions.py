"""HELLO, INITMC and LOAD, and the road from a missing module to talking to it."""

import json
import os
import shutil
import subprocess

import pytest

from conftest import (BUILD_DIR, TEST_MODULES, WINDOWS, for_another_machine, is_progress,
                      library_name, project_version, sha512_hex)

THROTTLE = {"chunk": 512, "chunk_delay": 0.03}


def test_load_needs_a_scalar_name_and_a_catalogue(launcher):
    client = launcher().connect()
    for module in [None, ["echo"], {"name": "echo"}]:
        assert client.load(module) == {"act": "LOAD", "result": 1}
    assert client.call({"act": "LOAD", "other": "echo"}) == {"act": "LOAD", "result": 1}
    # Numbers are names too; nothing is listed before a catalogue arrives.
    assert client.load(12) == {"act": "LOAD", "result": 6}
    assert client.load("echo") == {"act": "LOAD", "result": 6}
    # The comparison ends at an embedded NUL; the reply copies "act".
    assert client.call({"act": "HELLO\u0000x"})["act"] == "HELLO\u0000x"


def test_whole_road_from_missing_module_to_its_messages(launcher, catalogue_server):
    package = catalogue_server.publish("echo")
    catalogue_server.rule("/packages/echo.7z", THROTTLE)
    instance = launcher()
    client = instance.connect()
    other = instance.connect()
    client.wait_ready()

    assert client.load("echo") == {"act": "LOAD", "result": 2}
    first = client.next(lambda m: is_progress(m.json))
    # Asking again during the download joins the running install.
    assert client.load("echo") == {"act": "LOAD", "result": 2}
    messages = [first.json] + client.install_messages()
    client.quiet(0.3, lambda m: m.json is not None and "act" in m.json)

    progress, final = messages[:-1], messages[-1]
    assert len(progress) >= 3 and all(is_progress(m) for m in progress)
    assert all(m["act"] == "LOAD" and m["result"] == 2 and m["total"] == len(package)
               for m in progress)
    sizes = [m["size"] for m in progress]
    # None before the first body byte; one per growth of the count.
    assert 0 < sizes[0] and sizes == sorted(set(sizes)) and sizes[-1] == len(package)
    assert final == {"act": "LOAD", "error": 0, "result": 2}
    assert [r["range"] for r in catalogue_server.package_requests("echo")] == [None]
    library = instance.modules / library_name("echo")
    assert library.read_bytes() == (TEST_MODULES / library_name("echo")).read_bytes()
    assert not instance.package_file("echo").exists()

    client.send({"request": {"act": "LOAD", "module": "echo"}})
    assert client.next().text == '{\n\t"act" : "LOAD",\n\t"result" : 0\n}'
    # The module sees the request as the launcher writes it.
    assert client.ask("echo", {"b": "x", "a": 1}) == '{\n\t"a" : 1,\n\t"b" : "x"\n}'
    client.send({"target": "echo"})
    assert client.next().text == "null"
    # A launcher action addressed to a module is the module's business.
    assert client.ask("echo", {"act": "HELLO"}) == '{\n\t"act" : "HELLO"\n}'
    # Poll messages go to the connection that queued them, tick by tick.
    for text in ["one", "two"]:
        assert client.ask("echo", "push:" + text) == '"push:%s"' % text
        assert client.next().text == text
    assert other.ask("echo", "push:mine") == '"push:mine"'
    assert other.next().text == "mine"
    # Targets are matched exactly.
    for target in ["Echo", "echo ", "ech", "", 5, True]:
        client.send({"target": target, "request": "push:no"})
    client.quiet(0.3)
    # Every reply and every poll array went back to the module once.
    assert json.loads(client.ask("echo", "stats")) == {"arrays": 3, "replies": 6}

    # Registered stays registered, whatever becomes of the file (replaced,
    # as writing over a mapped library would pull the pages from under it).
    replacement = instance.modules / "replacement"
    replacement.write_bytes(b"changed")
    os.replace(replacement, library)
    assert client.load("echo") == {"act": "LOAD", "result": 0}
    assert client.ask("echo", 7) == "7"


def test_names_that_are_not_plain_file_names_are_never_installed(launcher, catalogue_server):
    catalogue_server.publish("echo")
    document = catalogue_server.catalogue()
    for name in ["../x", "a/b", "..", "a\\b", "c:x", "CON", "nul.txt", "x."]:
        document[name] = document["echo"]
    catalogue_server.write_catalogue(document)
    instance = launcher()
    client = instance.connect()
    client.wait_ready()
    for name in ["../x", "a/b", "..", "a\\b", "c:x", "CON", "nul.txt", "x.", "Echo", "nosuch"]:
        assert client.load(name) == {"act": "LOAD", "result": 6}, name
    client.quiet(0.3)
    assert catalogue_server.package_requests("echo") == []
    assert not instance.modules.exists()
    assert list(instance.tmpdir.iterdir()) == []


def test_file_version_and_digest_decide(launcher, catalogue_server):
    catalogue_server.publish("twoone")
    catalogue_server.publish("fourpart", library="twoone")
    document = catalogue_server.catalogue()
    entry = document["fourpart"]
    assert entry["latest"] == "2.0.1"
    entry["latest"] = "2.0.1.7"
    entry["versions"] = {"2.0.1.7": entry["versions"]["2.0.1"]}
    document["nostamp"] = {"versions": {}}
    catalogue_server.write_catalogue(document)

    instance = launcher(start=False)
    damaged = instance.preinstall("twoone")
    damaged.write_bytes(damaged.read_bytes() + b"\0")
    instance.preinstall("fourpart", "twoone")
    instance.preinstall("nostamp")
    client = instance.start().connect()
    client.wait_ready()

    # File version 2.0.1.7 reads as 2.0.1, which matches; the digest does not.
    assert client.load("twoone")["result"] == 4
    assert client.install_messages()[-1]["error"] == 0
    assert client.load("twoone")["result"] == 0
    assert client.ask("twoone", None) == "twoone"

    # A four-part "latest" matches no file: every LOAD installs again.
    for attempt in [1, 2]:
        assert client.load("fourpart")["result"] == 3
        assert client.install_messages()[-1]["error"] == 0
        assert len(catalogue_server.package_requests("fourpart")) == attempt

    # No stamp and no "latest": equal empty texts, but no digest to match;
    # and without a package URL the install fails in its transfer.
    assert client.load("nostamp")["result"] == 4
    assert client.install_messages() == [{"act": "LOAD", "error": 3, "result": 2}]


def test_registration_outcomes(launcher, catalogue_server):
    for module in ["noexport", "nulltable", "nullslots", "emptypoll"]:
        catalogue_server.publish(module)
    # A stamped, current library for another machine cannot be loaded.
    foreign = for_another_machine((TEST_MODULES / library_name("echo")).read_bytes())
    catalogue_server.publish("foreign", library="echo")
    catalogue_server.edit_latest("foreign", sha512d=sha512_hex(foreign))

    instance = launcher(start=False)
    for module in ["noexport", "nulltable", "nullslots", "emptypoll"]:
        instance.preinstall(module)
    instance.modules.joinpath(library_name("foreign")).write_bytes(foreign)
    client = instance.start().connect()
    client.wait_ready()

    # Failed registrations unload the library, so they fail again alike.
    for _ in range(2):
        assert client.load("foreign") == {"act": "LOAD", "error": 1, "result": 5}
        assert client.load("noexport") == {"act": "LOAD", "error": 2, "result": 5}
        assert client.load("nulltable") == {"act": "LOAD", "error": 3, "result": 5}

    for module in ["noexport", "nulltable"]:
        assert instance.has_loaded(module) in (False, None), module

    # All slots null: registered, never answers, never polled.
    assert client.load("nullslots") == {"act": "LOAD", "result": 0}
    client.send({"target": "nullslots", "request": "x"})
    # Empty poll arrays send nothing but still go back to the module.
    assert client.load("emptypoll") == {"act": "LOAD", "result": 0}
    client.quiet(0.5)
    assert int(client.ask("emptypoll", None)) >= 2
    assert instance.has_loaded("nullslots") in (True, None)


@pytest.mark.skipif(not WINDOWS, reason="the search order of Windows' loader")
def test_libraries_are_found_beside_a_module_and_never_beside_the_launcher(
        launcher, catalogue_server, monkeypatch):
    aided = BUILD_DIR / "test-tools" / "aided"
    work = catalogue_server.work / "aided-package"
    shutil.copytree(aided, work)
    subprocess.run(["7zz", "a", "-bso0", "-bsp0", "package.7z", "aided.dll", "aid.dll"],
                   cwd=str(work), check=True)
    catalogue_server.publish("aided", library=aided / "aided.dll",
                             data=(work / "package.7z").read_bytes())
    # A version.dll beside the executable, where wine would take it first
    # for any library that imports it.
    monkeypatch.setenv("WINEDLLOVERRIDES", "version=n,b")
    instance = launcher(start=False)
    shutil.copy2(BUILD_DIR / "test-tools" / "planted" / "version.dll", instance.dir)
    client = instance.start().connect()
    client.wait_ready()
    assert not (instance.tmpdir / "planted.loaded").exists()
    assert client.call({"act": "HELLO"})["version"] == project_version()

    assert client.load("aided") == {"act": "LOAD", "result": 2}
    assert client.install_messages()[-1]["error"] == 0
    assert client.load("aided") == {"act": "LOAD", "result": 0}
    assert client.ask("aided", 1) == '"aided"'
