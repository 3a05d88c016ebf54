"""The wheels' contents and tags (the wheels named in VEXLOR_WHEELS, separated by os.pathsep).

Each wheel must carry the package, a driver whose machine is the one its tag names, the
companions that driver loads from its folder, a RECORD whose hashes match, and the pytest
plugin's entry point. The Windows wheels are checked this way because no Windows Python is at
hand to load them; the Linux wheel is also installed and used by scripts/test-stages/40-python.
"""

from __future__ import annotations

import base64
import hashlib
import os
import re
import struct
import zipfile
from pathlib import Path

import pytest

WHEELS = [Path(p) for p in os.environ.get("VEXLOR_WHEELS", "").split(os.pathsep) if p]

PACKAGE_FILES = {"__init__.py", "__main__.py", "_native.py", "_tools.py", "devices.py",
                 "driver.py", "errors.py", "py.typed", "pytest_plugin.py", "settings.py",
                 "testing.py"}
LINUX_NATIVE = {"_lib/libvexlor.so.0", "_lib/libwsock32.so", "_lib/liborvane.so",
                "_bin/vexlor-config", "_bin/vexlor-sim", "_bin/vexlorctl"}
NATIVE = {
    "x86_64": (LINUX_NATIVE, ("elf", 0x3E)),
    "aarch64": (LINUX_NATIVE, ("elf", 0xB7)),
    "win32": ({"_lib/Vexlor.dll"}, ("pe", 0x14C)),
    "win_amd64": ({"_lib/Vexlor.dll"}, ("pe", 0x8664)),
}
SCRIPTS = {"vexlorctl": "vexlor._tools:vexlorctl", "vexlor-config": "vexlor._tools:vexlor_config",
           "vexlor-sim": "vexlor._tools:vexlor_sim"}


def machine(data: bytes):
    if data[:4] == b"\x7fELF":
        return "elf", struct.unpack_from("<H", data, 18)[0]
    (offset,) = struct.unpack_from("<I", data, 0x3C)
    assert data[offset:offset + 4] == b"PE\0\0"
    return "pe", struct.unpack_from("<H", data, offset + 4)[0]


@pytest.mark.skipif(not WHEELS, reason="VEXLOR_WHEELS names no wheel")
@pytest.mark.parametrize("wheel", WHEELS, ids=[w.name for w in WHEELS])
def test_wheel_contents_and_tags(wheel):
    match = re.fullmatch(r"vexlor-([0-9.]+)-py3-none-(manylinux_(\d+)_(\d+)_)?(\w+)\.whl",
                         wheel.name)
    assert match, wheel.name
    version, linux, glibc_major, glibc_minor, machine_name = match.groups()
    platform = wheel.name.split("-py3-none-")[1][:-len(".whl")]
    assert machine_name in NATIVE
    native, (kind, expected_machine) = NATIVE[machine_name]
    assert (kind == "elf") == (linux is not None), platform
    distinfo = f"vexlor-{version}.dist-info"
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        package = {n[len("vexlor/"):] for n in names if n.startswith("vexlor/")}
        assert package == PACKAGE_FILES | native
        metadata = archive.read(f"{distinfo}/WHEEL").decode()
        assert f"Tag: py3-none-{platform}" in metadata.splitlines()
        assert "Root-Is-Purelib: false" in metadata.splitlines()
        fields = archive.read(f"{distinfo}/METADATA").decode().splitlines()
        assert "Requires-Python: >=3.9" in fields
        for field in ("Author-email: ", "Project-URL: Homepage, ", "Classifier: Typing :: Typed"):
            assert any(f.startswith(field) for f in fields), field
        entry_points = archive.read(f"{distinfo}/entry_points.txt").decode()
        assert "vexlor.pytest_plugin = vexlor.pytest_plugin" in entry_points
        for script, target in SCRIPTS.items():
            assert (f"{script} = {target}" in entry_points) == (kind == "elf"), script
        glibc = []
        for name in native:
            data = archive.read(f"vexlor/{name}")
            assert machine(data) == (kind, expected_machine), name
            if kind == "elf":  # executable bits survive into the installed files
                assert archive.getinfo(f"vexlor/{name}").external_attr >> 16 & 0o111, name
                glibc += re.findall(rb"GLIBC_(\d+)\.(\d+)\x00", data)
        if linux:  # the tag names the newest glibc symbol version a bundled binary needs
            assert max((int(a), int(b)) for a, b in glibc) == (int(glibc_major), int(glibc_minor))
        record = archive.read(f"{distinfo}/RECORD").decode().splitlines()
        listed = set()
        for line in record:
            path, digest, size = line.rsplit(",", 2)
            listed.add(path)
            if path.endswith("RECORD"):
                continue
            data = archive.read(path)
            algorithm, value = digest.split("=", 1)
            expected = base64.urlsafe_b64encode(hashlib.new(algorithm, data).digest())
            assert (value, int(size)) == (expected.rstrip(b"=").decode(), len(data)), path
        assert listed == names
