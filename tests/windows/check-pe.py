#!/usr/bin/env python3
"""Checks a cross-built Vexlor.dll without running it.

    check-pe.py BUILD_DIR ARCH        (ARCH: i686 or x86_64)

- the image is PE32 for i386 (i686) or PE32+ for x86-64;
- the export table holds exactly the names of src/platform/win32/exports.txt (the one list the
  build makes its .def file from: the 20 functions and the decorated alias), each once;
- the import table names no WSOCK32.DLL/WS2_32.DLL/ORVANE.DLL (loaded by name at run time) and no
  MinGW runtime DLL (libgcc_s*, libstdc++*, libwinpthread*);
- the resources hold the four wait-window templates (German, 1031), a version record and the
  configuration dialog's templates 100 and 101 and bitmap 3100 (check_dialog_resources.py).
Prints one line per check and exits 1 when any fails.
"""
import os
import re
import struct
import subprocess
import sys

RT_DIALOG = 5
RT_VERSION = 16
WAIT_TEMPLATES = ["WAIT_CONNECT_DEUTSCH", "WAIT_CONNECT_ENGLISCH", "WAIT_DISCONNECT_DEUTSCH",
                  "WAIT_DISCONNECT_ENGLISCH"]
FORBIDDEN_IMPORTS = re.compile(r"^(wsock32|ws2_32|orvane|libgcc_s.*|libstdc\+\+.*|libwinpthread.*)"
                               r"\.dll$", re.IGNORECASE)

failures = 0


def check(ok, what):
    global failures
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures += 1


EXPORTS_LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src",
                            "platform", "win32", "exports.txt")


def export_list():
    """The export list: (plain names, [(export name, function)])."""
    names, aliases = [], []
    with open(EXPORTS_LIST, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if "=" in line:
                name, function = line.rsplit("=", 1)
                aliases.append((name, function))
            else:
                names.append(line)
    return names, aliases


def objdump_p(tool, dll):
    return subprocess.run([tool, "-p", dll], check=True, capture_output=True, text=True).stdout


def exported_names(dump):
    names = []
    section = re.search(r"\[Ordinal/Name Pointer\] Table\n(.*?)(?:\n\n|\Z)", dump, re.S)
    if section:
        for line in section.group(1).splitlines():
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if m:
                names.append(m.group(1))
    return names


def imported_dlls(dump):
    return re.findall(r"DLL Name: (\S+)", dump)


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.machine, nsections = struct.unpack_from("<HH", data, pe + 4)
        optsize = struct.unpack_from("<H", data, pe + 20)[0]
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        dirs = opt + (96 if self.magic == 0x10B else 112)
        self.rsrc_rva, self.rsrc_size = struct.unpack_from("<II", data, dirs + 2 * 8)
        self.sections = []
        sec = opt + optsize
        for i in range(nsections):
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, sec + 40 * i + 8)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("rva outside sections")

    def resources(self):
        """Yields (type, name, language) for every resource; names as text or ordinals."""
        if self.rsrc_rva == 0:
            return
        base = self.offset(self.rsrc_rva)

        def entries(dir_offset):
            named, ids = struct.unpack_from("<HH", self.data, base + dir_offset + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + dir_offset + 16 + 8 * i)
                if name & 0x80000000:
                    at = base + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, at)[0]
                    key = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                else:
                    key = name
                yield key, target

        for rtype, t in entries(0):
            for name, n in entries(t & 0x7FFFFFFF):
                for lang, _ in entries(n & 0x7FFFFFFF):
                    yield rtype, name, lang


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in ("i686", "x86_64"):
        print(__doc__)
        return 2
    build_dir, arch = sys.argv[1], sys.argv[2]
    dll = f"{build_dir}/bin/Vexlor.dll"
    objdump = f"{arch}-w64-mingw32-objdump"
    dump = objdump_p(objdump, dll)
    with open(dll, "rb") as f:
        pe = Pe(f.read())

    if arch == "i686":
        check(pe.machine == 0x14C and pe.magic == 0x10B, "PE32 image for i386")
    else:
        check(pe.machine == 0x8664 and pe.magic == 0x20B, "PE32+ image for x86-64")

    exports, aliases = export_list()
    check(len(exports) == 20, f"export list names 20 functions ({len(exports)})")
    check(len(aliases) == 1 and aliases[0][1] == "VexlorWeb_IO_24xDigital_ReadDO",
          "export list has the decorated alias of VexlorWeb_IO_24xDigital_ReadDO")
    check(all(function in exports for _, function in aliases),
          "every alias names a listed function")
    expected = exports + [name for name, _ in aliases]
    actual = exported_names(dump)
    check(len(actual) == len(set(actual)), "no export name appears twice")
    missing = sorted(set(expected) - set(actual))
    extra = sorted(set(actual) - set(expected))
    check(not missing, "every expected name is exported" + (f"; missing {missing}" if missing else ""))
    check(not extra, "nothing else is exported" + (f"; extra {extra}" if extra else ""))
    check(len(actual) == len(expected), f"{len(expected)} names exported ({len(actual)})")

    dlls = imported_dlls(dump)
    print("note  imports: " + ", ".join(dlls))
    bad = [d for d in dlls if FORBIDDEN_IMPORTS.match(d)]
    check(not bad, "imports only system DLLs" + (f"; found {bad}" if bad else ""))

    resources = list(pe.resources())
    for template in WAIT_TEMPLATES:
        check((RT_DIALOG, template, 1031) in resources, f"dialog {template} (German, 1031)")
    check(any(r[0] == RT_VERSION for r in resources), "version record")
    # The configuration dialog's templates 100 and 101 and its bitmap 3100, control by control.
    from check_dialog_resources import check_dialog_resources
    check_dialog_resources(pe, check)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
