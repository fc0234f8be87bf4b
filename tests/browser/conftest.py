"""Fixtures for the page library's browser tests (test_client.py): the
integration suite's launchers and catalogue server (tests/integration/
conftest.py, loaded here rather than copied, so the launcher under test is
the one that file names), the page on the build's first allowed origin
(tests/support/page_server.py) and one headless Chromium page
(page_driver.js, shared with the demo's test through chromium.js).

Exits with 77 (ctest's skip) when the build is a Windows one, or the
browser pieces of scripts/setup --browser are missing.
"""

import importlib.util
import json
import os
import queue
import re
import subprocess
import sys
import threading
import urllib.parse
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "support"))
import page_server  # noqa: E402

_spec = importlib.util.spec_from_file_location("integration_conftest",
                                               SOURCE / "tests" / "integration" / "conftest.py")
harness = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(harness)
# The integration suite's fixtures, registered here by name.
launcher = harness.launcher
catalogue_site = harness.catalogue_site
catalogue_server = harness.catalogue_server

SKIP = 77
NODE_MODULES = SOURCE / "third_party" / "node" / "node_modules"
PAGE_FILES = {"/test.html": HERE / "client_page.html",
              page_server.CLIENT_LIBRARY[0]: page_server.CLIENT_LIBRARY[1]}


def page_port():
    """The port of the page's origin, which the test launcher lets in."""
    return urllib.parse.urlsplit(harness.page_origin()).port


def missing():
    """Why these tests cannot run here, or None."""
    if harness.WINDOWS:
        return "the browser tests run against a Linux build"
    for needed in ("/usr/bin/chromium", "/usr/bin/certutil", NODE_MODULES / "playwright-core"):
        if not os.path.exists(needed):
            return "%s is missing; run scripts/setup --browser" % needed
    return None


def pytest_sessionstart(session):
    problem = missing()
    if problem:
        print("browser tests skipped: " + problem, file=sys.stderr)
        pytest.exit("skipped: " + problem, returncode=SKIP)


class Page:
    """The Chromium page of page_driver.js; eval() runs an expression in it."""

    def __init__(self, origin):
        self.origin = origin
        self.proc = subprocess.Popen(
            ["node", str(HERE / "page_driver.js"), "--root", str(harness.IDENTITY / "root.pem")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
            env=dict(os.environ, NODE_PATH=str(NODE_MODULES)))
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        assert self._reply(60) == "READY", "the page driver did not start"

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(json.loads(line))
        self.lines.put(None)

    def _reply(self, timeout):
        try:
            reply = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("the page did not answer within %s s" % timeout)
        assert reply is not None, "the page driver exited with %s" % self.proc.wait()
        return reply

    def _command(self, command, timeout):
        self.proc.stdin.write(json.dumps(command) + "\n")
        self.proc.stdin.flush()
        reply = self._reply(timeout)
        if "error" in reply:
            raise AssertionError("in the page: " + reply["error"])
        return reply["ok"]

    def open(self, path="/test.html"):
        self._command({"op": "goto", "url": self.origin + path}, harness.WAIT)

    def eval(self, expression, timeout=harness.WAIT):
        """The expression's value (awaited when it is a promise), as JSON data."""
        return self._command({"op": "eval", "expr": expression}, timeout)

    def problems(self):
        return self._command({"op": "problems"}, harness.WAIT)

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def readme_example(directory):
    """The page of the README's "Writing the page", as a file."""
    text = (SOURCE / "README.md").read_text(encoding="utf-8")
    section = text.split("\n## Writing the page\n", 1)[1].split("\n## ", 1)[0]
    example = re.search(r"```html\n(.*?)```", section, re.S)
    assert example, "README.md's Writing the page has no html example"
    path = directory / "readme_example.html"
    path.write_text(example.group(1), encoding="utf-8")
    return path


@pytest.fixture(scope="session")
def browser(tmp_path_factory):
    port = page_port()
    files = dict(PAGE_FILES, **{"/readme.html": readme_example(tmp_path_factory.mktemp("pages"))})
    server = page_server.serve_page(str(harness.IDENTITY), port, files)
    page = Page("https://127.0.0.1:%d" % port)
    yield page
    page.close()
    server.shutdown()


@pytest.fixture
def page(browser):
    """A fresh test page with the library loaded as `t.lc`; fails the test on
    page errors (the README's page is opened over it where a test needs it)."""
    browser.open()
    browser.eval("new Promise((resolve) => { const check = () => window.t ? resolve() : setTimeout(check, 10); check(); })")
    yield browser
    browser.eval("window.t && t.client && t.client.close()")
    problems = browser.problems()["problems"]
    assert not problems, problems
