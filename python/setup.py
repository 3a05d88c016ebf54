"""Wheel tags that follow the driver inside the package.

The package is pure Python over ctypes, so one wheel serves every Python 3.9 or newer: the tag
is py3-none-PLATFORM. PLATFORM is read from the header of the driver library in vexlor/_lib
(ELF machine or PE machine), not from the machine that builds the wheel, so a Linux machine
builds the Windows wheels too. Without a bundled driver the wheel is py3-none-any and uses an
installed driver.
"""

import struct
from pathlib import Path

from setuptools import setup
from setuptools.dist import Distribution

try:
    from wheel.bdist_wheel import bdist_wheel as _bdist_wheel
except ImportError:  # newer setuptools carry bdist_wheel themselves
    from setuptools.command.bdist_wheel import bdist_wheel as _bdist_wheel  # type: ignore

HERE = Path(__file__).resolve().parent
LIB = HERE / "vexlor" / "_lib"

ELF_MACHINES = {0x03: "linux_i686", 0x3E: "linux_x86_64", 0x28: "linux_armv7l",
                0xB7: "linux_aarch64"}
PE_MACHINES = {0x14C: "win32", 0x8664: "win_amd64", 0xAA64: "win_arm64"}


def bundled_platform():
    """The wheel platform of the driver in vexlor/_lib, or None when there is none."""
    for name in ("libvexlor.so.0", "libvexlor.so", "Vexlor.dll"):
        path = LIB / name
        if not path.is_file():
            continue
        data = path.read_bytes()[:4096]
        if data[:4] == b"\x7fELF":
            endian = "<" if data[5] == 1 else ">"
            (machine,) = struct.unpack_from(endian + "H", data, 18)
            tag = ELF_MACHINES.get(machine)
        elif data[:2] == b"MZ":
            (offset,) = struct.unpack_from("<I", data, 0x3C)
            (machine,) = struct.unpack_from("<H", data, offset + 4)
            tag = PE_MACHINES.get(machine)
        else:
            tag = None
        if tag is None:
            raise SystemExit(f"setup.py: {path} is no driver library of a known platform")
        return tag
    return None


PLATFORM = bundled_platform()


class BinaryDistribution(Distribution):
    def has_ext_modules(self):
        return PLATFORM is not None


class bdist_wheel(_bdist_wheel):
    def finalize_options(self):
        super().finalize_options()
        self.root_is_pure = PLATFORM is None

    def get_tag(self):
        if PLATFORM is None:
            return super().get_tag()
        return "py3", "none", PLATFORM


setup(distclass=BinaryDistribution, cmdclass={"bdist_wheel": bdist_wheel})
