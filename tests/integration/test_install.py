"""Install tasks through LOAD against the package server: reuse, resume,
failures and what becomes of the package file, and concurrent installs."""

import os
import subprocess
import time

import pytest

from conftest import (BRIDGE_PORTS, SETTINGS, TEST_MODULES, WINDOWS, is_final, is_progress,
                      library_name, start_windows_tool, wait_ports_free, wait_until,
                      windows_path)

OK = {"act": "LOAD", "error": 0, "result": 2}


def final(error):
    return {"act": "LOAD", "error": error, "result": 2}


def ready_client(instance):
    client = instance.connect()
    client.wait_ready()
    return client


def install(client, module):
    """LOADs a module that needs installing; returns its install messages."""
    assert client.load(module) == {"act": "LOAD", "result": 2}
    return client.install_messages()


def test_package_file_is_resumed_reused_or_fetched_anew(launcher, catalogue_server):
    package = catalogue_server.publish("resumed", library="echo")
    packages = {module: catalogue_server.publish(module, library="echo")
                for module in ["reused", "longer", "wrong"]}
    instance = launcher(start=False)
    cut = len(package) // 3
    instance.package_file("resumed").write_bytes(package[:cut])
    instance.package_file("reused").write_bytes(packages["reused"])
    instance.package_file("longer").write_bytes(packages["longer"] + b"x")
    wrong = bytearray(packages["wrong"])
    wrong[-1] ^= 0xFF
    instance.package_file("wrong").write_bytes(bytes(wrong))
    client = ready_client(instance.start())

    # A shorter file is continued from its length.
    messages = install(client, "resumed")
    assert messages[-1] == OK
    assert [r["range"] for r in catalogue_server.package_requests("resumed")] == ["bytes=%d-" % cut]
    assert messages[0]["size"] > cut and messages[0]["total"] == len(package)
    assert messages[-2]["size"] == len(package)

    # A complete file that matches is used as it is: no transfer, no progress.
    assert install(client, "reused") == [OK]
    assert catalogue_server.package_requests("reused") == []

    # Too long, or as long but different: fetched again from the start.
    for module in ["longer", "wrong"]:
        messages = install(client, module)
        assert messages[-1] == OK and is_progress(messages[0]), module
        assert [r["range"] for r in catalogue_server.package_requests(module)] == [None], module

    for module in ["resumed", "reused", "longer", "wrong"]:
        assert not instance.package_file(module).exists(), module
        assert client.load(module) == {"act": "LOAD", "result": 0}, module


def test_transfer_failures_keep_the_partial_file(launcher, catalogue_server):
    package = catalogue_server.publish("dropped", library="echo")
    catalogue_server.publish("missing", library="echo")
    catalogue_server.rule("/packages/dropped.7z", {"drop_after": 2000, "times": 1})
    catalogue_server.rule("/packages/missing.7z", {"status": 404, "times": 1})
    instance = launcher()
    client = ready_client(instance)

    assert install(client, "dropped")[-1] == final(3)
    assert instance.package_file("dropped").read_bytes() == package[:2000]
    assert install(client, "dropped")[-1] == OK
    assert [r["range"] for r in catalogue_server.package_requests("dropped")] == [None, "bytes=2000-"]

    # The error response's body is what was received, and stays; the next
    # attempt continues after it, which the digest then refuses.
    assert install(client, "missing")[-1] == final(3)
    body = instance.package_file("missing").read_bytes()
    assert body == b"not found\n"
    assert install(client, "missing")[-1] == final(4)
    assert not instance.package_file("missing").exists()
    assert install(client, "missing")[-1] == OK
    assert [r["range"] for r in catalogue_server.package_requests("missing")] == [
        None, "bytes=%d-" % len(body), None]
    for module in ["dropped", "missing"]:
        assert client.load(module)["result"] == 0


def test_a_stalled_transfer_fails_and_is_resumed(launcher, catalogue_server):
    stall = SETTINGS["transfer_stall_seconds"]
    package = catalogue_server.publish("stalled", library="echo")
    # Headers and 1000 bytes, then nothing for far longer than the limit.
    catalogue_server.rule("/packages/stalled.7z",
                          {"stall_after": 1000, "stall": stall * 20, "times": 1})
    instance = launcher()
    client = ready_client(instance)
    assert install(client, "stalled")[-1] == final(3)
    assert instance.package_file("stalled").read_bytes() == package[:1000]
    # Nothing of the stalled install lingers: the next LOAD starts afresh
    # and resumes the partial file.
    assert install(client, "stalled")[-1] == OK
    assert [r["range"] for r in catalogue_server.package_requests("stalled")] == [
        None, "bytes=1000-"]


