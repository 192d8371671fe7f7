#!/usr/bin/env python3
"""Checks m4350av.inf against the build's outputs and the sources it installs.

    check_inf.py --inf m4350av.inf --source-dir <tree> --headers <mingw include>
                 --os-version 10.0 --output <file>...

What Windows would only find out while installing, and what a signing
service would refuse, checked here:
- the file: ANSI text without non-ASCII bytes, or UTF-16 LE with its mark;
- [Version]: Signature, Class Media and its GUID, a CatalogFile, a DriverVer
  the build stamped (a real date, four 16-bit parts) equal to the version of
  every image the build made, PnpLockdown=1;
- the models: the NTamd64 decoration of the declared minimum Windows, the
  board's hardware id; the device install section includes ks.inf and
  kscaptur.inf and needs their registration sections;
- sections: every section a directive names exists (except the Needs
  sections, which live in the included INFs), every section is named by
  something, no RegisterDlls, UnregisterDlls or co-installers;
- files: every copied file is a build output (or the board's firmware
  image) listed in [SourceDisksFiles] on a disk [SourceDisksNames] defines,
  and lands where the driver and the streaming proxy look for it;
- the plug-in's class registered by AddReg with its in-process server in the
  system folder and its MediaInterfaces key (under Wine, run_wine.py inf
  compares every key with what DllRegisterServer writes);
- the service the driver reads its Parameters under, whose defaults are
  values the driver reads, REG_DWORDs that never overwrite a value already
  there (NOCLOBBER);
- the device interfaces: the driver's filter categories (GUIDs from the real
  headers) with its reference strings, opened through the KS proxy.
"""
import argparse
import datetime
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_image  # noqa: E402

MEDIA_CLASS_GUID = "{4d36e96c-e325-11ce-bfc1-08002be10318}"
DIRID_DRIVERS = "12"
DIRID_SYSTEM = "11"
FLG_ADDREG_TYPE_DWORD = 0x00010001
FLG_ADDREG_NOCLOBBER = 0x2
KS_INCLUDES = ["ks.inf", "kscaptur.inf"]
KS_NEEDS = ["KS.Registration", "KSCAPTUR.Registration.NT"]
# Directives whose value names sections of this INF.
SECTION_DIRECTIVES = ("copyfiles", "addreg", "delreg", "bitreg", "renfiles", "delfiles",
                      "updateinis", "updateinifields", "ini2reg", "addproperty", "delproperty")
BARRED_DIRECTIVES = ("registerdlls", "unregisterdlls", "coinstallers")
SYSTEM_SECTIONS = ("version", "sourcedisksnames", "sourcedisksfiles", "destinationdirs",
                   "manufacturer", "strings", "controlflags", "classinstall32")


class InfError(Exception):
    pass


class Inf:
    """Sections as ordered lists of (key or None, [fields]), names case-folded."""

    def __init__(self, path):
        self.sections = {}
        self.order = []
        self.encoding_problem = None
        with open(path, "rb") as f:
            raw = f.read()
        if raw.startswith(b"\xff\xfe"):
            text = raw[2:].decode("utf-16-le")
        else:
            if raw.startswith(b"\xef\xbb\xbf"):
                self.encoding_problem = "a UTF-8 byte order mark: save as ANSI or UTF-16 LE"
                raw = raw[3:]
            elif any(b >= 0x80 for b in raw):
                offset = next(i for i, b in enumerate(raw) if b >= 0x80)
                self.encoding_problem = ("byte %#x at offset %d in an ANSI file: non-ASCII text "
                                         "needs UTF-16 LE" % (raw[offset], offset))
            text = raw.decode("ascii", errors="replace")
        current = None
        for number, raw_line in enumerate(text.splitlines(), 1):
            line = self._strip_comment(raw_line).strip()
            if not line:
                continue
            m = re.match(r"^\[([^\]]+)\]$", line)
            if m:
                current = m.group(1).strip().lower()
                if current in self.sections:
                    raise InfError("%s:%d: section [%s] twice" % (path, number, current))
                self.sections[current] = []
                self.order.append(current)
                continue
            if current is None:
                raise InfError("%s:%d: line outside any section" % (path, number))
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


