"""The page library (client/launcher-client.js) driven in Chromium against
the real launcher and the scriptable catalogue server: each LOAD outcome,
install failures, requests and pushed frames, a launcher that starts after
the page and one that stops under it, an install that goes silent, a page
whose origin the launcher refuses, and a flood of frames."""

import json
import re
import subprocess

from conftest import PAGE_FILES, SOURCE, harness, page_server

PACKAGE = "/packages/%s.7z"


def connected(page, options="{}"):
    """Makes t.client with the options (a JS object text) and connects it."""
    outcome = page.eval("t.settle(t.make(%s).connect())" % options)
    assert outcome["ok"], outcome
    return outcome["value"]


def settled(page, expression):
    """The outcome of a promise expression: {"ok", "value"} or {"ok", "error"}."""
    return page.eval("t.settle(%s)" % expression)


def load(page, module):
    """t.client.load(module) recording progress in t.progress."""
    page.eval("t.progress = []")
    return settled(page, "t.client.load(%s, { onProgress: (p) => t.progress.push(p) })" % json.dumps(module))


def rejected(outcome, code, **fields):
    assert not outcome["ok"], outcome
    error = outcome["error"]
    assert error["isLauncherError"] and error["name"] == "LauncherError", error
    assert error["code"] == code, error
    for name, value in fields.items():
        assert error.get(name) == value, (name, error)
    return error


def test_load_installs_with_progress_registers_and_talks(page, launcher, catalogue_server):
    package = catalogue_server.publish("echo")
    launcher()
    info = connected(page)
    assert info["port"] == harness.BRIDGE_PORTS[0] and info["version"] == harness.project_version()
    assert page.eval("t.client.catalogueSettled()") == "ready"
    assert page.eval("[t.client.state, t.client.ready, t.client.readyCode]") == ["open", "ready", 1]

    # 2: installed with progress, then LOAD again answers 0. A second load of
    # the same name meanwhile shares the operation and the one install.
    page.eval("t.second = []; t.progress = []")
    assert page.eval("t.a = t.client.load('echo', { onProgress: (p) => t.progress.push(p) });"
                     "t.b = t.client.load('echo', { onProgress: (p) => t.second.push(p) }); t.a === t.b")
    outcome = page.eval("t.settle(t.a)")
    assert outcome == {"ok": True, "value": {"module": "echo", "installs": 1, "results": [2, 0]}}
    progress = page.eval("t.progress")
    assert progress and progress == page.eval("t.second")
    assert all(p["module"] == "echo" for p in progress)
    assert progress[-1]["size"] == progress[-1]["total"] == len(package)
    assert all(b["size"] >= a["size"] for a, b in zip(progress, progress[1:]))
    assert page.eval("t.eventsOf('progress').length") == len(progress)
    assert len(catalogue_server.package_requests("echo")) == 1

    # 0: registered already.
    assert load(page, "echo") == {"ok": True, "value": {"module": "echo", "installs": 0, "results": [0]}}
    assert page.eval("t.progress") == []

    # A request with the correlation member (echo answers with the request).
    reply = settled(page, "t.client.request('echo', { b: 'x', a: [1, null], id: 3 })")
    assert reply["ok"] and reply["value"].pop("$rid").endswith("-1"), reply
    assert reply["value"] == {"a": [1, None], "b": "x", "id": 3}
    # A module that does not answer: the helper gives up plainly.
    error = rejected(settled(page, "t.client.request('nosuch', { a: 1 }, { timeout: 300 })"), "timeout")
    assert "did not answer" in error["message"]

    # send() and the stream of module frames: echo's reply, then its push.
    page.eval("t.iterator = t.client.messages(); t.client.send('echo', 'push:hello'); true")
    first = page.eval("t.iterator.next()")
    second = page.eval("t.iterator.next()")
    assert first == {"done": False, "value": {"text": '"push:hello"', "data": "push:hello"}}
    assert second == {"done": False, "value": {"text": "hello"}}  # not JSON: data undefined
    messages = page.eval("t.eventsOf('message').map((e) => e.text)")
    assert messages == ['"push:hello"', "hello"], messages  # the request's reply went to request()

    # close(): the stream ends, later calls say why.
    page.eval("t.client.close()")
    assert page.eval("t.iterator.next()") == {"done": True}
    rejected(settled(page, "t.client.load('echo')"), "not-connected")
    assert page.eval("t.eventsOf('close').map((e) => e.byPage)") == [True]


