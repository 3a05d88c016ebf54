"""Wheel tags that follow the driver inside the package.

The package is pure Python over ctypes, so one wheel serves every Python 3.9 or newer: the tag
is py3-none-PLATFORM. PLATFORM is read from the header of the driver library in vexlor/_lib
(ELF machine or PE machine), not from the machine that builds the wheel, so a Linux machine
builds the Windows wheels too. A Linux wheel is tagged manylinux_X_Y_MACHINE, X.Y being the
highest glibc version the bundled libraries and programs need (objdump -T). Without a bundled driver the wheel is py3-none-any and uses an
installed driver.
"""

import re
import struct
import subprocess
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


def glibc_needed():
    """The highest glibc symbol version the bundled Linux programs and libraries need, as
    (major, minor), from objdump's list of their dynamic symbols; None without any."""
    highest = None
    for path in sorted(LIB.glob("*")) + sorted((HERE / "vexlor" / "_bin").glob("*")):
        if not path.is_file() or path.read_bytes()[:4] != b"\x7fELF":
            continue
        try:
            symbols = subprocess.run(["objdump", "-T", str(path)], capture_output=True,
                                     text=True, check=True).stdout
        except (OSError, subprocess.CalledProcessError) as exc:
            raise SystemExit(f"setup.py: objdump -T {path} failed ({exc}); install binutils")
        for major, minor in re.findall(r"\bGLIBC_(\d+)\.(\d+)", symbols):
            version = (int(major), int(minor))
            highest = version if highest is None else max(highest, version)
    return highest


def wheel_platform():
    """The wheel's platform tag: the Windows and other tags as bundled_platform() reads them;
    on Linux the manylinux tag of the glibc the bundled binaries need, so that installers
    refuse the wheel where they could not load."""
    tag = bundled_platform()
    if tag is None or not tag.startswith("linux_"):
        return tag
    glibc = glibc_needed()
    if glibc is None:
        return tag
    return f"manylinux_{glibc[0]}_{glibc[1]}_{tag[len('linux_'):]}"


PLATFORM = wheel_platform()


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


# Console scripts for the programs a Linux wheel carries in vexlor/_bin (vexlor/_tools.py).
SCRIPTS = ["vexlorctl = vexlor._tools:vexlorctl", "vexlor-config = vexlor._tools:vexlor_config",
           "vexlor-sim = vexlor._tools:vexlor_sim"]
BUNDLES_TOOLS = (HERE / "vexlor" / "_bin" / "vexlor-sim").is_file()

# The plugin's entry point is named as its module, so that pytest registers it once whether it
# comes from here, from "-p vexlor.pytest_plugin" or from a conftest's pytest_plugins.
PLUGIN = ["vexlor.pytest_plugin = vexlor.pytest_plugin"]

setup(distclass=BinaryDistribution, cmdclass={"bdist_wheel": bdist_wheel},
      entry_points={"pytest11": PLUGIN, "console_scripts": SCRIPTS if BUNDLES_TOOLS else []})
