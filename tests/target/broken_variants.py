#!/usr/bin/env python3
"""Each package rule rejects the fault it is there for.

    broken_variants.py --inf m4350av.inf --source-dir <tree> --headers <mingw include>
                       --os-version 10.0 --version W.X.Y.Z --driver m4350av.sys
                       --proxy m4350proxy.ax --work DIR

The built INF and images pass; then every variant below, made from them by
one edit, must fail with the rule's own message. A variant whose edit no
longer applies fails too, so the table cannot quietly go stale.
"""
import argparse
import os
import shutil
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_inf  # noqa: E402
import check_pe  # noqa: E402
import check_pool  # noqa: E402
import pe_image as pe  # noqa: E402

CRLF = "\r\n"

# INF variants: (name, text replaced, replacement, expected message part).
# "^" in the text replaced means the start of the file.
INF_VARIANTS = [
    ("Include deleted", "Include      = ks.inf, kscaptur.inf" + CRLF, "", "Include is []"),
    ("Needs deleted", "Needs        = KS.Registration, KSCAPTUR.Registration.NT" + CRLF, "",
     "Needs is []"),
    ("misspelt Needs section", "KSCAPTUR.Registration.NT", "KSCAPTUR.Registraton.NT", "Needs is"),
    ("NTamd64 changed to NTx86", "NTamd64", "NTx86", "expected exactly NTamd64.10.0"),
    ("models without the OS version", "NTamd64.10.0", "NTamd64",
     "expected exactly NTamd64.10.0"),
    ("source disk id that does not exist", "m4350av.sys    = 1", "m4350av.sys    = 2",
     "on disk 2, which [SourceDisksNames] does not define"),
    ("NOCLOBBER dropped", "FixedStandard, 0x00010003", "FixedStandard, 0x00010001",
     "Parameters\\FixedStandard has no NOCLOBBER"),
    ("CatalogFile deleted", "CatalogFile = m4350av.cat" + CRLF, "", "no CatalogFile"),
    ("PnpLockdown deleted", "PnpLockdown = 1" + CRLF, "", "PnpLockdown is None"),
    ("DriverVer deleted", "DriverVer   = ", "; DriverVer = ", "0 DriverVer lines"),
    ("DriverVer not stamped", "DriverVer   = ",
     "DriverVer   = @M4350_DRIVER_DATE@,@M4350_VERSION@ ;", "is not mm/dd/yyyy,w.x.y.z"),
    ("DriverVer date that is no date", "DriverVer   = ", "DriverVer   = 02/30/2026,1.0.1.0 ;",
     "is no date"),
    ("DriverVer date in the future", "DriverVer   = ", "DriverVer   = 01/05/2099,1.0.1.0 ;",
     "before Windows 10 or in the future"),
    ("DriverVer part above 16 bits", "DriverVer   = ", "DriverVer   = 01/05/2026,1.0.65536.0 ;",
     "has a part above 65535"),
    ("DriverVer version not the images'", "DriverVer   = ",
     "DriverVer   = 01/05/2026,1.0.0.0 ;", "but m4350av.sys is version"),
    ("section named but missing", "[m4350av.Proxy.AddReg]", "[m4350av.Proxy.AddRegs]",
     "[m4350av.Proxy.AddReg] (AddReg of [m4350av.ntamd64]) does not exist"),
    ("section named by nothing", "[Strings]", "[m4350av.Unused]" + CRLF + "HKR,, Unused,, 1" +
     CRLF + CRLF + "[Strings]", "[m4350av.unused] is named by nothing"),
    ("RegisterDlls", "AddReg       = m4350av.Proxy.AddReg" + CRLF,
     "AddReg       = m4350av.Proxy.AddReg" + CRLF + "RegisterDlls = m4350av.Proxy.AddReg" + CRLF,
     "RegisterDlls: not allowed"),
    ("UnregisterDlls", "AddReg       = m4350av.Proxy.AddReg" + CRLF,
     "AddReg       = m4350av.Proxy.AddReg" + CRLF + "UnregisterDlls = m4350av.Proxy.AddReg" +
     CRLF, "UnregisterDlls: not allowed"),
    ("co-installer section", "[m4350av.NTamd64.Services]",
     "[m4350av.NTamd64.CoInstallers]" + CRLF + "AddReg = m4350av.Proxy.AddReg" + CRLF + CRLF +
     "[m4350av.NTamd64.Services]", "co-installers are not allowed"),
    ("UTF-8 byte order mark", "^", "\ufeff", "encoding: a UTF-8 byte order mark"),
    ("non-ASCII text in an ANSI file", "Channel 1\"", "Kanal 1 \u00fc\"", "encoding: byte 0xc3"),
    ("plug-in server outside the system folder",
     "InprocServer32,,        0, \"%11%\\m4350proxy.ax\"",
     "InprocServer32,,        0, \"%12%\\m4350proxy.ax\"", "has InprocServer32 %12%"),
    ("MediaInterfaces key deleted", "HKLM, SYSTEM\\CurrentControlSet\\Control\\MediaInterfaces",
     "HKLM, SYSTEM\\CurrentControlSet\\Control\\MediaInterfaceX", "no MediaInterfaces key"),
]