def test_digest_and_unpack_failures(launcher, catalogue_server):
    catalogue_server.publish("mismatch", library="echo")
    catalogue_server.edit_latest("mismatch", sha512e="0" * 128)
    # Valid per its digest and size, but no 7z archive.
    junk = catalogue_server.publish("notarchive", library="echo", data=os.urandom(3000))
    package = catalogue_server.publish("ignored", library="echo")
    catalogue_server.rule("/packages/ignored.7z", {"ignore_range": True, "times": 1})
    instance = launcher(start=False)
    instance.package_file("ignored").write_bytes(package[:1000])
    client = ready_client(instance.start())

    assert install(client, "mismatch")[-1] == final(4)
    assert not instance.package_file("mismatch").exists()

    assert install(client, "notarchive")[-1] == final(5)
    assert instance.package_file("notarchive").read_bytes() == junk
    # The verified package is reused: no transfer, no progress.
    assert install(client, "notarchive") == [final(5)]
    assert len(catalogue_server.package_requests("notarchive")) == 1

    # A server that ignores the range sends the whole package, which lands
    # behind the partial bytes: the digest fails, the file goes, and the
    # next attempt starts from the beginning.
    assert install(client, "ignored")[-1] == final(4)
    assert not instance.package_file("ignored").exists()
    assert install(client, "ignored")[-1] == OK
    assert [r["range"] for r in catalogue_server.package_requests("ignored")] == [
        "bytes=1000-", None]
    assert not (instance.modules / library_name("mismatch")).exists()
    assert not (instance.modules / library_name("notarchive")).exists()


def modules_content(instance):
    return {path.relative_to(instance.modules).as_posix(): path.read_bytes() if path.is_file() else None
            for path in instance.modules.rglob("*")}


def test_a_failed_update_leaves_the_installed_files_as_they_were(launcher, catalogue_server):
    # The new library, then an entry whose stored bytes are damaged.
    work = catalogue_server.work / "damaged"
    work.mkdir()
    (work / library_name("kept")).write_bytes((TEST_MODULES / library_name("twoone")).read_bytes())
    (work / "later.txt").write_bytes(b"a later entry " * 100)
    subprocess.run(["7zz", "a", "-bso0", "-bsp0", "-ms=off", "-m0=Copy", "package.7z",
                    library_name("kept"), "later.txt"], cwd=str(work), check=True)
    package = bytearray((work / "package.7z").read_bytes())
    package[package.find(b"a later entry") + 3] ^= 0x20
    catalogue_server.publish("kept", library="twoone", data=bytes(package))
    # A coder the decoder lacks.
    catalogue_server.publish("bzip", library="twoone", methods=["-m0=BZip2"])
    instance = launcher(start=False)
    for module in ["kept", "bzip"]:
        instance.preinstall(module, library="echo")
    (instance.modules / "neighbour.txt").write_bytes(b"beside them")
    before = modules_content(instance)
    # A replaced library that was still in use after its commit went through.
    committed = instance.modules / ".unpacking" / "3"
    (committed / "old").mkdir(parents=True)
    (committed / "old" / library_name("gone")).write_bytes(b"replaced while in use")
    (committed / "committed").write_bytes(b"")
    # A commit cut short by the process's end: one original moved aside (as
    # on Windows), one kept as a second link and already replaced (as here).
    cut = instance.modules / ".unpacking" / "4" / "old"
    cut.mkdir(parents=True)
    (instance.modules / "neighbour.txt").rename(cut / "neighbour.txt")
    kept = instance.modules / library_name("kept")
    (cut / library_name("kept")).write_bytes(kept.read_bytes())
    kept.write_bytes(b"half an update")
    client = ready_client(instance.start())

    assert not (instance.modules / ".unpacking").exists()
    for module in ["kept", "bzip"]:
        assert client.load(module) == {"act": "LOAD", "result": 3}, module
        assert client.install_messages()[-1] == final(5), module
    assert modules_content(instance) == before


@pytest.mark.skipif(not WINDOWS, reason="only Windows refuses to replace a file that is open")
def test_an_update_replaces_a_library_that_another_program_holds_open(launcher,
                                                                      catalogue_server):
    catalogue_server.publish("held", library="twoone")
    instance = launcher(start=False)
    old = instance.preinstall("held", library="echo")
    log = instance.dir.parent / "holder.log"
    holder = start_windows_tool("hold_file", [windows_path(old)], log)
    try:
        wait_until(lambda: b"held" in log.read_bytes() or holder.poll() is not None,
                   "the library to be held")
        assert holder.poll() is None, log.read_bytes()
        client = ready_client(instance.start())
        assert client.load("held") == {"act": "LOAD", "result": 3}
        assert client.install_messages()[-1] == OK
        assert old.read_bytes() == (TEST_MODULES / library_name("twoone")).read_bytes()
        assert client.load("held") == {"act": "LOAD", "result": 0}
        assert client.ask("held", 1) == "twoone"
    finally:
        holder.kill()
        holder.wait()
    # The replaced file, kept while it was held, goes at the next start.
    instance.stop()
    wait_ports_free(BRIDGE_PORTS)
    instance.start()
    assert not (instance.modules / ".unpacking").exists()


