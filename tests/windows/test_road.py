"""The whole road on a Windows build, on one launcher process:

    LAUNCHER_BUILD_DIR=<build> WINEPREFIX=<prefix> LAUNCHER_WINE=/usr/lib/wine/wine \\
        /usr/bin/python3 -m pytest -q tests/windows/test_road.py

HELLO with the version resource, LOAD of a missing module with its progress
and final messages, LOAD 0, a request and its reply, a pushed message, and a
second start of the same executable that ends at once while the first keeps
serving.
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "integration"))
import conftest as harness  # noqa: E402

if not harness.WINDOWS:
    pytest.skip("LAUNCHER_BUILD_DIR holds no Windows build", allow_module_level=True)

# Generous: a first start under wine also brings up the prefix's services.
START = float(os.environ.get("LAUNCHER_START_WAIT", "120"))


@pytest.fixture
def site(tmp_path):
    harness.wait_ports_free([harness.CATALOGUE_PORT])
    server = harness.CatalogueServer(tmp_path).start()
    yield server
    server.stop()


@pytest.fixture
def made():
    instances = []
    yield instances
    for instance in instances:
        instance.expect_exit = True
        instance.stop()


def test_road(site, made, tmp_path):
    harness.wait_ports_free(harness.BRIDGE_PORTS)
    harness.wine_temp_directory().mkdir(parents=True, exist_ok=True)
    package = site.publish("echo")

    first = harness.Launcher(tmp_path, "first", made)
    first.start(port=None)
    harness.wait_until(lambda: serving(first), "the launcher to serve", timeout=START,
                       interval=1.0)
    first.port = harness.BRIDGE_PORTS[0]
    client = first.connect()
    client.wait_ready()
    assert client.call({"act": "HELLO"}) == {"act": "HELLO", "ready": 1,
                                             "version": harness.project_version()}

    # Missing: installed with progress, then loaded.
    assert client.load("echo") == {"act": "LOAD", "result": 2}
    messages = client.install_messages()
    *progress, final = messages
    assert progress and all(harness.is_progress(m) for m in progress), messages
    assert progress[-1]["size"] == progress[-1]["total"] == len(package)
    assert final == {"act": "LOAD", "error": 0, "result": 2}
    library = first.modules / harness.library_name("echo")
    assert library.read_bytes() == (harness.TEST_MODULES / library.name).read_bytes()
    assert client.load("echo") == {"act": "LOAD", "result": 0}

    # A request and its reply; a message the module pushes on a tick.
    assert client.ask("echo", {"b": "x", "a": 1}) == '{\n\t"a" : 1,\n\t"b" : "x"\n}'
    assert client.ask("echo", "push:hello") == '"push:hello"'
    assert client.next().text == "hello"

    # The same executable again: refused at once by the shared flag.
    second = first.same_executable("second")
    second.start(port=None)
    assert second.proc.wait(START) == 0
    second.expect_exit = True
    assert client.call({"act": "HELLO"})["ready"] == 1
    assert client.ask("echo", 7) == "7"


def serving(instance):
    if instance.proc.poll() is not None:
        raise AssertionError("launcher exited with %s: %s"
                             % (instance.proc.returncode, instance.log_tail()))
    try:
        harness.Client(harness.BRIDGE_PORTS[0]).close()
        return True
    except Exception:
        return False