def patch_u16(data, offset, value):
    struct.pack_into("<H", data, offset, value)


def patch_u32(data, offset, value):
    struct.pack_into("<I", data, offset, value)


def section(image, name):
    table = image.optional + struct.unpack_from("<H", image.data, image.pe + 20)[0]
    index = next(i for i, s in enumerate(image.sections) if s.name == name)
    return table + 40 * index


def directory_entry(image, index):
    return image.optional + 112 + 8 * index


def replace_bytes(old, new):
    def edit(image, data):
        at = bytes(data).find(old)
        if at < 0:
            raise LookupError("%r not in the image" % old)
        data[at:at + len(old)] = new
    return edit


def relocation_type(new_type):
    def edit(image, data):
        rva, _ = image.directory(pe.DIR_BASERELOC)
        first = image.offset(rva) + 8
        entry = struct.unpack_from("<H", data, first)[0]
        patch_u16(data, first, (new_type << 12) | (entry & 0xFFF))
    return edit


def utf16(text):
    return text.encode("utf-16-le")


def file_version_string(image, data):
    """The first digit of the FileVersion string's value becomes a 9."""
    at = bytes(data).index(utf16("FileVersion\0"))
    value = at + len(utf16("FileVersion\0"))
    while data[value] == 0:  # the value starts at the next 32-bit boundary
        value += 1
    data[value:value + 2] = utf16("9")


# Image variants: (name, image, edit(image, bytearray), expected message part).
IMAGE_VARIANTS = [
    ("x86 machine", "driver", lambda i, d: patch_u16(d, i.pe + 4, 0x14C), "not AMD64"),
    ("file alignment 0x1000", "proxy", lambda i, d: patch_u32(d, i.optional + 36, 0x1000),
     "file alignment 0x1000"),
    ("section alignment below a page", "driver",
     lambda i, d: patch_u32(d, i.optional + 32, 0x200), "below a page"),
    ("writable code", "driver",
     lambda i, d: patch_u32(d, section(i, ".text") + 36,
                            i.sections[0].flags | pe.SCN_MEM_WRITE), "writable and executable"),
    ("import table in executable memory", "proxy",
     lambda i, d: patch_u32(d, section(i, ".idata") + 36,
                            i.section_of(i.directory(pe.DIR_IMPORT)[0]).flags |
                            pe.SCN_MEM_EXECUTE), "import table lies in .idata"),
    ("no relocations", "driver",
     lambda i, d: d.__setitem__(slice(directory_entry(i, pe.DIR_BASERELOC),
                                      directory_entry(i, pe.DIR_BASERELOC) + 8), bytes(8)),
     "no base relocations"),
    ("a 32-bit relocation", "proxy", relocation_type(3), "relocations other than DIR64"),
    ("NX_COMPAT cleared", "driver",
     lambda i, d: patch_u16(d, i.optional + 70, i.dll_characteristics & ~pe.DLLCHAR_NX_COMPAT),
     "NX_COMPAT is not set"),
    ("DYNAMIC_BASE cleared", "proxy",
     lambda i, d: patch_u16(d, i.optional + 70, i.dll_characteristics &
                            ~pe.DLLCHAR_DYNAMIC_BASE), "DYNAMIC_BASE is not set"),
    ("subsystem version 6.1", "driver",
     lambda i, d: struct.pack_into("<HH", d, i.optional + 48, 6, 1), "subsystem version 6.1"),
    ("checksum off by one", "driver", lambda i, d: patch_u32(d, i.checksum_offset, i.checksum + 1),
     "checksum"),
    ("checksum left zero", "proxy", lambda i, d: patch_u32(d, i.checksum_offset, 0), "checksum"),
    ("TLS in the driver", "driver",
     lambda i, d: patch_u32(d, directory_entry(i, pe.DIR_TLS), i.sections[1].rva), "TLS"),
    ("FileVersion string not the package's", "driver", file_version_string, "FileVersion is"),
    ("CompanyName changed", "proxy", replace_bytes(utf16("m4350\0"), utf16("m4351\0")),
     "CompanyName is 'm4351'"),
    ("CodeView record names another PDB", "driver",
     replace_bytes(b"m4350av.pdb", b"m4350xx.pdb"), "the CodeView record names m4350xx.pdb"),
    ("the other image's PDB", "proxy", "other-pdb", "is not the PDB of this image"),
    ("an import above the floor", "driver", replace_bytes(b"ZwClose\0", b"ZwClosf\0"),
     "imports ntoskrnl.exe!ZwClosf, not on the Windows 10.0 import floor"),
    ("an import from an unknown module", "driver", replace_bytes(b"ks.sys\0", b"kx.sys\0"),
     "imports from kx.sys"),
]