def test_load_rejects_with_result_and_error(page, launcher, catalogue_server):
    for module in ["noexport", "nulltable"]:
        catalogue_server.publish(module)
    launcher()
    connected(page)

    # 1: no name.
    error = rejected(settled(page, "t.client.load()"), "load-failed", result=1)
    assert "names no module" in error["message"]
    # 6: not in the catalogue.
    error = rejected(load(page, "nosuch"), "load-failed", module="nosuch", result=6,
                     registrationError=None, installError=None)
    assert "catalogue lists no such module" in error["message"]
    # 5: installed, then registration fails, with the launcher's error.
    error = rejected(load(page, "noexport"), "load-failed", module="noexport", result=5,
                     registrationError=2, installError=None)
    assert "no registerHandler export" in error["message"] and "error 2" in error["message"]
    assert page.eval("t.progress.length") > 0
    error = rejected(load(page, "nulltable"), "load-failed", result=5, registrationError=3)
    assert "returned no table" in error["message"]


def test_catalogue_unavailable_then_fetched_again(page, launcher, catalogue_site):
    # No catalogue server: the launcher's fetch fails.
    launcher()
    connected(page)
    assert page.eval("t.client.catalogueSettled()") == "unavailable"
    assert page.eval("[t.client.ready, t.client.readyCode]") == ["unavailable", -1]
    error = rejected(load(page, "echo"), "load-failed", result=6)
    assert "refreshCatalogue()" in error["message"]

    # INITMC once the server is up: the state goes to "ready" and the load works.
    catalogue_site.start()
    catalogue_site.publish("echo")
    assert page.eval("t.client.refreshCatalogue()") == "ready"
    assert page.eval("t.eventsOf('ready').map((e) => e.ready)")[-1] == "ready"
    assert load(page, "echo")["value"]["results"] == [2, 0]


def test_results_3_and_4_install_the_current_library(page, launcher, catalogue_server):
    catalogue_server.publish("echo")   # 1.2.3
    catalogue_server.publish("alpha")  # 1.0.0
    instance = launcher(start=False)
    instance.preinstall("echo", library="alpha")  # another version
    instance.preinstall("alpha", library="Beta")  # the same version, other bytes
    instance.start()
    connected(page)
    for module, result in [("echo", 3), ("alpha", 4)]:
        outcome = load(page, module)
        assert outcome == {"ok": True, "value": {"module": module, "installs": 1, "results": [result, 0]}}
        assert page.eval("t.progress.length") > 0


def test_install_errors_3_and_4(page, launcher, catalogue_server):
    catalogue_server.publish("echo")
    catalogue_server.publish("alpha")
    catalogue_server.rule(PACKAGE % "echo", {"drop_after": 500, "times": 1})
    catalogue_server.rule(PACKAGE % "alpha", {"body": "not the package", "times": 1})
    launcher()
    connected(page)

    error = rejected(load(page, "echo"), "load-failed", module="echo", result=2, installError=3,
                     registrationError=None)
    assert "download failed" in error["message"]
    error = rejected(load(page, "alpha"), "load-failed", module="alpha", result=2, installError=4)
    assert "does not match the catalogue's digest" in error["message"]

    # Nothing stale stays behind: the next loads install and register.
    for module in ["echo", "alpha"]:
        outcome = load(page, module)
        assert outcome["ok"], (module, outcome)