def test_packages_install_with_every_method_and_filter_of_the_decoder(launcher, catalogue_server):
    methods = {"ppmd": ["-m0=PPMd"], "copy": ["-m0=Copy"], "lzma": ["-m0=LZMA"],
               "lzma2": ["-m0=LZMA2"], "bcj": ["-mf=BCJ"], "bcj2": ["-mf=BCJ2"],
               "arm64": ["-mf=ARM64"], "arm": ["-mf=ARM"], "armt": ["-mf=ARMT"],
               "ppc": ["-mf=PPC"], "ia64": ["-mf=IA64"], "sparc": ["-mf=SPARC"],
               "delta": ["-mf=Delta:4"], "riscv": ["-mf=RISCV"]}
    for module, options in methods.items():
        catalogue_server.publish(module, library="echo", methods=options)
    client = ready_client(launcher())
    for module in methods:
        assert install(client, module)[-1] == OK, module
        assert client.load(module) == {"act": "LOAD", "result": 0}, module


@pytest.mark.skipif(WINDOWS, reason="wine takes the temporary directory from its prefix")
def test_package_path_limit(launcher, catalogue_server, tmp_path):
    catalogue_server.publish("echo")

    def directory_of_length(length):
        # The launcher adds the separator: its path is length + 1 long.
        path = str(tmp_path / "t")
        while len(path) < length - 200:
            path += "/" + "d" * 150
        path += "/" + "e" * (length - len(path) - 1)
        os.makedirs(path)
        return path

    # Directory, separator and "echo": 1023 characters fit, 1024 do not.
    for total, expected in [(1023, OK), (1024, final(2))]:
        instance = launcher(start=False)
        tmpdir = directory_of_length(total - 1 - len("echo"))
        instance.start(tmpdir=tmpdir)
        client = ready_client(instance)
        assert install(client, "echo")[-1] == expected
        instance.stop()
        wait_ports_free(BRIDGE_PORTS)
    assert len(catalogue_server.package_requests("echo")) == 1


def test_clients_share_one_install_and_each_hears_it_once(launcher, catalogue_server):
    package = catalogue_server.publish("echo")
    catalogue_server.rule("/packages/echo.7z", {"chunk": 256, "chunk_delay": 0.04})
    instance = launcher()
    clients = [instance.connect() for _ in range(8)]
    clients[0].wait_ready()

    # Sent back to back: each client's server thread handles its own.
    for client in clients:
        client.send({"request": {"act": "LOAD", "module": "echo"}})
    heard = []
    for client in clients:
        assert client.next().json == {"act": "LOAD", "result": 2}
        heard.append(client.install_messages())
    time.sleep(0.3)
    for client in clients:
        assert client.take() == []

    assert len(catalogue_server.package_requests("echo")) == 1
    longest = max(heard, key=len)
    assert len(longest) >= 5
    for messages in heard:
        # What a subscriber hears is the tail of the whole task, in order.
        assert messages == longest[-len(messages):]
        sizes = [m["size"] for m in messages[:-1]]
        assert sizes == sorted(set(sizes))
    assert longest[-1] == OK and longest[-2]["size"] == len(package)


def test_installs_of_different_modules_run_side_by_side(launcher, catalogue_server):
    for module in ["one", "two"]:
        catalogue_server.publish(module, library="echo")
        catalogue_server.rule("/packages/%s.7z" % module, {"chunk": 256, "chunk_delay": 0.04})
    instance = launcher()
    first, second = instance.connect(), instance.connect()
    first.wait_ready()
    assert first.load("one")["result"] == 2
    assert second.load("two")["result"] == 2
    first.install_messages()
    second.install_messages()

    def first_progress(client):
        return next(m for m in client.received if is_progress(m.json)).index

    def final_message(client):
        return next(m for m in client.received if is_final(m.json))
    for client in [first, second]:
        assert final_message(client).json == OK
    # Each made progress before the other had finished.
    assert first_progress(second) < final_message(first).index
    assert first_progress(first) < final_message(second).index
    assert first.load("one")["result"] == 0 and second.load("two")["result"] == 0
