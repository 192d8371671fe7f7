"""A PE32+ image read from its own bytes: headers, sections, data directories,
resources, the version resource, the debug directory's CodeView record and the
import table. Shared by the package checks (check_pe.py, check_inf.py,
scripts/windows); nothing here runs a tool of the toolchain.
"""
import struct

MACHINE_AMD64 = 0x8664
PE32_PLUS = 0x20B

SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
SCN_CNT_CODE = 0x00000020

DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_EXCEPTION, DIR_SECURITY, DIR_BASERELOC, \
    DIR_DEBUG = range(7)
DIR_TLS = 9
DIR_IAT = 12

RT_VERSION = 16
DEBUG_TYPE_CODEVIEW = 2

DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_NX_COMPAT = 0x0100


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, virtual_size, rva, raw_size, raw_offset, flags):
        self.name = name
        self.virtual_size = virtual_size
        self.rva = rva
        self.raw_size = raw_size
        self.raw_offset = raw_offset
        self.flags = flags

    def holds(self, rva):
        return self.rva <= rva < self.rva + max(self.virtual_size, self.raw_size)

    @property
    def executable(self):
        return bool(self.flags & (SCN_MEM_EXECUTE | SCN_CNT_CODE))

    @property
    def writable(self):
        return bool(self.flags & SCN_MEM_WRITE)


