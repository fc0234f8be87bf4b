"""The publisher's tool, run as its command line: keys, packages and a signed catalogue."""

import json
import os
import subprocess

from pe_build import SOURCE
from test_catalogue_entry import build_library, sha512

TOOL = os.path.join(SOURCE, "tools", "publish_modules.py")


def run_tool(*arguments, cwd=None):
    return subprocess.run(["/usr/bin/python3", TOOL, *arguments], capture_output=True, text=True,
                          cwd=cwd)


def test_published_catalogue_verifies_under_its_key_until_it_is_tampered_with(tmp_path):
    keys = {}
    for name in ("old", "new"):
        keys[name] = (str(tmp_path / (name + ".key")), str(tmp_path / (name + ".pub")))
        assert run_tool("keygen", *keys[name]).returncode == 0
    assert os.stat(keys["old"][0]).st_mode & 0o077 == 0
    assert run_tool("keygen", *keys["old"]).returncode == 1  # never overwritten
    bundle = tmp_path / "bundle.pem"
    bundle.write_text(open(keys["old"][1]).read() + open(keys["new"][1]).read())
    library = build_library(str(tmp_path), "mod", "LAUNCHER_MODULE_VERSION(1, 2, 3, 4);")
    catalogue = str(tmp_path / "online" / "win.json")

    def publish(key):
        # Paths as a publisher types them: relative, folders not made yet.
        return run_tool("publish", "--catalogue", "online/win.json", "--packages", "p",
                        "--url", "https://h/p/", "--key", keys[key][0], "--keys", str(bundle),
                        library, cwd=tmp_path)

    result = publish("new")
    assert result.returncode == 0, result.stderr
    document = json.load(open(catalogue))
    package = tmp_path / "p" / "mod-1.2.3.7z"
    assert document["mod"]["versions"]["1.2.3"] == {
        "install": "https://h/p/mod-1.2.3.7z", "size": package.stat().st_size,
        "sha512e": sha512(package), "sha512d": sha512(library)}
    listing = subprocess.run(["7zz", "l", "-slt", str(package)], capture_output=True, text=True)
    assert "Path = mod.so" in listing.stdout
    assert document["expires"] > document["issued"]

    def verify(key_file):
        return run_tool("verify", "--catalogue", catalogue, "--keys", key_file).returncode

    assert verify(str(bundle)) == 0
    assert verify(keys["old"][1]) == 1
    # Published again, the serial rises even within the same second.
    assert publish("old").returncode == 0
    assert json.load(open(catalogue))["issued"] > document["issued"]
    assert verify(keys["old"][1]) == 0
    text = open(catalogue).read()
    open(catalogue, "w").write(text.replace('"issued": ', '"issued": 1', 1))
    assert verify(str(bundle)) == 1