def test_launcher_started_after_the_page(page, launcher, catalogue_server):
    catalogue_server.publish("echo")
    instance = launcher(start=False)

    # None answers: a plain connect() says so, and why it cannot say more.
    error = rejected(settled(page, "t.make({ handshakeTimeout: 2000 }).connect()"), "not-found")
    assert error["message"] == page.eval("t.lc.NOT_FOUND_MESSAGE")
    assert "not running" in error["message"] and "does not trust its certificate" in error["message"]
    assert page.eval("t.client.state") == "closed"

    # Waiting: the launcher starts meanwhile.
    page.eval("t.start('connect', t.make({ retryInterval: 300 }).connect({ wait: true })); t.client.state")
    page.eval("new Promise((resolve) => setTimeout(resolve, 1000))")
    assert page.eval("t.client.state") == "connecting"
    instance.start()
    outcome = page.eval("t.pending.connect")
    assert outcome["ok"] and outcome["value"]["port"] == harness.BRIDGE_PORTS[0], outcome
    assert page.eval("t.eventsOf('open').length") == 1
    assert load(page, "echo")["value"]["results"] == [2, 0]


def test_launcher_stopped_under_the_page(page, launcher, catalogue_server):
    catalogue_server.publish("echo")
    # A slow package: the install is still running when the launcher stops.
    catalogue_server.rule(PACKAGE % "echo", {"chunk": 256, "chunk_delay": 0.3, "times": 1})
    first = launcher()
    connected(page, "{ reconnect: true, retryInterval: 300 }")
    page.eval("t.progress = []; t.start('load', t.client.load('echo', { onProgress: (p) => t.progress.push(p) }));"
              "t.start('request', t.client.request('echo', { a: 1 }, { timeout: 60000 }));"
              "t.iterator = t.client.messages(); t.start('next', t.iterator.next()); true")
    page.eval("new Promise((resolve) => { const check = () => t.progress.length ? resolve() : setTimeout(check, 20); check(); })")
    first.proc.kill()
    first.wait_exit()

    # Everything pending is rejected, not left hanging.
    error = rejected(page.eval("t.pending.load"), "closed")
    assert "closed" in error["message"]
    error = rejected(page.eval("t.pending.request"), "closed")  # echo was not registered yet: no reply
    assert error["closeCode"] == 1006, error
    closes = page.eval("t.eventsOf('close')")
    assert len(closes) == 1 and closes[0]["code"] == 1006 and closes[0]["byPage"] is False, closes
    assert page.eval("t.client.ready") == "unknown"

    # reconnect: true finds the next launcher, and the load goes through;
    # the iterator outlives the drop.
    harness.wait_ports_free(harness.BRIDGE_PORTS)
    second = launcher()
    wait_open(page, 2)
    assert load(page, "echo")["value"]["results"] == [2, 0]
    page.eval("t.client.send('echo', 'push:after'); true")
    assert page.eval("t.pending.next") == {"ok": True, "value": {"done": False, "value": {"text": '"push:after"', "data": "push:after"}}}

    # Once more: the new launcher knows no module of this page, and the client
    # loads echo again before it announces the connection.
    second.proc.kill()
    second.wait_exit()
    harness.wait_ports_free(harness.BRIDGE_PORTS)
    launcher()
    opened = wait_open(page, 3)
    assert opened["reloaded"] == ["echo"] and opened["failed"] == [], opened
    assert settled(page, "t.client.request('echo', { a: 2 })")["value"]["a"] == 2


def wait_open(page, count):
    """The count-th "open" event, once it has come."""
    page.eval("new Promise((resolve) => { const check = () => t.eventsOf('open').length >= %d ? resolve() :"
              "setTimeout(check, 20); check(); })" % count)
    return page.eval("t.eventsOf('open')[%d]" % (count - 1))


