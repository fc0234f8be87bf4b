#!/usr/bin/python3
"""Turn a module package into its catalogue entry and merge it into a catalogue.

    catalogue_entry.py --catalogue FILE --module NAME --library PATH
                       --package PATH --url URL

The version comes from the library's version note (owner "MODVER", type 1,
four 16-bit parts), or for a DLL from its VERSIONINFO's fixed file version,
and is written as "major.minor.build", the form the launcher compares. The
entry becomes the module's "latest"; other modules and other versions
already in FILE are kept. FILE is created when missing and is
replaced atomically.
"""

import argparse
import hashlib
import json
import os
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_image  # noqa: E402  (lives beside this script)

NOTE_OWNER = b"MODVER"
NOTE_TYPE = 1
SHT_NOTE = 7
PT_NOTE = 4


class EntryError(Exception):
    pass


def _align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def _notes(data, offset, size, alignment, order):
    """Yields (owner, type, description) for each note in data[offset:offset+size]."""
    end = offset + size
    if offset < 0 or size < 0 or end > len(data):
        return
    alignment = 8 if alignment == 8 else 4
    position = offset
    while position + 12 <= end:
        name_size, desc_size, note_type = struct.unpack_from(order + "III", data, position)
        name_start = position + 12
        desc_start = name_start + _align(name_size, alignment)
        desc_end = desc_start + desc_size
        if desc_end > end:
            return
        owner = data[name_start:name_start + name_size].rstrip(b"\0")
        yield owner, note_type, data[desc_start:desc_end]
        position = desc_start + _align(desc_size, alignment)


def _note_ranges(data):
    """Yields (offset, size, alignment, order) of note sections, else PT_NOTE segments."""
    if len(data) < 16 or data[:4] != b"\x7fELF":
        raise EntryError("neither an ELF file nor a PE DLL")
    elf_class, encoding = data[4], data[5]
    if elf_class not in (1, 2) or encoding not in (1, 2):
        raise EntryError("unknown ELF class or data encoding")
    order = "<" if encoding == 1 else ">"
    wide = elf_class == 2
    header = order + ("HHIQQQIHHHHHH" if wide else "HHIIIIIHHHHHH")
    if len(data) < 16 + struct.calcsize(header):
        raise EntryError("truncated ELF header")
    (_, _, _, _, ph_off, sh_off, _, _, ph_size, ph_count, sh_size, sh_count,
     _) = struct.unpack_from(header, data, 16)

    def entries(table_offset, count, entry_size, layout):
        """The unpacked entries of a header table, as far as the file holds them."""
        layout = order + layout
        if not (table_offset and count and entry_size >= struct.calcsize(layout)):
            return
        for index in range(count):
            start = table_offset + index * entry_size
            if start + struct.calcsize(layout) > len(data):
                return
            yield struct.unpack_from(layout, data, start)

    # Sections: type, offset, size, alignment; segments: type, offset, size
    # in the file, alignment (their fields sit apart in 32- and 64-bit files).
    sections = [(f[1], f[4], f[5], f[8]) for f in entries(
        sh_off, sh_count, sh_size, "IIQQQQIIQQ" if wide else "IIIIIIIIII")]
    segments = [(f[0], f[2], f[5], f[7]) if wide else (f[0], f[1], f[4], f[7])
                for f in entries(ph_off, ph_count, ph_size,
                                 "IIQQQQQQ" if wide else "IIIIIIII")]
    ranges = [(offset, size, alignment, order)
              for kind, offset, size, alignment in sections if kind == SHT_NOTE]
    return ranges or [(offset, size, alignment, order)
                      for kind, offset, size, alignment in segments if kind == PT_NOTE]


def _dll_version(data):
    """The "major.minor.build" text of a DLL's VERSIONINFO fixed file info."""
    try:
        parts = pe_image.PeImage(data).file_version()
    except pe_image.PeError as error:
        raise EntryError("damaged DLL: %s" % error)
    if parts is None:
        raise EntryError("no VERSIONINFO resource in the DLL")
    return "%u.%u.%u" % parts[:3]


def library_version(data):
    """The "major.minor.build" text of the library's version note or VERSIONINFO."""
    if pe_image.is_pe(data):
        return _dll_version(data)
    for offset, size, alignment, order in _note_ranges(data):
        for owner, note_type, desc in _notes(data, offset, size, alignment, order):
            if owner == NOTE_OWNER and note_type == NOTE_TYPE and len(desc) == 8:
                major, minor, build, _revision = struct.unpack(order + "HHHH", desc)
                return "%u.%u.%u" % (major, minor, build)
    raise EntryError("no MODVER version note")


def _sha512(path):
    digest = hashlib.sha512()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _unique_object(pairs):
    result = {}
    for key, value in pairs:
        if key in result:
            raise EntryError("duplicate key %r in catalogue" % key)
        result[key] = value
    return result


def load_catalogue(path):
    try:
        with open(path, "r", encoding="utf-8") as stream:
            text = stream.read()
    except FileNotFoundError:
        return {}
    if not text.strip():
        return {}
    try:
        catalogue = json.loads(text, object_pairs_hook=_unique_object)
    except ValueError as error:
        raise EntryError("catalogue is not valid JSON: %s" % error)
    if not isinstance(catalogue, dict):
        raise EntryError("catalogue's top level is not an object")
    return catalogue


def merge_entry(catalogue, module, version, entry):
    existing = catalogue.get(module)
    if not isinstance(existing, dict):
        existing = {}
    versions = existing.get("versions")
    if not isinstance(versions, dict):
        versions = {}
    versions[version] = entry
    existing["latest"] = version
    existing["versions"] = versions
    catalogue[module] = existing
    return catalogue


def replace_atomically(path, data):
    """Writes data (bytes) to path through a new file that replaces it."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".catalogue-", dir=directory)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def write_catalogue(path, catalogue):
    text = json.dumps(catalogue, indent=2, ensure_ascii=False, allow_nan=False) + "\n"
    replace_atomically(path, text.encode("utf-8"))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalogue", required=True, help="catalogue JSON file to update")
    parser.add_argument("--module", required=True, help="module name")
    parser.add_argument("--library", required=True, help="the module library inside the package")
    parser.add_argument("--package", required=True, help="the 7z module package")
    parser.add_argument("--url", required=True, help="URL the package is served from")
    args = parser.parse_args(argv)
    try:
        if not args.module:
            raise EntryError("empty module name")
        with open(args.library, "rb") as stream:
            version = library_version(stream.read())
        entry = {
            "install": args.url,
            "size": os.path.getsize(args.package),
            "sha512e": _sha512(args.package),
            "sha512d": _sha512(args.library),
        }
        catalogue = merge_entry(load_catalogue(args.catalogue), args.module, version, entry)
        write_catalogue(args.catalogue, catalogue)
    except (EntryError, OSError, struct.error) as error:
        print("catalogue_entry: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
