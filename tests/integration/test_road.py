"""The whole road on one launcher process, as a page walks it: HELLO with the
version the executable carries, LOAD of a missing module with its progress
and final messages, LOAD 0, a request and its reply, a pushed message, and a
second start of the same executable that ends at once while the first keeps
serving."""

from conftest import (TEST_MODULES, WINDOWS, is_progress, library_name, project_version,
                      wine_profile, wine_registry_value)


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


def test_road_from_a_profile_beyond_the_code_page(launcher, catalogue_server, tmp_path):
    """Installed where a user named in Cyrillic and CJK keeps programs: under
    wine the prefix's user (scripts/wine_prefix), whose profile holds the
    launcher (%LOCALAPPDATA%\\Programs) and the temporary folder, while the
    system's ANSI code page holds none of the name; on Linux a home of such
    a name, with TMPDIR in it."""
    if WINDOWS:
        profile = wine_profile()
        code_page = "cp" + wine_registry_value(
            "system.reg", r"System\\CurrentControlSet\\Control\\Nls\\CodePage", "ACP")
        assert not profile.name.encode(code_page, "ignore"), \
            "the prefix's user %r is no test of code page %s: make the prefix with" \
            " scripts/wine_prefix DIR NAME" % (profile.name, code_page)
        home = profile / "AppData" / "Local" / "Programs"
    else:
        home = tmp_path / "Пётр张伟"
    catalogue_server.publish("echo")
    instance = launcher(home=home)
    client = instance.connect()
    client.wait_ready()
    assert client.call({"act": "HELLO"})["version"] == project_version()
    assert client.load("echo") == {"act": "LOAD", "result": 2}
    assert client.install_messages()[-1] == {"act": "LOAD", "error": 0, "result": 2}
    assert (instance.modules / library_name("echo")).exists()
    assert client.load("echo") == {"act": "LOAD", "result": 0}
    assert client.ask("echo", 7) == "7"
