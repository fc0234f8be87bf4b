"""The publisher's catalogue tool, run as its command line on real libraries."""

import hashlib
import json
import os
import struct
import subprocess
import sys

import pytest

from pe_build import ARCHES, HEADER_DIR, SOURCE, build, version_rc

sys.path.insert(0, os.path.join(SOURCE, "tools"))
import pe_image  # noqa: E402

TOOL = os.path.join(SOURCE, "tools", "catalogue_entry.py")
KINDS = ("elf",) + ARCHES


def build_library(directory, name, stamp, kind="elf"):
    """A module library: an ELF one with stamp, or a DLL with stamp's parts as its VERSIONINFO."""
    text = ('#include "launcher_module.h"\n%s\n'
            "const ModuleHandler *registerHandler(void) { return 0; }\n" % stamp)
    if kind != "elf":
        parts = stamp[stamp.find("(") + 1:stamp.find(")")].split(",") if stamp else None
        return build(directory, kind, name + ".dll", text, version_rc(parts) if parts else None)
    source = os.path.join(directory, name + ".c")
    with open(source, "w") as stream:
        stream.write(text)
    library = os.path.join(directory, name + ".so")
    subprocess.run(["cc", "-shared", "-fPIC", "-I", HEADER_DIR, source, "-o", library], check=True)
    return library


def without_section_headers(library):
    """The same library with its section header table gone (as some strippers leave it)."""
    data = bytearray(open(library, "rb").read())
    struct.pack_into("<Q", data, 0x28, 0)  # e_shoff
    struct.pack_into("<HH", data, 0x3C, 0, 0)  # e_shnum, e_shstrndx
    path = library + ".noshdr"
    open(path, "wb").write(bytes(data))
    return path


def run_tool(catalogue, module, library, package, url):
    return subprocess.run(["/usr/bin/python3", TOOL, "--catalogue", catalogue, "--module", module,
                           "--library", library, "--package", package, "--url", url],
                          capture_output=True, text=True)


def sha512(path):
    return hashlib.sha512(open(path, "rb").read()).hexdigest()


@pytest.fixture
def package(tmp_path):
    path = tmp_path / "pkg.7z"
    path.write_bytes(b"7z package bytes\x00\xff" * 100)
    return str(path)


@pytest.mark.parametrize("kind", KINDS)
def test_entries_merge_into_the_catalogue(tmp_path, package, kind):
    catalogue = str(tmp_path / "online" / "win.json")
    os.makedirs(os.path.dirname(catalogue))
    with open(catalogue, "w") as stream:
        json.dump({"other": {"latest": "9.9.9", "versions": {"9.9.9": {"install": "x"}}}}, stream)
    first = build_library(str(tmp_path), "first", "LAUNCHER_MODULE_VERSION(1, 2, 3, 4);", kind)
    second = build_library(str(tmp_path), "second", "LAUNCHER_MODULE_VERSION(1, 10, 65535, 0);",
                           kind)

    assert run_tool(catalogue, "abc", first, package, "https://h/abc-1.7z").returncode == 0
    assert run_tool(catalogue, "abc", second, package, "https://h/abc-2.7z").returncode == 0

    with open(catalogue) as stream:
        document = json.load(stream)
    assert document["other"] == {"latest": "9.9.9", "versions": {"9.9.9": {"install": "x"}}}
    abc = document["abc"]
    assert abc["latest"] == "1.10.65535"
    assert sorted(abc["versions"]) == ["1.10.65535", "1.2.3"]
    assert abc["versions"]["1.2.3"] == {
        "install": "https://h/abc-1.7z", "size": os.path.getsize(package),
        "sha512e": sha512(package), "sha512d": sha512(first)}
    assert abc["versions"]["1.10.65535"]["sha512d"] == sha512(second)