class Sources:
    """What the tree says the INF must agree with."""

    def __init__(self, src, headers):
        board = read(os.path.join(src, "sim/board.cpp"))
        vid = re.search(r"kVendorId\s*=\s*(0x[0-9A-Fa-f]+)", board)
        pid = re.search(r"kProductId\s*=\s*(0x[0-9A-Fa-f]+)", board)
        if not vid or not pid:
            raise SystemExit("the board model's vendor and product ids were not found")
        self.hardware_id = "USB\\VID_%04X&PID_%04X" % (int(vid.group(1), 16),
                                                       int(pid.group(1), 16))
        device = read(os.path.join(src, "driver/device/capture_device.cpp"))
        self.references = re.findall(r'L"(m4350av_chan\d)"', device)
        descriptors = read(os.path.join(src, "driver/capture/filter_descriptors.cpp"))
        categories = sorted(set(re.findall(r"STATICGUIDOF\((KSCATEGORY_\w+)\)", descriptors)))
        self.category_guids = {}
        for name in categories:
            guid = header_guid(headers, name)
            if guid is None:
                raise SystemExit("no GUID for %s in %s" % (name, headers))
            self.category_guids[guid] = name
        self.proxy_clsid = header_guid(headers, "CLSID_Proxy")
        settings = read(os.path.join(src, "driver/device/settings.cpp"))
        service = re.search(r'L"(\w+)\\\\Parameters"', settings)
        self.service = service.group(1) if service else None
        driver_text = "".join(read(os.path.join(d, f)) for d, _, files in
                              os.walk(os.path.join(src, "driver")) for f in files
                              if f.endswith((".cpp", ".h")))
        self.read_values = set(re.findall(r'L"(\w+)"', driver_text))
        firmware = re.search(r'L"\\\\SystemRoot\\\\system32\\\\drivers\\\\([\w.]+)"',
                             read(os.path.join(src, "driver/usb/firmware.cpp")))
        self.firmware = firmware.group(1).lower() if firmware else None
        clsid = re.search(r'ClsidString\[\]\s*=\s*L"(\{[0-9A-Fa-f-]+\})"',
                          read(os.path.join(src, "proxy/module.cpp")))
        self.plugin_clsid = clsid.group(1).upper() if clsid else None


