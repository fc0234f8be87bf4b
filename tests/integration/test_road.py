"""The whole road on one launcher process, as a page walks it: HELLO with the
version the executable carries, LOAD of a missing module with its progress
and final messages, LOAD 0, a request and its reply, a pushed message, and a
second start of the same executable that ends at once while the first keeps
serving."""

from conftest import TEST_MODULES, is_progress, library_name, project_version


def test_road(launcher, catalogue_server):
    package = catalogue_server.publish("echo")
    first = launcher()
    client = first.connect()
    client.wait_ready()
    assert client.call({"act": "HELLO"}) == {"act": "HELLO", "ready": 1,
                                             "version": project_version()}

    # Missing: installed with progress, then loaded.
    assert client.load("echo") == {"act": "LOAD", "result": 2}
    messages = client.install_messages()
    *progress, final = messages
    assert progress and all(is_progress(m) for m in progress), messages
    assert progress[-1]["size"] == progress[-1]["total"] == len(package)
    assert final == {"act": "LOAD", "error": 0, "result": 2}
    library = first.modules / library_name("echo")
    assert library.read_bytes() == (TEST_MODULES / library.name).read_bytes()
    assert client.load("echo") == {"act": "LOAD", "result": 0}

    # A request and its reply; a message the module pushes on a tick.
    assert client.ask("echo", {"b": "x", "a": 1}) == '{\n\t"a" : 1,\n\t"b" : "x"\n}'
    assert client.ask("echo", "push:hello") == '"push:hello"'
    assert client.next().text == "hello"

    # The same executable again: refused at once by the shared flag.
    assert first.same_executable("second").start(port=None).wait_exit() == 0
    assert client.call({"act": "HELLO"})["ready"] == 1
    assert client.ask("echo", 7) == "7"
