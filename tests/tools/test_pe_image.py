"""The PE reader on DLLs built with mingw-w64, whole and damaged."""

import os
import random
import struct
import sys

import pytest

from pe_build import ARCHES, MODULE_SOURCE, SOURCE, build, version_rc

sys.path.insert(0, os.path.join(SOURCE, "tools"))
import pe_image  # noqa: E402
from pe_image import PeError, PeImage  # noqa: E402

# Named resources put strings into the tree at the first two levels.
RESOURCES = version_rc((1, 10, 65535, 0)) + 'GREETING RCDATA { "hello" }\n'
SOURCE_WITH_IMPORT = MODULE_SOURCE + (
    "#include <winsock2.h>\n"
    "unsigned short swapped(unsigned short value) { return ntohs(value); }\n")


@pytest.fixture(scope="module", params=ARCHES)
def module_dll(request, tmp_path_factory):
    directory = tmp_path_factory.mktemp("pe-" + request.param)
    path = build(directory, request.param, "module.dll", SOURCE_WITH_IMPORT, RESOURCES,
                 flags=["-s"], libraries=["-lws2_32"])
    return request.param, open(path, "rb").read()


def read_everything(data):
    image = PeImage(data)
    image.imported_dlls()
    image.exported_names()
    image.resources()
    image.resource_data(10)
    image.file_version()


def test_dll_headers_directories_and_resources(module_dll):
    arch, data = module_dll
    image = PeImage(data)
    assert (image.machine, image.pe32_plus) == {
        "i686": (pe_image.MACHINE_I386, False), "x86_64": (pe_image.MACHINE_AMD64, True)}[arch]
    assert image.is_dll
    assert ".rsrc" in [section.name for section in image.sections]
    imports = [name.lower() for name in image.imported_dlls()]
    assert "kernel32.dll" in imports and "ws2_32.dll" in imports
    # The module contract: cdecl, so no "_" or "@0" decoration even on i686.
    assert image.exported_names() == ["registerHandler"]
    kinds = {(resource.type, resource.name) for resource in image.resources()}
    assert kinds == {(pe_image.RT_VERSION, 1), (10, "GREETING")}
    assert image.resource_data(10, "GREETING") == b"hello"
    assert image.resource_data(pe_image.RT_MANIFEST, 1) is None
    assert image.file_version() == (1, 10, 65535, 0)


def test_a_dll_without_resources_has_no_version(tmp_path):
    image = PeImage(open(build(tmp_path, "x86_64", "bare.dll", MODULE_SOURCE), "rb").read())
    assert image.resources() == []
    assert image.file_version() is None


def test_truncated_and_corrupted_images_raise_pe_error_only(module_dll):
    _, data = module_dll
    for length in range(0, len(data), 7):
        try:
            read_everything(data[:length])
        except PeError:
            pass
    # Overwrite words in the headers and the directories the reader walks.
    image = PeImage(data)
    regions = [(0, image.size_of_headers)] + [
        (image.offset_of(rva), size) for rva, size in image.directories[:3] if rva]
    generator = random.Random(7)
    for _ in range(3000):
        damaged = bytearray(data)
        for _ in range(generator.randint(1, 4)):
            start, size = generator.choice(regions)
            value = generator.choice([0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                      generator.getrandbits(32)])
            position = start + generator.randrange(max(1, size - 4))
            damaged[position:position + 4] = struct.pack("<I", value)
        try:
            read_everything(bytes(damaged))
        except PeError:
            pass


def patched_resource_root(data, offset, value):
    """data with the word at offset bytes into the resource tree replaced."""
    image = PeImage(data)
    root = image.offset_of(image.directories[pe_image.DIRECTORY_RESOURCE][0])
    damaged = bytearray(data)
    struct.pack_into("<I", damaged, root + offset, value)
    return bytes(damaged)


@pytest.mark.parametrize("offset, value, message", [
    (20, 0x80000000, "reached twice"),  # the first type points back at the root
    (20, 0xFFFFFFF0, "outside"),  # ... or far past the section's end
    (12, 0xFFFFFFFF, "claims more"),  # the root claims 2 * 65535 entries
])
def test_hostile_resource_trees_are_refused(module_dll, offset, value, message):
    _, data = module_dll
    with pytest.raises(PeError, match=message):
        PeImage(patched_resource_root(data, offset, value)).resources()


def test_hostile_counts_and_addresses_are_refused(module_dll):
    _, data = module_dll
    image = PeImage(data)
    exports = image.offset_of(image.directories[pe_image.DIRECTORY_EXPORT][0])
    damaged = bytearray(data)
    struct.pack_into("<I", damaged, exports + 24, 0xFFFFFFFF)  # NumberOfNames
    with pytest.raises(PeError):
        PeImage(bytes(damaged)).exported_names()

    version = next(r for r in image.resources() if r.type == pe_image.RT_VERSION)
    root = image.offset_of(image.directories[pe_image.DIRECTORY_RESOURCE][0])
    entry = data.index(struct.pack("<II", version.rva, version.size), root)
    damaged = bytearray(data)
    struct.pack_into("<I", damaged, entry, 0x7FFFFF00)  # the data's rva
    with pytest.raises(PeError, match="not in the file"):
        PeImage(bytes(damaged)).file_version()


@pytest.mark.parametrize("data", [b"", b"MZ", b"MZ" + b"\0" * 200, b"\x7fELF" + b"\0" * 200])
def test_other_files_are_not_pe_images(data):
    assert not pe_image.is_pe(data)
    with pytest.raises(PeError, match="not a PE image"):
        PeImage(data)