def check(inf_path, sources, outputs, os_version, fail):
    """Every rule, each failure reported through fail(message)."""
    try:
        inf = Inf(inf_path)
    except InfError as e:
        fail(str(e))
        return

    def need_section(name, why):
        if not inf.has(name):
            fail("[%s] (%s) does not exist" % (name, why))
            return False
        return True

    if inf.encoding_problem:
        fail("encoding: %s" % inf.encoding_problem)

    names = {os.path.basename(o).lower(): o for o in outputs}
    driver_image = next((n for n in names if n.endswith(".sys")), None)
    proxy_image = next((n for n in names if n.endswith(".ax")), None)

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
    catalog = inf.value("Version", "CatalogFile")
    if not catalog or not catalog.lower().endswith(".cat"):
        fail("no CatalogFile: a signed package needs its catalogue named (%s)" % catalog)
    if inf.value("Version", "PnpLockdown") != "1":
        fail("PnpLockdown is %s, not 1: installed files must be protected" %
             inf.value("Version", "PnpLockdown"))
    check_driver_ver(inf.entries("Version", "DriverVer"), names, fail)

    # Manufacturer -> models -> install sections.
    referenced = {}  # section -> why, for the orphan rule

    def refer(section, why):
        referenced.setdefault(section.lower(), why)
        return need_section(section, why)

    decoration_wanted = "ntamd64.%s" % os_version
    installs = []
    for fields in inf.entries("Manufacturer"):
        models, decorations = fields[0], [d for d in fields[1:] if d]
        if [d.lower() for d in decorations] != [decoration_wanted]:
            fail("the models section %s is decorated %s, expected exactly NTamd64.%s "
                 "(x64, the declared minimum Windows)" % (models, decorations, os_version))
        for decoration in decorations:
            section = "%s.%s" % (models, decoration)
            if refer(section, "models"):
                for key, model in inf.sections[section.lower()]:
                    installs.append((model[0], [h.upper() for h in model[1:]]))
    if not installs:
        fail("no device model")
    for install, hwids in installs:
        if sources.hardware_id not in hwids:
            fail("model %s installs %s, not the board's %s" % (install, hwids,
                                                               sources.hardware_id))
    ddinstall = ""
    for install, _ in installs:
        # The platform extension of the device install section is NTamd64,
        # without the models' OS version.
        ddinstall = install + ".NTamd64" if inf.has(install + ".NTamd64") else install
        refer(ddinstall, "device install")
    if not ddinstall or not inf.has(ddinstall):
        return

    # The device install section.
    includes = [v.lower() for v in inf.list_values(ddinstall, "Include")]
    if includes != KS_INCLUDES:
        fail("[%s] Include is %s, expected %s" % (ddinstall, includes, ", ".join(KS_INCLUDES)))
    needs = inf.list_values(ddinstall, "Needs")
    if [n.lower() for n in needs] != [n.lower() for n in KS_NEEDS]:
        fail("[%s] Needs is %s, expected %s" % (ddinstall, needs, ", ".join(KS_NEEDS)))
    for suffix, why in ((".Services", "services"), (".Interfaces", "interfaces"),
                        (".HW", "hardware")):
        if inf.has(ddinstall + suffix):
            refer(ddinstall + suffix, why)
    if not inf.has(ddinstall + ".Services"):
        fail("[%s.Services] (services) does not exist" % ddinstall)

    # Directives that name sections, and those no signed package may have.
    for name in list(inf.order):
        if name.endswith(".coinstallers"):
            fail("[%s]: co-installers are not allowed" % name)
        for key, fields in inf.sections[name]:
            directive = (key or "").lower()
            if directive in BARRED_DIRECTIVES:
                fail("[%s] %s: not allowed in a package signed today" % (name, key))
            if directive in SECTION_DIRECTIVES:
                for target in fields:
                    if target and not target.startswith("@"):
                        refer(target, "%s of [%s]" % (key, name))
            if directive in ("addservice", "addinterface") and len(fields) > 2 and fields[2]:
                refer(fields[2], "%s of [%s]" % (key, name))
    for key in inf.sections.get("destinationdirs", []):
        if key[0] and key[0].lower() != "defaultdestdir":
            if not inf.has(key[0]):
                fail("DestinationDirs names [%s], which does not exist" % key[0])
    for name in inf.order:
        base = name.split(".")[0]
        if name not in referenced and base not in SYSTEM_SECTIONS:
            fail("[%s] is named by nothing" % name)

    check_files(inf, ddinstall, sources, names, driver_image, proxy_image, fail)
    check_plugin(inf, ddinstall, sources, proxy_image, fail)
    check_service(inf, ddinstall, sources, driver_image, fail)
    check_interfaces(inf, ddinstall, sources, fail)


