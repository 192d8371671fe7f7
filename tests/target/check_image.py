#!/usr/bin/env python3
"""Checks a target image's PE headers, exports and imports, as Windows sees them.

    check_image.py driver --objdump OBJDUMP --map MAP m4350av.sys
    check_image.py proxy  --objdump OBJDUMP m4350proxy.ax

The facts come from `objdump -p` (the tool the toolchain ships), the linker
map (the driver image is stripped; the map still names its entry symbol and
every input section) and the file's own bytes (the PE checksum). Each failed
rule is printed; the exit status is 1 when any rule failed.
"""
import argparse
import re
import struct
import subprocess
import sys

# What a kernel-mode driver may import: the kernel, the streaming class, the
# USB driver interface and the HAL. Anything else (a user-mode DLL, a CRT)
# would stop the image from loading.
DRIVER_DLLS = {"ntoskrnl.exe", "ks.sys", "usbd.sys", "hal.dll"}

# What the plug-in may import: system DLLs every Windows installation has,
# and the streaming proxy whose KsSynchronousDeviceControl it calls. A C++ or
# GCC runtime DLL here would not be found on the user's machine.
PROXY_DLLS = {"kernel32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll",
              "user32.dll", "ksproxy.ax"}
PROXY_EXPORTS = {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                 "DllUnregisterServer"}
PROXY_PLATFORM_IMPORTS = {"ksproxy.ax": {"KsSynchronousDeviceControl"}}

# Input sections whose presence means code runs before the entry point, which
# nothing in a driver image would do: static constructors and TLS callbacks.
STARTUP_SECTIONS = re.compile(r"^\.(ctors|dtors|init_array|fini_array|CRT\$X[CILPT]|tls)")
# Start-up objects and libraries of the C and C++ runtimes.
RUNTIME_INPUTS = re.compile(
    r"(crt2|dllcrt2|crtbegin|crtend)\.o|lib(msvcrt|mingw32|mingwex|stdc\+\+|moldname)\.a")

IMAGE_FILE_DLL = 0x2000

# Instructions that have no business in this driver: control registers,
# model-specific registers, interrupts on and off, port I/O, halting, the
# kernel's own gs swap, descriptor tables and TLB control.
PRIVILEGED = re.compile(
    r"\b(rdmsr|wrmsr|cli|sti|hlt|swapgs|lgdt|lidt|sgdt|sidt|lldt|ltr|invlpg|wbinvd|invd|"
    r"in[bwl]?|out[bwl]?|ins[bwld]?|outs[bwld]?)\b")
CONTROL_REGISTER = re.compile(r"%cr([0-79]|1[0-5])\b")
# What legal inline accessors of the real headers compile to (KeGetCurrentIrql,
# KeRaiseIrql and KeLowerIrql read and write CR8; KeGetCurrentThread reads
# gs:[0x188]; KeQuery*Time and KeQueryTickCount read the shared data page at
# 0xFFFFF78000000000). The host that runs the image does not emulate them, so
# the image must reach these through the kernel's exported routines instead.
EMULATION_NEEDED = [
    (re.compile(r"%cr8\b"), "CR8 (an inline IRQL accessor)"),
    (re.compile(r"%gs:"), "a gs: access (an inline KeGetCurrentThread or processor block read)"),
    (re.compile(r"0xfffff78000000[0-9a-f]{3}\b"), "the shared data page (an inline KeQuery*Time)"),
]


def check_instructions(objdump, path, fail):
    """Fails on every instruction the host running the image could not run."""
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", path], check=True,
                          capture_output=True, text=True).stdout
    for line in text.splitlines():
        m = re.match(r"^\s+([0-9a-f]+):\s+(\S.*)$", line)
        if not m:
            continue
        address, instruction = m.group(1), m.group(2)
        mnemonic = instruction.split()[0] if instruction.split() else ""
        if PRIVILEGED.fullmatch(mnemonic) or CONTROL_REGISTER.search(instruction):
            fail("privileged instruction at %s: %s (never legitimate in this driver)" %
                 (address, instruction))
            continue
        for pattern, what in EMULATION_NEEDED:
            if pattern.search(instruction):
                fail("instruction at %s: %s reads %s, which the host does not emulate; call "
                     "the kernel's routine instead" % (address, instruction, what))


class Image:
    def __init__(self, objdump, path):
        self.path = path
        self.text = subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                                   text=True).stdout

    def field(self, name):
        m = re.search(r"^%s\s+(?:0x)?([0-9a-fA-F]+)\b" % re.escape(name), self.text, re.M)
        return int(m.group(1), 16) if m else None

    def resource_types(self):
        """Top-level resource types: names, and numeric ids as decimal strings."""
        m = re.search(r"The \.rsrc Resource Directory section:\n(.*?)(\n\n|\Z)", self.text, re.S)
        types = set()
        for line in (m.group(1).splitlines() if m else []):
            e = re.match(r"^[0-9a-f]+ {3}Entry: (?:name: \[[^\]]*\]: (\w+)|ID: 0x([0-9a-f]+))",
                         line)
            if e:
                types.add(e.group(1) or str(int(e.group(2), 16)))
        return types

    def imports(self):
        """{dll (lower case): [names]} from the interpreted import tables."""
        result = {}
        dll = None
        for line in self.text.splitlines():
            m = re.match(r"^\tDLL Name: (\S+)", line)
            if m:
                dll = m.group(1).lower()
                result.setdefault(dll, [])
                continue
            if line.startswith("The "):  # the next table of the dump
                dll = None
                continue
            m = re.match(r"^\t[0-9a-f]+\s+\d+\s+(\S+)", line)
            if dll and m:
                result[dll].append(m.group(1))
        return result

    def export_directory(self):
        """(rva, size) of the export directory entry."""
        m = re.search(r"^Entry 0 ([0-9a-f]+) ([0-9a-f]+) Export Directory", self.text, re.M)
        return (int(m.group(1), 16), int(m.group(2), 16)) if m else (None, None)

    def exports(self):
        names = []
        m = re.search(r"\[Ordinal/Name Pointer\] Table(.*?)(\n\n|\Z)", self.text, re.S)
        if m:
            for line in m.group(1).splitlines():
                e = re.match(r"^\s*\[\s*\d+\]\s+(\S+)", line)
                if e:
                    names.append(e.group(1))
        return names


