#!/usr/bin/env python3
"""The headers of a shipped image, as a release engineer and the code
integrity checks of Windows read them.

    check_pe.py {driver|proxy} IMAGE --version W.X.Y.Z --os-version 10.0
                [--pdb FILE] [--unsigned]

Rules for both images: AMD64; sections aligned to at least a page in memory
and to 0x200 in the file; no section both writable and executable; the import
table outside executable sections; base relocations present, all of them
64-bit (DIR64); NX_COMPAT and DYNAMIC_BASE; the subsystem version the
declared minimum Windows; a valid image checksum; the version resource's
fields (company, description, original file name, file version equal to
product version equal to the package's); a CodeView record naming the PDB
the link wrote, with the PDB's own signature and age. For the driver: no TLS,
and every import present in the declared minimum Windows (the import floor
below). Each failed rule is printed; the exit status is 1 when any failed.
"""
import argparse
import os
import sys

import pe_image as pe

# The import floor: what the driver may import, every routine present in
# Windows 10 (1507), the declared minimum. A new kernel call fails this
# check until someone looks up its minimum version and adds it here, so a
# routine of a later Windows cannot slip into the image unnoticed.
WINDOWS_10_IMPORTS = {
    "ntoskrnl.exe": {
        "DbgPrint", "ExAllocatePoolWithTag", "ExFreePool", "ExFreePoolWithTag",
        "IoAcquireRemoveLockEx", "IoAllocateIrp", "IoAllocateWorkItem",
        "IoBuildDeviceIoControlRequest", "IoCancelIrp", "IoFreeIrp", "IoFreeWorkItem",
        "IoInitializeRemoveLockEx", "IoQueueWorkItem", "IoReleaseRemoveLockAndWaitEx",
        "IoReleaseRemoveLockEx", "IofCallDriver", "IofCompleteRequest",
        "KeAcquireSpinLockRaiseToDpc", "KeClearEvent", "KeDelayExecutionThread",
        "KeGetCurrentIrql", "KeInitializeEvent", "KeInitializeMutex", "KeInitializeSpinLock",
        "KeQueryInterruptTime", "KeQuerySystemTime", "KeReadStateEvent", "KeReleaseMutex",
        "KeReleaseSpinLock", "KeResetEvent", "KeRestoreExtendedProcessorState",
        "KeSaveExtendedProcessorState", "KeSetEvent", "KeWaitForMultipleObjects",
        "KeWaitForSingleObject", "MmGetSystemRoutineAddress", "ObReferenceObjectByHandle",
        "ObfDereferenceObject", "ObfReferenceObject", "PsCreateSystemThread",
        "PsTerminateSystemThread", "PsThreadType", "RtlCompareMemory", "RtlCopyUnicodeString",
        "RtlInitUnicodeString", "RtlQueryRegistryValues", "RtlQueryRegistryValuesEx",
        "RtlWriteRegistryValue", "ZwClose", "ZwCreateFile", "ZwQueryInformationFile",
        "ZwReadFile", "ZwWriteFile", "memcpy", "memmove", "memset",
    },
    "ks.sys": {
        "KsAcquireDevice", "KsAddItemToObjectBag", "KsCreateFilterFactory", "KsGetDevice",
        "KsGetFilterFromIrp", "KsInitializeDriver", "KsPinAttemptProcessing",
        "KsPinGetLeadingEdgeStreamPointer", "KsPinGetReferenceClockInterface",
        "KsReleaseDevice", "KsRemoveItemFromObjectBag", "KsStreamPointerAdvance",
        "KsStreamPointerUnlock", "_KsEdit",
    },
    "usbd.sys": {
        "USBD_CreateConfigurationRequestEx", "USBD_GetUSBDIVersion",
        "USBD_ParseConfigurationDescriptorEx",
    },
    "hal.dll": {"KeGetCurrentIrql", "KeQueryPerformanceCounter"},
}

IMAGES = {
    "driver": {"subsystem": 1, "description": "m4350 AVStream Capture Driver",
               "file": "m4350av.sys"},
    "proxy": {"subsystem": 2, "description": "m4350 AVStream Driver Usermode Proxy",
              "file": "m4350proxy.ax"},
}
COMPANY = "m4350"