def check_driver_ver(values, outputs, fail):
    if len(values) != 1:
        fail("%d DriverVer lines, expected one" % len(values))
        return
    text = ",".join(values[0])
    m = re.match(r"^(\d\d)/(\d\d)/(\d{4}),(\d+)\.(\d+)\.(\d+)\.(\d+)$", text)
    if not m:
        fail("DriverVer %r is not mm/dd/yyyy,w.x.y.z as the build stamps it" % text)
        return
    try:
        date = datetime.date(int(m.group(3)), int(m.group(1)), int(m.group(2)))
    except ValueError:
        fail("DriverVer date %s is no date" % values[0][0])
        return
    # The build stamps the commit's date in UTC; a day's grace covers a
    # checking machine whose own date is behind UTC.
    today = datetime.datetime.now(datetime.timezone.utc).date()
    if date < datetime.date(2015, 7, 29) or date > today + datetime.timedelta(days=1):
        fail("DriverVer date %s is before Windows 10 or in the future" % date)
    parts = [int(m.group(i)) for i in range(4, 8)]
    if any(p > 0xFFFF for p in parts):
        fail("DriverVer version %s has a part above 65535" % values[0][1])
    version = ".".join(str(p) for p in parts)
    for name, path in sorted(outputs.items()):
        info = pe_image.PeImage(path).version_info()
        image_version = info[1] if info else None
        if image_version != version:
            fail("DriverVer version %s, but %s is version %s" % (version, name, image_version))


def check_files(inf, ddinstall, sources, outputs, driver_image, proxy_image, fail):
    source_files = {}
    for key, fields in inf.sections.get("sourcedisksfiles", []):
        if key:
            source_files[key.lower()] = fields[0]
    disks = {(k or "").strip() for k, _ in inf.sections.get("sourcedisksnames", [])}
    for name, disk in sorted(source_files.items()):
        if disk not in disks:
            fail("%s is on disk %s, which [SourceDisksNames] does not define" % (name, disk))
    dest_dirs = {(k or "").lower(): v[0] for k, v in inf.sections.get("destinationdirs", [])}
    copied = {}
    for section in inf.list_values(ddinstall, "CopyFiles"):
        if section.startswith("@"):
            fail("CopyFiles names a single file (%s); use a file list section" % section)
            continue
        if not inf.has(section):
            continue
        where = dest_dirs.get(section.lower(), dest_dirs.get("defaultdestdir"))
        for fields in inf.entries(section):
            copied[fields[0].lower()] = where
    for name, where in sorted(copied.items()):
        if name not in source_files:
            fail("%s is copied but not in [SourceDisksFiles]" % name)
        if name not in outputs and name != sources.firmware:
            fail("%s is copied but is not a build output" % name)
    for name in sorted(set(source_files) - set(copied)):
        fail("%s is a source file that nothing copies" % name)
    for name in (driver_image, sources.firmware):
        if name and copied.get(name) != DIRID_DRIVERS:
            fail("%s must go to the drivers folder (%s), goes to %s" %
                 (name, DIRID_DRIVERS, copied.get(name)))
    if proxy_image and copied.get(proxy_image) != DIRID_SYSTEM:
        fail("%s must go to the system folder (%s)" % (proxy_image, DIRID_SYSTEM))
    for name in (driver_image, proxy_image, sources.firmware):
        if name and name not in copied:
            fail("%s is not installed" % name)


def check_plugin(inf, ddinstall, sources, proxy_image, fail):
    """The device install's AddReg registers the plug-in's class where the
    streaming proxy and COM look for it."""
    if not proxy_image:
        return
    values = {}
    for section in inf.list_values(ddinstall, "AddReg"):
        for fields in inf.entries(section):
            if len(fields) >= 5:
                key = (fields[0].upper(), inf.expand(fields[1]).upper(), fields[2].lower())
                values[key] = inf.expand(fields[4])
    clsid = sources.plugin_clsid
    server = values.get(("HKCR", "CLSID\\%s\\INPROCSERVER32" % clsid, ""))
    if (server or "").lower() != "%%%s%%\\%s" % (DIRID_SYSTEM, proxy_image):
        fail("the plug-in's class %s has InprocServer32 %s, not %%%s%%\\%s" %
             (clsid, server, DIRID_SYSTEM, proxy_image))
    if values.get(("HKCR", "CLSID\\%s\\INPROCSERVER32" % clsid, "threadingmodel")) != "both":
        fail("the plug-in's class has no ThreadingModel both")
    media = "SYSTEM\\CURRENTCONTROLSET\\CONTROL\\MEDIAINTERFACES\\%s" % clsid
    if ("HKLM", media, "") not in values:
        fail("no MediaInterfaces key for %s: the streaming proxy would not load the plug-in" %
             clsid)