class PeImage:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise PeError("%s: no MZ header" % path)
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.pe:self.pe + 4] != b"PE\0\0":
            raise PeError("%s: no PE signature" % path)
        (self.machine, count, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, self.pe + 4)
        opt = self.pe + 24
        self.optional = opt
        self.magic = struct.unpack_from("<H", d, opt)[0]
        if self.magic != PE32_PLUS:
            raise PeError("%s: not a PE32+ image (magic %#x)" % (path, self.magic))
        self.entry = struct.unpack_from("<I", d, opt + 16)[0]
        self.image_base = struct.unpack_from("<Q", d, opt + 24)[0]
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", d, opt + 32)
        (self.os_version, _, self.subsystem_version) = (
            struct.unpack_from("<HH", d, opt + 40), struct.unpack_from("<HH", d, opt + 44),
            struct.unpack_from("<HH", d, opt + 48))
        self.checksum_offset = opt + 64
        self.checksum = struct.unpack_from("<I", d, opt + 64)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, opt + 68)
        directory_count = struct.unpack_from("<I", d, opt + 108)[0]
        self.directories = [struct.unpack_from("<II", d, opt + 112 + 8 * i)
                            for i in range(min(directory_count, 16))]
        self.directories += [(0, 0)] * (16 - len(self.directories))
        self.sections = []
        table = opt + optional_size
        for i in range(count):
            raw = d[table + 40 * i:table + 40 * (i + 1)]
            name = raw[:8].rstrip(b"\0").decode("ascii", "replace")
            vsize, rva, rsize, roff = struct.unpack_from("<IIII", raw, 8)
            flags = struct.unpack_from("<I", raw, 36)[0]
            self.sections.append(Section(name, vsize, rva, rsize, roff, flags))

    # -- addressing ---------------------------------------------------------

    def section_of(self, rva):
        return next((s for s in self.sections if s.holds(rva)), None)

    def offset(self, rva):
        s = self.section_of(rva)
        if s is None or rva - s.rva >= s.raw_size:
            raise PeError("%s: RVA %#x has no file bytes" % (self.path, rva))
        return s.raw_offset + rva - s.rva

    def read(self, rva, size):
        start = self.offset(rva)
        return self.data[start:start + size]

    def directory(self, index):
        return self.directories[index]

    # -- checksum -------------------------------------------------------------

    def computed_checksum(self):
        """The image checksum as the loader computes it: a 16-bit folded sum
        of the file's words with the checksum field counted as zero, plus the
        file's length."""
        d = self.data + b"\0" * (len(self.data) % 2)
        words = list(struct.unpack("<%dH" % (len(d) // 2), d))
        field = self.checksum_offset // 2
        words[field] = words[field + 1] = 0
        total = sum(words)
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    # -- relocations, imports -----------------------------------------------

    def relocation_types(self):
        """{type: count} over every block of the base relocation directory."""
        rva, size = self.directory(DIR_BASERELOC)
        types = {}
        position = 0
        while position + 8 <= size:
            page, block = struct.unpack_from("<II", self.read(rva + position, 8))
            if block < 8:
                raise PeError("%s: relocation block of %d bytes" % (self.path, block))
            entries = self.read(rva + position + 8, block - 8)
            for (entry,) in struct.iter_unpack("<H", entries[:len(entries) // 2 * 2]):
                types[entry >> 12] = types.get(entry >> 12, 0) + 1
            position += block
        return types

    def _string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii", "replace")

    def imports(self):
        """{dll (lower case): [names, or '#ordinal']} from the import directory."""
        rva, _ = self.directory(DIR_IMPORT)
        result = {}
        position = rva
        while rva:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.read(position, 20))
            if not (lookup or name or first):
                break
            dll = self._string(name).lower()
            names = result.setdefault(dll, [])
            entry = lookup or first
            while True:
                (thunk,) = struct.unpack_from("<Q", self.read(entry, 8))
                if not thunk:
                    break
                if thunk >> 63:
                    names.append("#%d" % (thunk & 0xFFFF))
                else:
                    names.append(self._string((thunk & 0x7FFFFFFF) + 2))
                entry += 8
            position += 20
        return result

    # -- resources ----------------------------------------------------------

    def _resource_leaves(self, base, offset, path):
        named, ids = struct.unpack_from("<HH", self.read(base + offset + 12, 4))
        for i in range(named + ids):
            ident, target = struct.unpack_from("<II", self.read(base + offset + 16 + 8 * i, 8))
            key = ident if not ident & 0x80000000 else "name@%#x" % (ident & 0x7FFFFFFF)
            if target & 0x80000000:
                yield from self._resource_leaves(base, target & 0x7FFFFFFF, path + [key])
            else:
                data_rva, size = struct.unpack_from("<II", self.read(base + target, 8))
                yield path + [key], self.read(data_rva, size)

    def resources(self, kind):
        """The data of every resource of one numeric type."""
        rva, size = self.directory(DIR_RESOURCE)
        if not rva:
            return []
        return [data for path, data in self._resource_leaves(rva, 0, []) if path[0] == kind]

    def version_info(self):
        """(fixed file version, fixed product version, {string: value}) of the
        first version resource, or None."""
        found = self.resources(RT_VERSION)
        return parse_version_resource(found[0]) if found else None

    # -- debug directory ----------------------------------------------------

    def codeview(self):
        """(guid bytes, age, pdb path) of the RSDS CodeView record, or None."""
        rva, size = self.directory(DIR_DEBUG)
        for i in range(size // 28 if rva else 0):
            entry = self.read(rva + 28 * i, 28)
            kind, data_size, data_rva, data_offset = struct.unpack_from("<IIII", entry, 12)
            if kind != DEBUG_TYPE_CODEVIEW:
                continue
            record = self.data[data_offset:data_offset + data_size]
            if record[:4] != b"RSDS" or len(record) < 25:
                return None
            guid, age = record[4:20], struct.unpack_from("<I", record, 20)[0]
            name = record[24:].split(b"\0")[0].decode("utf-8", "replace")
            return guid, age, name
        return None


def _align4(n):
    return (n + 3) & ~3


def _version_node(data, offset):
    """One VS_VERSIONINFO-style node: (key, value bytes, value is text,
    children, end offset)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_start = offset + 6
    key_end = key_start
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[key_start:key_end].decode("utf-16-le")
    position = _align4(key_end + 2)
    value_bytes = value_length * 2 if is_text else value_length
    value = data[position:position + value_bytes]
    position = _align4(position + value_bytes)
    children = []
    while position < end:
        child = _version_node(data, position)
        children.append(child)
        position = _align4(child[4])
    return key, value, is_text, children, end


def _version_number(high, low):
    return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def parse_version_resource(data):
    key, value, _, children, _ = _version_node(data, 0)
    if key != "VS_VERSION_INFO" or len(value) < 52:
        raise PeError("not a version resource (%s)" % key)
    signature, _, fv_high, fv_low, pv_high, pv_low = struct.unpack_from("<6I", value)
    if signature != 0xFEEF04BD:
        raise PeError("version resource without its fixed file information")
    strings = {}
    for child in children:
        if child[0] != "StringFileInfo":
            continue
        for table in child[3]:
            for name, text, _, _, _ in table[3]:
                strings[name] = text.decode("utf-16-le").rstrip("\0")
    return _version_number(fv_high, fv_low), _version_number(pv_high, pv_low), strings


def pdb_signature(path):
    """(guid bytes, age) from a PDB's information stream (MSF 7.00 layout:
    a superblock, a directory of streams in blocks, stream 1 the PDB info)."""
    with open(path, "rb") as f:
        data = f.read()
    magic = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"
    if not data.startswith(magic):
        raise PeError("%s: not an MSF 7.00 PDB" % path)
    block_size, _, _, directory_bytes, _, map_block = struct.unpack_from("<6I", data, 32)

    def block(n):
        return data[n * block_size:(n + 1) * block_size]

    directory_blocks = (directory_bytes + block_size - 1) // block_size
    indices = struct.unpack_from("<%dI" % directory_blocks, block(map_block))
    directory = b"".join(block(n) for n in indices)[:directory_bytes]
    streams = struct.unpack_from("<I", directory)[0]
    sizes = struct.unpack_from("<%dI" % streams, directory, 4)
    position = 4 + 4 * streams
    for stream, size in enumerate(sizes):
        count = 0 if size == 0xFFFFFFFF else (size + block_size - 1) // block_size
        blocks = struct.unpack_from("<%dI" % count, directory, position)
        position += 4 * count
        if stream == 1:
            info = b"".join(block(n) for n in blocks)[:size]
            age = struct.unpack_from("<I", info, 8)[0]
            return info[12:28], age
    raise PeError("%s: no PDB information stream" % path)