def check(kind, image, version, os_version, pdb, fail):
    want = IMAGES[kind]
    if image.machine != pe.MACHINE_AMD64:
        fail("machine %#x, not AMD64" % image.machine)
    if image.subsystem != want["subsystem"]:
        fail("subsystem %d, expected %d" % (image.subsystem, want["subsystem"]))
    if image.section_alignment < 0x1000:
        fail("section alignment %#x is below a page" % image.section_alignment)
    if image.file_alignment != 0x200:
        fail("file alignment %#x, expected 0x200" % image.file_alignment)
    for s in image.sections:
        if s.writable and s.executable:
            fail("section %s is writable and executable (%#x)" % (s.name, s.flags))
    for index, what in ((pe.DIR_IMPORT, "import table"), (pe.DIR_IAT, "import address table")):
        rva, _ = image.directory(index)
        section = image.section_of(rva) if rva else None
        if not rva:
            fail("no %s" % what)
        elif section is None or section.executable:
            fail("the %s lies in %s, an executable section" %
                 (what, section.name if section else "no section"))
    rva, size = image.directory(pe.DIR_BASERELOC)
    types = image.relocation_types() if rva and size else {}
    if not sum(n for t, n in types.items() if t):
        fail("no base relocations: the image could not move from its preferred base")
    others = {t: n for t, n in types.items() if t not in (0, 10)}  # ABSOLUTE pads, DIR64
    if others:
        fail("relocations other than DIR64: %s" % others)
    for flag, name in ((pe.DLLCHAR_NX_COMPAT, "NX_COMPAT"),
                       (pe.DLLCHAR_DYNAMIC_BASE, "DYNAMIC_BASE")):
        if not image.dll_characteristics & flag:
            fail("%s is not set" % name)
    declared = tuple(int(p) for p in os_version.split("."))
    if image.subsystem_version != declared:
        fail("subsystem version %d.%d, the declared minimum is %s" %
             (image.subsystem_version + (os_version,)))
    if image.checksum != image.computed_checksum():
        fail("checksum %#x, the image sums to %#x" % (image.checksum, image.computed_checksum()))

    info = image.version_info()
    if info is None:
        fail("no version resource")
    else:
        file_version, product_version, strings = info
        expected = {"CompanyName": COMPANY, "FileDescription": want["description"],
                    "OriginalFilename": want["file"], "FileVersion": version,
                    "ProductVersion": version}
        for name, value in expected.items():
            if strings.get(name) != value:
                fail("version resource %s is %r, expected %r" % (name, strings.get(name), value))
        if file_version != version or product_version != version:
            fail("fixed file/product version %s/%s, expected %s" %
                 (file_version, product_version, version))

    record = image.codeview()
    if pdb:
        if record is None:
            fail("no CodeView record: a debugger would not find the symbols")
        else:
            guid, age, name = record
            if os.path.basename(name.replace("\\", "/")) != os.path.basename(pdb):
                fail("the CodeView record names %s, not %s" % (name, os.path.basename(pdb)))
            if not os.path.exists(pdb):
                fail("%s does not exist" % pdb)
            elif pe.pdb_signature(pdb) != (guid, age):
                fail("%s is not the PDB of this image (signature or age differ)" % pdb)

    if kind == "driver":
        if image.directory(pe.DIR_TLS)[0]:
            fail("a TLS directory: a driver has no thread-local storage")
        for dll, names in sorted(image.imports().items()):
            floor = WINDOWS_10_IMPORTS.get(dll)
            if floor is None:
                fail("imports from %s, which the import floor does not know" % dll)
                continue
            for name in sorted(set(names) - floor):
                fail("imports %s!%s, not on the Windows %s import floor" % (dll, name, os_version))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=sorted(IMAGES))
    parser.add_argument("image")
    parser.add_argument("--version", required=True)
    parser.add_argument("--os-version", required=True)
    parser.add_argument("--pdb")
    args = parser.parse_args()

    failures = []

    def fail(message):
        failures.append(message)
        print("FAIL %s: %s" % (os.path.basename(args.image), message))

    try:
        check(args.kind, pe.PeImage(args.image), args.version, args.os_version, args.pdb, fail)
    except pe.PeError as e:
        fail(str(e))
    if not failures:
        print("%s: headers, version %s and symbols as released" %
              (os.path.basename(args.image), args.version))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