def test_version_is_read_from_sections_or_else_segments(tmp_path, package):
    library = build_library(str(tmp_path), "mod", "LAUNCHER_MODULE_VERSION(2, 0, 1, 7);")
    for candidate in (library, without_section_headers(library)):
        catalogue = str(tmp_path / ("%s.json" % os.path.basename(candidate)))
        result = run_tool(catalogue, "mod", candidate, package, "https://h/m.7z")
        assert result.returncode == 0, result.stderr
        assert json.load(open(catalogue))["mod"]["latest"] == "2.0.1"


def refused(tmp_path, package, library):
    catalogue = str(tmp_path / "win.json")
    result = run_tool(catalogue, "plain", library, package, "https://h/p.7z")
    assert result.returncode == 1
    assert "Traceback" not in result.stderr
    assert not os.path.exists(catalogue)
    return result.stderr


@pytest.mark.parametrize("kind, content", [("elf", "unstamped"), ("elf", "truncated"),
                                           ("i686", "unstamped"), ("x86_64", "unstamped"),
                                           ("elf", "neither")])
def test_libraries_without_a_readable_stamp_are_refused(tmp_path, package, kind, content):
    stamp = "" if content == "unstamped" else "LAUNCHER_MODULE_VERSION(1, 0, 0, 0);"
    library = build_library(str(tmp_path), "plain", stamp, kind)
    if content == "truncated":
        data = open(library, "rb").read()
        open(library, "wb").write(data[:data.index(b"MODVER") - 6])  # cut inside the stamp's header
    elif content == "neither":
        open(library, "wb").write(b"MZ" + b"\0" * 200)
    message = refused(tmp_path, package, library)
    if content == "unstamped":
        assert ("MODVER" if kind == "elf" else "VERSIONINFO") in message


@pytest.fixture(scope="module")
def stamped_dll(tmp_path_factory):
    library = build_library(str(tmp_path_factory.mktemp("dll")), "plain",
                            "LAUNCHER_MODULE_VERSION(1, 0, 0, 0);", "i686")
    with open(library, "rb") as stream:
        return stream.read()


def damaged(data, damage):
    """The DLL data cut short, or with its resource tree's first entry pointed astray."""
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    (optional_size,) = struct.unpack_from("<H", data, pe_offset + 20)
    image = pe_image.PeImage(data)
    root = image.offset_of(image.directories[pe_image.DIRECTORY_RESOURCE][0])
    cuts = {"cut in the file header": pe_offset + 10,
            "cut in the optional header": pe_offset + 24 + optional_size // 2,
            "cut in the section table": pe_offset + 24 + optional_size + 60,
            "cut in the resource tree": root + 20,
            "cut in the version": data.index("VS_VERSION_INFO".encode("utf-16-le")) + 8}
    if damage in cuts:
        return data[:cuts[damage]]
    target = {"resource outside the file": 0xFFFFFF00, "resource loop": 0x80000000}[damage]
    return data[:root + 20] + struct.pack("<I", target) + data[root + 24:]


@pytest.mark.parametrize("damage", ["cut in the file header", "cut in the optional header",
                                    "cut in the section table", "cut in the resource tree",
                                    "cut in the version", "resource outside the file",
                                    "resource loop"])
def test_damaged_dlls_are_refused(tmp_path, package, stamped_dll, damage):
    library = tmp_path / "plain.dll"
    library.write_bytes(damaged(stamped_dll, damage))
    assert "damaged DLL" in refused(tmp_path, package, str(library))


def test_a_catalogue_with_duplicate_keys_is_left_alone(tmp_path, package):
    catalogue = tmp_path / "win.json"
    original = '{"abc": {"latest": "1.0.0"}, "abc": {"latest": "2.0.0"}}'
    catalogue.write_text(original)
    library = build_library(str(tmp_path), "mod", "LAUNCHER_MODULE_VERSION(1, 0, 0, 0);")
    result = run_tool(str(catalogue), "abc", library, package, "https://h/a.7z")
    assert result.returncode == 1
    assert "duplicate" in result.stderr
    assert catalogue.read_text() == original
