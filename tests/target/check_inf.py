#!/usr/bin/env python3
"""Checks m4350av.inf against the build's outputs and the sources it installs.

    check_inf.py --inf m4350av.inf --source-dir <tree> --headers <mingw include>
                 --output <file>...

What Windows would only find out while installing, checked here: every
section the INF names exists and every %string% is defined; every file it
copies is a build output (or the board's firmware image, which the driver
loads by a fixed name and the board maker supplies) and is listed as a source
file; the hardware id is the one the board reports; the device interfaces
are the driver's filter categories (GUIDs from the real headers) with the
driver's reference strings, opened through the KS proxy; the service is the
one the driver reads its Parameters under, and every default written there
is a value the driver reads.
"""
import argparse
import os
import re
import sys

MEDIA_CLASS_GUID = "{4d36e96c-e325-11ce-bfc1-08002be10318}"
DIRID_DRIVERS = "12"
DIRID_SYSTEM = "11"
FLG_ADDREG_TYPE_DWORD = 0x00010001
FLG_REGSVR_DLLREGISTER = 0x1


class Inf:
    """Sections as ordered lists of (key or None, [fields]), names case-folded."""

    def __init__(self, path):
        self.sections = {}
        self.order = []
        current = None
        with open(path, encoding="utf-8") as f:
            for number, raw in enumerate(f, 1):
                line = self._strip_comment(raw).strip()
                if not line:
                    continue
                m = re.match(r"^\[([^\]]+)\]$", line)
                if m:
                    current = m.group(1).strip().lower()
                    if current in self.sections:
                        raise SystemExit("%s:%d: section [%s] twice" % (path, number, current))
                    self.sections[current] = []
                    self.order.append(current)
                    continue
                if current is None:
                    raise SystemExit("%s:%d: line outside any section" % (path, number))
                key, _, value = line.partition("=") if "=" in line else (None, "", line)
                fields = [self._unquote(v.strip()) for v in value.split(",")]
                self.sections[current].append((key.strip() if key else None, fields))
        self.strings = {k.lower(): v[0] for k, v in self.sections.get("strings", []) if k}

    @staticmethod
    def _strip_comment(line):
        out, quoted = [], False
        for ch in line:
            if ch == '"':
                quoted = not quoted
            elif ch == ";" and not quoted:
                break
            out.append(ch)
        return "".join(out)

    @staticmethod
    def _unquote(v):
        return v[1:-1] if len(v) >= 2 and v[0] == v[-1] == '"' else v

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, name, key=None):
        """The fields of every line of a section (with that key, if given)."""
        return [fields for k, fields in self.sections.get(name.lower(), [])
                if key is None or (k or "").lower() == key.lower()]

    def value(self, name, key):
        found = self.entries(name, key)
        return found[0][0] if found else None

    def expand(self, text):
        return re.sub(r"%([^%]+)%", lambda m: self.strings.get(m.group(1).lower(), m.group(0)),
                      text)

    def list_values(self, name, key):
        return [v for fields in self.entries(name, key) for v in fields if v]


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def header_guid(headers, name):
    """The GUID string a real header gives `name` (DEFINE_GUIDSTRUCT)."""
    pattern = re.compile(r'DEFINE_GUIDSTRUCT\("([0-9A-Fa-f-]+)",\s*%s\)' % re.escape(name))
    for file in ("ks.h", "ksmedia.h", "ksproxy.h"):
        m = pattern.search(read(os.path.join(headers, file)))
        if m:
            return "{%s}" % m.group(1).upper()
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--inf", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--headers", required=True)
    parser.add_argument("--output", action="append", default=[])
    args = parser.parse_args()

    failures = []

    def fail(message):
        failures.append(message)
        print("FAIL %s: %s" % (os.path.basename(args.inf), message))

    def need_section(name, why):
        if not inf.has(name):
            fail("[%s] (%s) does not exist" % (name, why))
            return False
        return True

    inf = Inf(args.inf)
    src = args.source_dir

    # What the sources say.
    board = read(os.path.join(src, "sim/board.cpp"))
    vid = re.search(r"kVendorId\s*=\s*(0x[0-9A-Fa-f]+)", board)
    pid = re.search(r"kProductId\s*=\s*(0x[0-9A-Fa-f]+)", board)
    if not vid or not pid:
        raise SystemExit("the board model's vendor and product ids were not found")
    hardware_id = "USB\\VID_%04X&PID_%04X" % (int(vid.group(1), 16), int(pid.group(1), 16))

    device = read(os.path.join(src, "driver/device/capture_device.cpp"))
    references = re.findall(r'L"(m4350av_chan\d)"', device)
    descriptors = read(os.path.join(src, "driver/capture/filter_descriptors.cpp"))
    categories = sorted(set(re.findall(r"STATICGUIDOF\((KSCATEGORY_\w+)\)", descriptors)))
    category_guids = {}
    for name in categories:
        guid = header_guid(args.headers, name)
        if guid is None:
            raise SystemExit("no GUID for %s in %s" % (name, args.headers))
        category_guids[guid] = name
    proxy_clsid = header_guid(args.headers, "CLSID_Proxy")

    settings = read(os.path.join(src, "driver/device/settings.cpp"))
    service_path = re.search(r'L"(\w+)\\\\Parameters"', settings)
    driver_text = "".join(read(os.path.join(d, f)) for d, _, files in
                          os.walk(os.path.join(src, "driver")) for f in files
                          if f.endswith((".cpp", ".h")))
    read_values = set(re.findall(r'L"(\w+)"', driver_text))
    firmware = re.search(r'L"\\\\SystemRoot\\\\system32\\\\drivers\\\\([\w.]+)"',
                         read(os.path.join(src, "driver/usb/firmware.cpp")))
    firmware_name = firmware.group(1).lower() if firmware else None
    outputs = {os.path.basename(o).lower() for o in args.output}
    driver_image = next((o for o in outputs if o.endswith(".sys")), None)
    proxy_image = next((o for o in outputs if o.endswith(".ax")), None)

    # Every %string% is defined.
    for name in inf.order:
        for key, fields in inf.sections[name]:
            for token in re.findall(r"%([^%]+)%", " ".join([key or ""] + fields)):
                if not token.isdigit() and token.lower() not in inf.strings:
                    fail("[%s] uses %%%s%%, which [Strings] does not define" % (name, token))

    # Version.
    if inf.value("Version", "Signature") != "$WINDOWS NT$":
        fail("Signature is not $WINDOWS NT$")
    if (inf.value("Version", "Class") or "").lower() != "media":
        fail("Class is not Media")
    if (inf.value("Version", "ClassGuid") or "").lower() != MEDIA_CLASS_GUID:
        fail("ClassGuid is not the Media class's %s" % MEDIA_CLASS_GUID)

    # Manufacturer -> models -> install sections.
    installs = []
    for fields in inf.entries("Manufacturer"):
        models, decorations = fields[0], [d for d in fields[1:] if d]
        if not decorations:
            fail("the models section %s has no NTamd64 decoration" % models)
        for decoration in decorations:
            section = "%s.%s" % (models, decoration)
            if need_section(section, "models"):
                for key, model in inf.sections[section.lower()]:
                    installs.append((model[0], [h.upper() for h in model[1:]], decoration))
    if not installs:
        fail("no device model")
    for install, hwids, decoration in installs:
        if hardware_id not in hwids:
            fail("model %s installs %s, not the board's %s" % (install, hwids, hardware_id))
    install, _, decoration = installs[0] if installs else ("", [], "")
    ddinstall = "%s.%s" % (install, decoration)
    if not need_section(ddinstall, "device install"):
        return report(failures)

    # Files: every CopyFiles section exists, names sources and built files.
    source_files = {k.lower() for k, _ in inf.sections.get("sourcedisksfiles", []) if k}
    dest_dirs = {(k or "").lower(): v[0] for k, v in inf.sections.get("destinationdirs", [])}
    copied = {}
    for section in inf.list_values(ddinstall, "CopyFiles"):
        if section.startswith("@"):
            fail("CopyFiles names a single file (%s); use a file list section" % section)
            continue
        if not need_section(section, "CopyFiles"):
            continue
        where = dest_dirs.get(section.lower(), dest_dirs.get("defaultdestdir"))
        for fields in inf.entries(section):
            copied[fields[0].lower()] = where
    for key in dest_dirs:
        if key != "defaultdestdir" and not inf.has(key):
            fail("DestinationDirs names [%s], which does not exist" % key)
    for name, where in sorted(copied.items()):
        if name not in source_files:
            fail("%s is copied but not in [SourceDisksFiles]" % name)
        if name not in outputs and name != firmware_name:
            fail("%s is copied but is not a build output" % name)
    for name in sorted(source_files - set(copied)):
        fail("%s is a source file that nothing copies" % name)
    for name in (driver_image, firmware_name):
        if name and copied.get(name) != DIRID_DRIVERS:
            fail("%s must go to the drivers folder (%s), goes to %s" %
                 (name, DIRID_DRIVERS, copied.get(name)))
    if proxy_image and copied.get(proxy_image) != DIRID_SYSTEM:
        fail("%s must go to the system folder (%s)" % (proxy_image, DIRID_SYSTEM))
    for name in (driver_image, proxy_image, firmware_name):
        if name and name not in copied:
            fail("%s is not installed" % name)

    # The plug-in registers itself.
    registered = []
    for section in inf.list_values(ddinstall, "RegisterDlls"):
        if need_section(section, "RegisterDlls"):
            for fields in inf.entries(section):
                registered.append(fields)
    if proxy_image and not any(len(f) >= 4 and f[0] == DIRID_SYSTEM and
                               f[2].lower() == proxy_image and
                               int(f[3], 0) & FLG_REGSVR_DLLREGISTER for f in registered):
        fail("RegisterDlls does not call DllRegisterServer of %s in %s" %
             (proxy_image, DIRID_SYSTEM))
    for section in inf.list_values(ddinstall, "AddReg"):
        need_section(section, "AddReg")

    # Service.
    services = inf.entries(ddinstall + ".Services", "AddService") if need_section(
        ddinstall + ".Services", "services") else []
    expected_service = service_path.group(1) if service_path else None
    if not services:
        fail("no AddService")
    for fields in services:
        name, flags, section = fields[0], int(fields[1], 0), fields[2]
        if name != expected_service:
            fail("service %s, but the driver reads its Parameters under %s" %
                 (name, expected_service))
        if not flags & 0x2:
            fail("service %s is not the device's function driver (SPSVCINST_ASSOCSERVICE)" % name)
        if not need_section(section, "service install"):
            continue
        for key, want in (("ServiceType", 1), ("StartType", 3), ("ErrorControl", 1)):
            got = inf.value(section, key)
            if got is None or int(got, 0) != want:
                fail("%s %s, expected %d" % (key, got, want))
        binary = (inf.value(section, "ServiceBinary") or "").lower()
        if binary != "%%12%%\\%s" % driver_image:
            fail("ServiceBinary %s is not %%12%%\\%s" % (binary, driver_image))
        for reg in inf.list_values(section, "AddReg"):
            if not need_section(reg, "service AddReg"):
                continue
            for fields in inf.entries(reg):
                root, subkey, value, flags = fields[0], fields[1], fields[2], int(fields[3], 0)
                if root.upper() != "HKR" or subkey.lower() != "parameters":
                    fail("service value %s is not under HKR\\Parameters" % value)
                if value not in read_values:
                    fail("Parameters\\%s is not a value the driver reads" % value)
                if flags & 0xFFFF0001 != FLG_ADDREG_TYPE_DWORD:
                    fail("Parameters\\%s is not a REG_DWORD" % value)

    # Device interfaces: each reference string under each of the filters'
    # categories, opened through the KS proxy.
    pairs = set()
    if need_section(ddinstall + ".Interfaces", "interfaces"):
        for fields in inf.entries(ddinstall + ".Interfaces", "AddInterface"):
            guid, reference, section = inf.expand(fields[0]).upper(), fields[1], fields[2]
            if guid not in category_guids:
                fail("interface %s is not one of the filters' categories %s" %
                     (guid, sorted(category_guids.values())))
            pairs.add((guid, reference))
            if not need_section(section, "interface install"):
                continue
            for reg in inf.list_values(section, "AddReg"):
                if not need_section(reg, "interface AddReg"):
                    continue
                values = {f[2].lower(): inf.expand(f[4] if len(f) > 4 else "")
                          for f in inf.entries(reg) if len(f) > 2}
                if values.get("clsid", "").upper() != proxy_clsid:
                    fail("interface %s opens through %s, not the KS proxy %s" %
                         (reference, values.get("clsid"), proxy_clsid))
                if not values.get("friendlyname"):
                    fail("interface %s has no FriendlyName" % reference)
    expected = {(g, r) for g in category_guids for r in references}
    if len(references) != 4:
        fail("the driver's four reference strings were not found (%s)" % references)
    for guid, reference in sorted(expected - pairs):
        fail("no interface %s for %s" % (category_guids[guid], reference))
    for guid, reference in sorted(pairs - expected):
        fail("interface %s %s is not a filter of the driver" % (guid, reference))

    return report(failures)


def report(failures):
    if not failures:
        print("INF consistent with the build and the sources")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