def check_service(inf, ddinstall, sources, driver_image, fail):
    services = inf.entries(ddinstall + ".Services", "AddService")
    if not services:
        fail("no AddService")
    for fields in services:
        name, flags, section = fields[0], int(fields[1], 0), fields[2]
        if name != sources.service:
            fail("service %s, but the driver reads its Parameters under %s" %
                 (name, sources.service))
        if not flags & 0x2:
            fail("service %s is not the device's function driver (SPSVCINST_ASSOCSERVICE)" % name)
        if not inf.has(section):
            continue
        for key, want in (("ServiceType", 1), ("StartType", 3), ("ErrorControl", 1)):
            got = inf.value(section, key)
            if got is None or int(got, 0) != want:
                fail("%s %s, expected %d" % (key, got, want))
        binary = (inf.value(section, "ServiceBinary") or "").lower()
        if binary != "%%12%%\\%s" % driver_image:
            fail("ServiceBinary %s is not %%12%%\\%s" % (binary, driver_image))
        for reg in inf.list_values(section, "AddReg"):
            if not inf.has(reg):
                continue
            for fields in inf.entries(reg):
                root, subkey, value, flags = fields[0], fields[1], fields[2], int(fields[3], 0)
                if root.upper() != "HKR" or subkey.lower() != "parameters":
                    fail("service value %s is not under HKR\\Parameters" % value)
                if value not in sources.read_values:
                    fail("Parameters\\%s is not a value the driver reads" % value)
                if flags & 0xFFFF0001 != FLG_ADDREG_TYPE_DWORD:
                    fail("Parameters\\%s is not a REG_DWORD" % value)
                if not flags & FLG_ADDREG_NOCLOBBER:
                    fail("Parameters\\%s has no NOCLOBBER: a reinstall would overwrite what an "
                         "administrator or the configuration interface set" % value)


def check_interfaces(inf, ddinstall, sources, fail):
    """Each reference string under each of the filters' categories, opened
    through the KS proxy."""
    pairs = set()
    for fields in inf.entries(ddinstall + ".Interfaces", "AddInterface"):
        guid, reference, section = inf.expand(fields[0]).upper(), fields[1], fields[2]
        if guid not in sources.category_guids:
            fail("interface %s is not one of the filters' categories %s" %
                 (guid, sorted(sources.category_guids.values())))
        pairs.add((guid, reference))
        if not inf.has(section):
            continue
        for reg in inf.list_values(section, "AddReg"):
            if not inf.has(reg):
                continue
            values = {f[2].lower(): inf.expand(f[4] if len(f) > 4 else "")
                      for f in inf.entries(reg) if len(f) > 2}
            if values.get("clsid", "").upper() != sources.proxy_clsid:
                fail("interface %s opens through %s, not the KS proxy %s" %
                     (reference, values.get("clsid"), sources.proxy_clsid))
            if not values.get("friendlyname"):
                fail("interface %s has no FriendlyName" % reference)
    expected = {(g, r) for g in sources.category_guids for r in sources.references}
    if len(sources.references) != 4:
        fail("the driver's four reference strings were not found (%s)" % sources.references)
    for guid, reference in sorted(expected - pairs):
        fail("no interface %s for %s" % (sources.category_guids[guid], reference))
    for guid, reference in sorted(pairs - expected):
        fail("interface %s %s is not a filter of the driver" % (guid, reference))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--inf", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--headers", required=True)
    parser.add_argument("--os-version", required=True)
    parser.add_argument("--output", action="append", default=[])
    args = parser.parse_args()

    failures = []

    def fail(message):
        failures.append(message)
        print("FAIL %s: %s" % (os.path.basename(args.inf), message))

    check(args.inf, Sources(args.source_dir, args.headers), args.output, args.os_version, fail)
    if not failures:
        print("INF consistent with the build and the sources")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
