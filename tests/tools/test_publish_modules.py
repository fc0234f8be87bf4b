"""The publisher's tool, run as its command line: keys, packages and a signed catalogue."""

import json
import os
import subprocess
import sys

from pe_build import SOURCE
from test_catalogue_entry import build_library, sha512

sys.path.insert(0, os.path.join(SOURCE, "tools"))
import sign_image  # noqa: E402

TOOL = os.path.join(SOURCE, "tools", "publish_modules.py")


def run_tool(*arguments, cwd=None, env=None):
    return subprocess.run(["/usr/bin/python3", TOOL, *arguments], capture_output=True, text=True,
                          cwd=cwd, env=env)


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


def test_a_dll_is_published_signed_and_its_digests_are_of_the_signed_bytes(tmp_path):
    library = build_library(str(tmp_path), "mod", "LAUNCHER_MODULE_VERSION(1, 2, 3, 4);",
                            kind="x86_64")
    unsigned = open(library, "rb").read()
    pki = str(tmp_path / "pki")
    sign_image.test_pki(pki)
    # The publisher's form: a PKCS#12 file whose password is in the environment.
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", pki + "/signer.key",
                    "-in", pki + "/signer.pem", "-out", str(tmp_path / "signer.p12"),
                    "-passout", "pass:secret"], check=True)
    key = str(tmp_path / "catalogue.key")
    assert run_tool("keygen", key, key + ".pub").returncode == 0
    catalogue = str(tmp_path / "win.json")

    def publish(password):
        return run_tool("publish", "--catalogue", catalogue, "--packages", str(tmp_path / "p"),
                        "--url", "https://h/p", "--key", key, "--sign-pkcs12",
                        str(tmp_path / "signer.p12"), library,
                        env=dict(os.environ, LAUNCHER_SIGN_PASSWORD=password))

    assert publish("wrong").returncode == 1
    assert not os.path.exists(catalogue)
    result = publish("secret")
    assert result.returncode == 0, result.stderr
    assert open(library, "rb").read() == unsigned
    package = tmp_path / "p" / "mod-1.2.3.7z"
    subprocess.run(["7zz", "x", "-bso0", "-bsp0", "-o" + str(tmp_path / "x"), str(package)],
                   check=True)
    packed = str(tmp_path / "x" / "mod.dll")
    assert sign_image.verify(packed, pki + "/root.pem") is None
    entry = json.load(open(catalogue))["mod"]["versions"]["1.2.3"]
    assert (entry["sha512d"], entry["sha512e"]) == (sha512(packed), sha512(package))
    data = bytearray(open(packed, "rb").read())
    data[len(data) // 2] ^= 1
    open(packed, "wb").write(bytes(data))
    assert sign_image.verify(packed, pki + "/root.pem") is not None