# Driver source variants: (name, source text, executable pool expected).
POOL_VARIANTS = [
    ("NonPagedPool", "p = ExAllocatePoolWithTag(NonPagedPool, 8, Tag);", True),
    ("NonPagedPoolExecute", "p = ExAllocatePoolWithTag(NonPagedPoolExecute, 8, Tag);", True),
    ("cache aligned", "p = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 8, Tag);", True),
    ("type in a variable", "POOL_TYPE t = NonPagedPool;\np = ExAllocatePoolWithTag(t, 8, Tag);",
     True),
    ("type not written out", "p = ExAllocatePoolWithTag(type, 8, Tag);", True),
    ("untagged", "p = ExAllocatePool(NonPagedPoolNx, 8);", True),
    ("executable pool flag", "p = ExAllocatePool2(POOL_FLAG_NON_PAGED_EXECUTE, 8, Tag);", True),
    ("Nx", "p = ExAllocatePoolWithTag(\n    NonPagedPoolNx, 8, Tag);", False),
    ("Nx cache aligned", "p = ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned, 8, Tag);", False),
    ("only in a comment", "// once NonPagedPool\n/* ExAllocatePool(NonPagedPool, 1) */", False),
]


def main():
    parser = argparse.ArgumentParser()
    for option in ("--inf", "--source-dir", "--headers", "--os-version", "--version",
                   "--driver", "--proxy", "--work"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    sources = check_inf.Sources(args.source_dir, args.headers)
    images = {"driver": args.driver, "proxy": args.proxy}
    # The PDBs sit in the build folder, one above the images' bin folder.
    pdbs = {kind: os.path.join(os.path.dirname(os.path.dirname(path)),
                               os.path.splitext(os.path.basename(path))[0] + ".pdb")
            for kind, path in images.items()}
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    bad = []

    def run_inf(path):
        messages = []
        check_inf.check(path, sources, [args.driver, args.proxy], args.os_version,
                        messages.append)
        return messages

    def run_image(kind, path, pdb):
        messages = []
        try:
            check_pe.check(kind, pe.PeImage(path), args.version, args.os_version, pdb,
                           messages.append)
        except pe.PeError as e:
            messages.append(str(e))
        return messages

    def expect(name, messages, part):
        if not messages:
            bad.append("%s: accepted" % name)
        elif not any(part in m for m in messages):
            bad.append("%s: rejected, but not by its rule (%r); got %s" % (name, part, messages))
        else:
            print("rejected: %s" % name)

    baseline = run_inf(args.inf) + [m for k in images
                                    for m in run_image(k, images[k], pdbs[k])]
    if baseline:
        bad.append("the package as built fails: %s" % baseline)

    with open(args.inf, encoding="ascii", newline="") as f:
        text = f.read()
    for number, (name, old, new, part) in enumerate(INF_VARIANTS):
        if old == "^":
            variant = new + text
        elif old in text:
            variant = text.replace(old, new)
        else:
            bad.append("%s: %r is no longer in the INF" % (name, old))
            continue
        path = os.path.join(args.work, "variant%02d.inf" % number)
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(variant)
        expect("INF " + name, run_inf(path), part)

    for number, (name, kind, edit, part) in enumerate(IMAGE_VARIANTS):
        image = pe.PeImage(images[kind])
        data = bytearray(image.data)
        pdb = pdbs[kind]
        try:
            if edit == "other-pdb":
                pdb = pdbs["driver" if kind == "proxy" else "proxy"]
            else:
                edit(image, data)
        except (LookupError, StopIteration, ValueError) as e:
            bad.append("image %s: the edit no longer applies (%s)" % (name, e))
            continue
        path = os.path.join(args.work, "variant%02d%s" % (number, os.path.splitext(
            images[kind])[1]))
        with open(path, "wb") as f:
            f.write(data)
        # The copy has another file name; the version resource still names
        # the original, which is what the rule compares.
        expect("image " + name, run_image(kind, path, pdb), part)

    for name, source, executable in POOL_VARIANTS:
        found = check_pool.problems(source)
        if bool(found) != executable:
            bad.append("pool %s: %s" % (name, found or "accepted"))
        else:
            print("%s: pool %s" % ("rejected" if executable else "accepted", name))

    for message in bad:
        print("FAIL %s" % message)
    print("%d INF, %d image and %d pool variants; %d failed" %
          (len(INF_VARIANTS), len(IMAGE_VARIANTS), len(POOL_VARIANTS), len(bad)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