def pe_checksum(data):
    """The PE image checksum as the loader computes it (the checksum field
    itself counts as zero)."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    field = pe + 4 + 20 + 64
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for i in range(0, len(padded), 2):
        if field <= i < field + 4:
            continue
        total += padded[i] | padded[i + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def map_facts(path):
    """(entry symbol address, [(section, size, input)]) from a GNU ld map."""
    symbols = {}
    sections = []
    pending = None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.match(r"^\s+0x([0-9a-f]+)\s+(\w+)\s*$", line)
            if m:
                symbols[m.group(2)] = int(m.group(1), 16)
                continue
            m = re.match(r"^ (\.\S+)\s*$", line)
            if m:
                pending = m.group(1)
                continue
            m = re.match(r"^ (\.\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
            if m and (m.group(1) or pending):
                sections.append((m.group(1) or pending, int(m.group(3), 16), m.group(4).strip()))
            pending = None
    return symbols, sections


def check_driver(image, args, fail):
    if image.field("Subsystem") != 1:
        fail("subsystem is %s, not native (1)" % image.field("Subsystem"))
    if image.field("Characteristics") & IMAGE_FILE_DLL:
        fail("the image is marked as a DLL")
    rva, size = image.export_directory()
    if rva or size or image.exports():
        fail("export table not empty: rva %#x size %#x %s" % (rva or 0, size or 0, image.exports()))
    imports = image.imports()
    if not imports:
        fail("no import table found")
    for dll, names in sorted(imports.items()):
        if dll not in DRIVER_DLLS:
            fail("imports from %s: %s" % (dll, ", ".join(names)))

    check_instructions(args.objdump, image.path, fail)
    if not re.search(r"^\s*\d+\s+\.reloc\s", subprocess.run(
            [args.objdump, "-h", image.path], check=True, capture_output=True,
            text=True).stdout, re.M):
        fail("no .reloc section: the image cannot be moved from its preferred base")

    symbols, sections = map_facts(args.map)
    base = image.field("ImageBase")
    entry = image.field("AddressOfEntryPoint")
    if "DriverEntry" not in symbols:
        fail("DriverEntry is not in the link map")
    elif entry is None or base is None or base + entry != symbols["DriverEntry"]:
        fail("entry point %#x is not DriverEntry (%#x)" % ((base or 0) + (entry or 0),
                                                            symbols["DriverEntry"]))
    for name, size, source in sections:
        if size and STARTUP_SECTIONS.match(name):
            fail("start-up code in the image: %s (%d bytes) from %s" % (name, size, source))
    for source in {s for _, _, s in sections}:
        if RUNTIME_INPUTS.search(source):
            fail("runtime object linked in: %s" % source)

    with open(image.path, "rb") as f:
        data = f.read()
    stored = image.field("CheckSum")
    if stored != pe_checksum(data):
        fail("PE checksum %#x does not match the image (%#x)" % (stored or 0, pe_checksum(data)))

    print("imports:")
    for dll, names in sorted(imports.items()):
        print("  %s: %s" % (dll, " ".join(sorted(names))))


def check_proxy(image, args, fail):
    if image.field("Subsystem") != 2:
        fail("subsystem is %s, not Windows GUI (2)" % image.field("Subsystem"))
    if not image.field("Characteristics") & IMAGE_FILE_DLL:
        fail("the image is not a DLL")
    exports = image.exports()
    if sorted(exports) != sorted(PROXY_EXPORTS):
        fail("exports %s, expected exactly %s" % (sorted(exports), sorted(PROXY_EXPORTS)))
    imports = image.imports()
    for dll, names in sorted(imports.items()):
        if dll not in PROXY_DLLS:
            fail("imports from %s: %s" % (dll, ", ".join(names)))
    for dll, wanted in PROXY_PLATFORM_IMPORTS.items():
        missing = wanted - set(imports.get(dll, []))
        if missing:
            fail("does not import %s from %s" % (", ".join(sorted(missing)), dll))
    types = image.resource_types()
    for kind in args.resource:
        if kind not in types:
            fail("no %s resource (the image has %s)" % (kind, sorted(types)))

    print("exports: %s" % " ".join(sorted(exports)))
    print("imports:")
    for dll, names in sorted(imports.items()):
        print("  %s: %s" % (dll, " ".join(sorted(names))))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["driver", "proxy"])
    parser.add_argument("image")
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--map")
    parser.add_argument("--resource", action="append", default=[],
                        help="a resource type the image must carry (name or numeric id)")
    args = parser.parse_args()

    failures = []

    def fail(message):
        failures.append(message)
        print("FAIL %s: %s" % (args.image, message))

    image = Image(args.objdump, args.image)
    if args.kind == "driver":
        if not args.map:
            parser.error("driver checks need --map")
        check_driver(image, args, fail)
    else:
        check_proxy(image, args, fail)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
