"""A bounded reader of PE images (PE32 and PE32+), for checks and tools.

Every read is checked against the file: a damaged or hostile image raises
PeError, and no walk does more work than the file's size allows.

    image = PeImage(open(path, "rb").read())
    image.machine, image.pe32_plus, image.subsystem, image.sections
    image.imported_dlls(), image.exported_names()
    image.resource_data(RT_MANIFEST, 1), image.file_version()
"""

import collections
import struct

MACHINE_I386 = 0x14C
MACHINE_AMD64 = 0x8664
SUBSYSTEM_WINDOWS_GUI = 2
SUBSYSTEM_WINDOWS_CUI = 3
FILE_DLL = 0x2000
SCN_MEM_SHARED = 0x10000000
SCN_MEM_READ = 0x40000000
SCN_MEM_WRITE = 0x80000000
RT_VERSION = 16
RT_MANIFEST = 24

DIRECTORY_EXPORT = 0
DIRECTORY_IMPORT = 1
DIRECTORY_RESOURCE = 2

_FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
_NAME_LIMIT = 4096  # longer DLL or export names are damage, not names

Section = collections.namedtuple(
    "Section", "name virtual_address virtual_size raw_offset raw_size characteristics")
# type, name and language are ids (int) or names (str); rva and size locate the data.
Resource = collections.namedtuple("Resource", "type name language rva size")


class PeError(Exception):
    """The file is not a PE image, or a part of it is damaged."""


class _Budget:
    """Bytes a walk may still claim; well-formed tables never overlap, so the file bounds them."""

    def __init__(self, limit):
        self.left = limit

    def spend(self, amount, what):
        self.left -= amount
        if self.left < 0:
            raise PeError("%s claims more than the file holds" % what)