def test_silent_install_times_out_and_the_client_reconnects(page, launcher, catalogue_server):
    catalogue_server.publish("echo")
    # Silent for longer than the page waits, not for as long as the launcher does.
    catalogue_server.rule(PACKAGE % "echo", {"stall": 2, "times": 1})
    launcher()
    connected(page, "{ reconnect: true, retryInterval: 100, installTimeout: 1000 }")
    error = rejected(load(page, "echo"), "timeout", module="echo")
    assert "sent nothing for 1000 ms" in error["message"]
    assert [e["code"] for e in page.eval("t.eventsOf('close')")] == [4000]
    wait_open(page, 2)
    # The launcher's install went on meanwhile; a patient load joins or finds it.
    page.eval("t.client.options.installTimeout = 60000")
    outcome = load(page, "echo")
    assert outcome["ok"], outcome


def test_origin_the_launcher_refuses(page, launcher):
    launcher()
    other = page_server.serve_page(str(harness.IDENTITY), 11661, PAGE_FILES)
    try:
        page._command({"op": "goto", "url": "https://127.0.0.1:11661/test.html"}, harness.WAIT)
        page.eval("new Promise((resolve) => { const check = () => window.t ? resolve() : setTimeout(check, 10); check(); })")
        error = rejected(settled(page, "t.make().connect()"), "not-found")
        # The launcher's 403 looks like nothing listening: the message names both.
        assert error["attempts"] == [{"port": p, "outcome": "refused"} for p in harness.BRIDGE_PORTS], error
        assert "allow-list" in error["message"] and "not running" in error["message"]
    finally:
        other.shutdown()


def test_flood_of_frames(page, launcher, catalogue_server):
    catalogue_server.publish("echo")
    launcher()
    connected(page)
    assert load(page, "echo")["ok"]
    page.eval("t.iterator = t.client.messages({ bufferSize: 50 });"
              "for (let n = 0; n < 3000; n++) t.client.send('echo', { n }); true")
    page.eval("new Promise((resolve) => { const check = () => t.eventsOf('message').length >= 3000 ? resolve() :"
              "setTimeout(check, 20); check(); })")
    assert page.eval("t.iterator.dropped") == 2950
    first = page.eval("t.iterator.next()")
    assert first["value"]["data"] == {"n": 2950}, first


def test_readme_example_page(page, launcher, catalogue_server):
    # The README's page, against a launcher that starts after it, with echo
    # published under the name it loads.
    catalogue_server.publish("sysinfo", library="echo")
    page.open("/readme.html")
    page.eval("new Promise((resolve) => setTimeout(resolve, 500))")
    launcher()
    text = page.eval("new Promise((resolve) => { const out = document.getElementById('out');"
                     "const check = () => out.textContent.includes('facts') ? resolve(out.textContent) : setTimeout(check, 20);"
                     "check(); })")
    assert text == '{\n\t"op" : "facts"\n}\n', text
    bar = page.eval("[document.getElementById('bar').value, document.getElementById('bar').max]")
    assert bar[0] == bar[1] > 0, bar


def test_package_declares_what_the_module_exports():
    client = SOURCE / "client"
    package = json.loads((client / "package.json").read_text())
    # The library has its own version; each has its entry in the changelog.
    assert re.fullmatch(r"\d+\.\d+\.\d+", package["version"]), package["version"]
    assert "\n## %s " % package["version"] in (client / "CHANGELOG.md").read_text()
    entry = package["exports"]["."]
    for path in [entry["default"], entry["types"], package["types"], *package["files"]]:
        assert (client / path).is_file(), path
    exported = json.loads(subprocess.run(
        ["node", "--input-type=module", "-e",
         "import * as m from %s; console.log(JSON.stringify(Object.keys(m)))"
         % json.dumps((client / entry["default"]).resolve().as_uri())],
        check=True, capture_output=True, text=True).stdout)
    declared = re.findall(r"^export declare (?:const|class|function) (\w+)",
                          (client / entry["types"]).read_text(), re.M)
    assert sorted(declared) == sorted(exported)


def test_bookkeeping_against_a_scripted_launcher():
    # Orders of frames the real launcher produces only by chance (node --test).
    run = subprocess.run(["node", "--test", str(SOURCE / "tests" / "browser" / "client_logic.test.mjs")],
                         capture_output=True, text=True, timeout=harness.WAIT)
    assert run.returncode == 0, run.stdout + run.stderr