def is_pe(data):
    """Whether data starts like a PE image: "MZ" and a PE signature where it points."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return False
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    return data[pe_offset:pe_offset + 4] == b"PE\0\0"


class PeImage:
    """The headers of a PE image, with lookups into its directories on demand."""

    def __init__(self, data):
        self.data = bytes(data)
        if not is_pe(self.data):
            raise PeError("not a PE image")
        (pe_offset,) = self._unpack("<I", 0x3C)
        (self.machine, section_count, _, symbols, symbol_count, optional_size,
         self.characteristics) = self._unpack("<HHIIIHH", pe_offset + 4)
        optional = pe_offset + 24
        (magic,) = self._unpack("<H", optional)
        if magic not in (0x10B, 0x20B):
            raise PeError("unknown optional header magic 0x%x" % magic)
        self.pe32_plus = magic == 0x20B
        (self.size_of_headers,) = self._unpack("<I", optional + 60)
        self.subsystem, self.dll_characteristics = self._unpack("<HH", optional + 68)
        # The data directories follow the fixed part; their count is the file's claim.
        fixed = 112 if self.pe32_plus else 96
        if optional_size < fixed:
            raise PeError("optional header too short")
        (directory_count,) = self._unpack("<I", optional + fixed - 4)
        directory_count = min(directory_count, (optional_size - fixed) // 8)
        self.directories = [self._unpack("<II", optional + fixed + 8 * index)
                            for index in range(directory_count)]
        table = optional + optional_size
        self._check(table, 40 * section_count, "section table")
        self.sections = []
        for index in range(section_count):
            fields = self._unpack("<8sIIIIIIHHI", table + 40 * index)
            name = self._section_name(fields[0].rstrip(b"\0"), symbols + 18 * symbol_count)
            self.sections.append(
                Section(name, fields[2], fields[1], fields[4], fields[3], fields[9]))

    def _section_name(self, name, strings):
        # Names longer than eight bytes are "/offset" into the COFF string table.
        if name[:1] == b"/" and name[1:].isdigit() and strings:
            start = strings + int(name[1:])
            end = self.data.find(b"\0", start, start + _NAME_LIMIT)
            if end >= 0:
                name = self.data[start:end]
        return name.decode("latin-1")

    @property
    def is_dll(self):
        return bool(self.characteristics & FILE_DLL)

    def _check(self, offset, size, what):
        if offset < 0 or size < 0 or offset + size > len(self.data):
            raise PeError("%s at 0x%x (+%d) lies outside the file" % (what, offset, size))

    def _unpack(self, layout, offset):
        self._check(offset, struct.calcsize(layout), "header")
        return struct.unpack_from(layout, self.data, offset)

    def _locate(self, rva):
        """(file offset, bytes the file holds from there on in that section) of an rva."""
        for section in self.sections:
            start = rva - section.virtual_address
            if 0 <= start < section.raw_size:
                offset = section.raw_offset + start
                return offset, max(0, min(section.raw_size - start, len(self.data) - offset))
        if rva < min(self.size_of_headers, len(self.data)):
            return rva, min(self.size_of_headers, len(self.data)) - rva
        raise PeError("rva 0x%x is not in the file" % rva)

    def offset_of(self, rva, size=1):
        """The file offset of size bytes at rva, which must lie in one section's file data."""
        offset, available = self._locate(rva)
        if size > available:
            raise PeError("%d bytes at rva 0x%x run past their section" % (size, rva))
        return offset

    def _read(self, layout, rva):
        return struct.unpack_from(layout, self.data, self.offset_of(rva, struct.calcsize(layout)))

    def _name(self, rva, budget):
        offset, available = self._locate(rva)
        end = self.data.find(b"\0", offset, offset + min(available, _NAME_LIMIT))
        if end < 0:
            raise PeError("unterminated name at rva 0x%x" % rva)
        budget.spend(end - offset + 1, "a name table")
        return self.data[offset:end].decode("latin-1")

    def _directory(self, index):
        """(rva, size) of a data directory, or None when absent."""
        if index >= len(self.directories) or self.directories[index][0] == 0:
            return None
        return self.directories[index]

    def imported_dlls(self):
        """Names of the DLLs in the import directory, in table order."""
        directory = self._directory(DIRECTORY_IMPORT)
        if directory is None:
            return []
        budget = _Budget(len(self.data))
        names = []
        rva = directory[0]
        while True:
            budget.spend(20, "the import directory")
            _, _, _, name_rva, first_thunk = self._read("<IIIII", rva)
            if name_rva == 0 and first_thunk == 0:
                return names
            names.append(self._name(name_rva, budget))
            rva += 20

    def exported_names(self):
        """Names of the functions in the export directory."""
        directory = self._directory(DIRECTORY_EXPORT)
        if directory is None:
            return []
        fields = self._read("<IIHHIIIIIII", directory[0])
        count, names_rva = fields[7], fields[9]
        if count == 0:
            return []
        budget = _Budget(len(self.data))
        budget.spend(4 * count, "the export name table")
        table = self.offset_of(names_rva, 4 * count)
        return [self._name(rva, budget)
                for rva in struct.unpack_from("<%dI" % count, self.data, table)]

    def resources(self):
        """Every resource as Resource(type, name, language, rva, size)."""
        directory = self._directory(DIRECTORY_RESOURCE)
        if directory is None:
            return []
        # Offsets inside the tree are relative to its root and stay in its section.
        root, available = self._locate(directory[0])
        end = root + available
        budget = _Budget(available)
        visited = set()
        names = {}
        found = []

        def read(layout, offset, what):
            size = struct.calcsize(layout)
            if root + offset + size > end:
                raise PeError("resource %s at +0x%x lies outside its section" % (what, offset))
            return struct.unpack_from(layout, self.data, root + offset)

        def name(offset):
            if offset not in names:
                (length,) = read("<H", offset, "name")
                budget.spend(2 + 2 * length, "the resource directory")
                text = read("<%ds" % (2 * length), offset + 2, "name")[0]
                names[offset] = text.decode("utf-16-le", "replace")
            return names[offset]

        def walk(offset, path):
            # A tree of three levels: type, name, language; then data entries.
            if offset in visited:
                raise PeError("resource directory at +0x%x is reached twice" % offset)
            visited.add(offset)
            named, numbered = read("<HH", offset + 12, "directory")
            budget.spend(16 + 8 * (named + numbered), "the resource directory")
            for index in range(named + numbered):
                key, target = read("<II", offset + 16 + 8 * index, "directory")
                key = name(key & 0x7FFFFFFF) if key & 0x80000000 else key
                is_directory = bool(target & 0x80000000)
                if is_directory != (len(path) < 2):
                    raise PeError("resource tree is not three levels deep at +0x%x" % offset)
                if is_directory:
                    walk(target & 0x7FFFFFFF, path + [key])
                else:
                    rva, size = read("<II", target, "data entry")
                    found.append(Resource(path[0], path[1], key, rva, size))

        walk(0, [])
        return found

    def resource_data(self, resource_type, name=None):
        """The bytes of the first resource of that type (and name or id), or None."""
        for resource in self.resources():
            if resource.type == resource_type and name in (None, resource.name):
                offset = self.offset_of(resource.rva, resource.size)
                return self.data[offset:offset + resource.size]
        return None

    def file_version(self):
        """The four parts of the VERSIONINFO's fixed file version, or None without one."""
        block = self.resource_data(RT_VERSION)
        if block is None:
            return None
        # VS_VERSIONINFO: length, value length, type, "VS_VERSION_INFO\0" in
        # UTF-16, padding to 32 bits, then VS_FIXEDFILEINFO as the value.
        key = "VS_VERSION_INFO\0".encode("utf-16-le")
        value = (6 + len(key) + 3) // 4 * 4
        if len(block) < value + 52 or block[6:6 + len(key)] != key:
            raise PeError("version resource is not a VS_VERSIONINFO block")
        _, value_length = struct.unpack_from("<HH", block, 0)
        signature, _, high, low = struct.unpack_from("<IIII", block, value)
        if value_length < 52 or signature != _FIXED_FILE_INFO_SIGNATURE:
            raise PeError("version resource has no fixed file info")
        return (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
