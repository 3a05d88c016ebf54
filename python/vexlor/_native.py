"""Finding the driver library and declaring its exported functions for ctypes.

The driver exports plain C functions with the cdecl calling convention. Every device function
takes an unsigned 16-bit language selector and an unsigned 16-bit slot number first and returns
a 32-bit int; the declarations below give ctypes the exact width of every further argument, so
that nothing is left to ctypes' default int conversion.
"""

from __future__ import annotations

import ctypes
import logging
import os
import re
import struct
import sys
import threading
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

IS_WINDOWS = sys.platform == "win32"
PACKAGE_DIR = Path(__file__).resolve().parent
# Where a wheel carries the driver (and, on Linux, its tools).
BUNDLED_LIB_DIR = PACKAGE_DIR / "_lib"
BUNDLED_BIN_DIR = PACKAGE_DIR / "_bin"

if IS_WINDOWS:
    DRIVER_FILE = "Vexlor.dll"
    DRIVER_NAMES: Tuple[str, ...] = ("Vexlor.dll",)
    # The DLL loads WSOCK32.DLL (part of Windows) and the optional trace library through the
    # system's search order, not from its own folder: nothing travels with it.
    COMPANIONS: Tuple[str, ...] = ()
else:
    DRIVER_FILE = "libvexlor.so"
    DRIVER_NAMES = ("libvexlor.so.0", "libvexlor.so")
    # Libraries the driver loads by name from its own folder: the socket layer and the
    # optional trace library.
    COMPANIONS = ("libwsock32.so", "liborvane.so")

#: Folders searched for an installed driver after the one bundled with the package.
SYSTEM_DRIVER_DIRS: Tuple[str, ...] = () if IS_WINDOWS else (
    "/usr/local/lib/vexlor", "/usr/lib/vexlor")

# The decorated name under which the 32-bit Windows DLL exports VexlorWeb_IO_24xDigital_ReadDO.
READ_DO_24_DECORATED = "?VexlorWeb_IO_24xDigital_ReadDO@@YAHGGPAKPAG11111111111111111111111@Z"

U16 = ctypes.c_uint16
U32 = ctypes.c_uint32
I32 = ctypes.c_int32
P_U16 = ctypes.POINTER(ctypes.c_uint16)
P_U32 = ctypes.POINTER(ctypes.c_uint32)
P_I32 = ctypes.POINTER(ctypes.c_int32)
P_DBL = ctypes.POINTER(ctypes.c_double)

# name: argument types after (language, slot). The dialog has no slot.
PROTOTYPES: Dict[str, List[type]] = {
    "VexlorWeb_IO_Init": [],
    "VexlorWeb_IO_DeInit": [],
    "VexlorWeb_IO_12xDigital_ReadDI": [P_U16] * 13,
    "VexlorWeb_IO_12xDigital_ReadDO": [P_U16] * 13,
    "VexlorWeb_IO_12xDigital_WriteDO": [U16] * 12,
    "VexlorWeb_IO_12xDigital_ReadCI": [P_I32] * 12,
    "VexlorWeb_IO_12xDigital_ResetCI": [U16] * 12,
    "VexlorWeb_IO_12xDigital_ErrorClear": [U16],
    "VexlorWeb_IO_24xDigital_ReadDI": [P_U32] + [P_U16] * 24,
    "VexlorWeb_IO_24xDigital_ReadDO": [P_U32] + [P_U16] * 24,
    "VexlorWeb_IO_24xDigital_WriteDO": [U16] * 24,
    "VexlorWeb_IO_24xDigital_ReadCI": [P_I32] * 24,
    "VexlorWeb_IO_24xDigital_ResetCI": [U16] * 24,
    "VexlorWeb_IO_24xDigital_ErrorClear": [U16],
    "VexlorWeb_IO_1xThermometer_Read": [P_DBL] * 1,
    "VexlorWeb_IO_2xThermometer_Read": [P_DBL] * 2,
    "VexlorWeb_IO_8xThermometer_Read": [P_DBL] * 8,
    "HWgroup_IOController_ReadDI": [P_U16] * 9,
    "HWgroup_IOController_WriteDO": [U16] * 8,
}


class LibraryNotFoundError(OSError):
    """No driver library was found, or the one found cannot be loaded by this interpreter."""


def is_bundled(library: Path) -> bool:
    """Whether ``library`` is the driver that came inside this package."""
    return library.parent.resolve() == BUNDLED_LIB_DIR.resolve()


def program_folders(*extra: Path) -> List[Path]:
    """Where the package's programs may be: bundled with it, the given folders, and where an
    installation put them."""
    folders = [BUNDLED_BIN_DIR, *extra]
    try:
        from . import _installed  # type: ignore[attr-defined]
        folders.append((PACKAGE_DIR / _installed.TOOLS_DIR).resolve())
    except ImportError:
        pass
    return folders


def find_program(name: str, folders: Sequence[Path]) -> Optional[Path]:
    """The first executable ``name`` in ``folders``."""
    for folder in folders:
        candidate = folder / name
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    return None


def interpreter_bits() -> int:
    """Pointer width of the running Python in bits (32 or 64)."""
    return struct.calcsize("P") * 8


def library_bits(path: Path) -> Optional[int]:
    """Pointer width a shared library or DLL was built for, read from its header (None: unknown)."""
    try:
        with open(path, "rb") as f:
            head = f.read(64)
            if head[:4] == b"\x7fELF":
                return {1: 32, 2: 64}.get(head[4])
            if head[:2] == b"MZ" and len(head) >= 64:
                (pe_offset,) = struct.unpack_from("<I", head, 0x3C)
                f.seek(pe_offset)
                pe = f.read(6)
                if pe[:4] == b"PE\0\0":
                    (machine,) = struct.unpack_from("<H", pe, 4)
                    return {0x14C: 32, 0x8664: 64, 0xAA64: 64, 0x1C4: 32}.get(machine)
    except OSError:
        return None
    return None


def _driver_in(folder: Path) -> Optional[Path]:
    for name in DRIVER_NAMES:
        candidate = folder / name
        if candidate.is_file():
            return candidate
    return None


def _installed_dirs() -> Iterator[Path]:
    # A package installed by cmake --install or the Debian package names the driver's folder
    # relative to itself in _installed.py; a prefix's lib/vexlor comes next.
    try:
        from . import _installed  # type: ignore[attr-defined]
        yield (PACKAGE_DIR / _installed.DRIVER_DIR).resolve()
    except ImportError:
        pass
    for prefix in dict.fromkeys((sys.prefix, sys.base_prefix)):
        yield Path(prefix) / "lib" / "vexlor"
    for folder in SYSTEM_DRIVER_DIRS:
        yield Path(folder)


def candidates() -> List[Path]:
    """Driver files in the order they are tried when the caller names none: the one bundled
    with the package, then an installed one."""
    found: List[Path] = []
    for folder in [BUNDLED_LIB_DIR, *_installed_dirs()]:
        driver = _driver_in(folder)
        if driver is not None and driver not in found:
            found.append(driver)
    return found


def find_library(library: "os.PathLike[str] | str | None" = None) -> Path:
    """The driver file to load.

    ``library`` may name the driver file itself or a folder holding it. Without it the driver
    bundled inside the package is taken, else an installed one (``PREFIX/lib/vexlor``,
    ``/usr/local/lib/vexlor``, ``/usr/lib/vexlor``).
    """
    if library is not None:
        path = Path(library)
        if path.is_dir():
            driver = _driver_in(path)
            if driver is None:
                raise LibraryNotFoundError(f"no {DRIVER_FILE} in {path}")
            path = driver
        if not path.is_file():
            raise LibraryNotFoundError(f"driver library {path} does not exist")
        return path.absolute()
    found = candidates()
    if not found:
        searched = ", ".join(str(p) for p in [BUNDLED_LIB_DIR, *_installed_dirs()])
        raise LibraryNotFoundError(f"no Vexlor driver found (searched {searched}); "
                                   "install the vexlor wheel or the driver, or pass library=")
    return found[0]


def check_width(path: Path) -> None:
    """Refuses a driver whose pointer width differs from the interpreter's, naming both."""
    bits = library_bits(path)
    mine = interpreter_bits()
    if bits is not None and bits != mine:
        hint = ""
        if IS_WINDOWS:
            hint = (" Install the win32 wheel for a 32-bit Python and the win_amd64 wheel for a "
                    "64-bit Python.")
        raise LibraryNotFoundError(
            f"{path} is a {bits}-bit library but this Python is {mine}-bit.{hint}")


def companions_of(driver: Path) -> List[Path]:
    """The libraries beside the driver that it loads by name (socket layer, trace library)."""
    return [driver.parent / name for name in COMPANIONS if (driver.parent / name).is_file()]


#: The logger of the package: the driver's error lines (replies it could not decode) arrive here.
LOGGER = logging.getLogger("vexlor")
ERROR_PIPE_VARIABLE = "VEXLOR_ERROR_PIPE"
_ERROR_LINE = re.compile(r"(?P<caption>.*?): slot (?P<slot>\d+): (?P<text>.*)", re.S)
_ENVIRONMENT_LOCK = threading.Lock()


def log_error_line(line: str) -> None:
    """Logs one error line of the driver ("caption: slot N: text", the text's control bytes
    escaped) as a warning of the ``vexlor`` logger, with ``slot``, ``caption`` and ``reply``
    attached to the record (``slot`` None for a line without one)."""
    match = _ERROR_LINE.fullmatch(line)
    if match is None:
        LOGGER.warning("%s", line, extra={"slot": None, "caption": "", "reply": line})
        return
    slot = int(match.group("slot"))
    LOGGER.warning("slot %d: %s: %s", slot, match.group("caption"), match.group("text"),
                   extra={"slot": slot, "caption": match.group("caption"),
                          "reply": match.group("text")})


class ErrorLines:
    """The pipe a loaded Linux driver writes its error lines to, read by a thread of its own that
    logs every line (:func:`log_error_line`). The driver's end is non-blocking: a line the pipe
    cannot take goes to standard error instead. :meth:`close` after the driver is unloaded."""

    def __init__(self) -> None:
        self.read_fd, self.write_fd = os.pipe()
        os.set_blocking(self.write_fd, False)
        self._thread = threading.Thread(target=self._run, name="vexlor-error-lines", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        with os.fdopen(self.read_fd, "rb") as stream:
            for raw in stream:
                log_error_line(raw.decode("latin-1").rstrip("\n"))

    def close(self) -> None:
        if self.write_fd >= 0:
            os.close(self.write_fd)
            self.write_fd = -1
            self._thread.join(timeout=5)


def load(path: Path) -> Tuple[ctypes.CDLL, Optional[ErrorLines]]:
    """Loads the driver with the cdecl calling convention. On Linux the driver is given a pipe
    for its error lines (read once, at load, from the environment), which come out of the
    ``vexlor`` logger; on Windows it shows its error boxes."""
    check_width(path)
    lines = None if IS_WINDOWS else ErrorLines()
    try:
        if IS_WINDOWS:
            # ctypes.CDLL calls with the caller-cleans (cdecl) convention, as the DLL exports
            # its functions; the DLL imports system DLLs only.
            return ctypes.CDLL(str(path)), None
        assert lines is not None
        with _ENVIRONMENT_LOCK:
            previous = os.environ.get(ERROR_PIPE_VARIABLE)
            os.environ[ERROR_PIPE_VARIABLE] = f"{os.getpid()}:{lines.write_fd}"
            try:
                dll = ctypes.CDLL(str(path), mode=os.RTLD_NOW | os.RTLD_LOCAL)
            finally:
                if previous is None:
                    del os.environ[ERROR_PIPE_VARIABLE]
                else:
                    os.environ[ERROR_PIPE_VARIABLE] = previous
        return dll, lines
    except OSError as exc:
        if lines is not None:
            lines.close()
        raise LibraryNotFoundError(f"cannot load the driver {path}: {exc}") from exc


def bind(dll: Any, name: str) -> Any:
    """One exported function with its exact prototype (on Windows the 24xDigital ReadDO by its
    decorated name first, as the DLL exports it)."""
    names: Sequence[str] = (name,)
    if name == "VexlorWeb_IO_24xDigital_ReadDO" and IS_WINDOWS:
        names = (READ_DO_24_DECORATED, name)
    for candidate in names:
        try:
            function = getattr(dll, candidate)
        except AttributeError:
            continue
        function.restype = ctypes.c_int
        function.argtypes = [U16, U16, *PROTOTYPES[name]]
        return function
    raise LibraryNotFoundError(f"the driver {getattr(dll, '_name', '')} lacks {name}")


def bind_dialog(dll: Any) -> Any:
    """``VexlorDlgWeb_IO_ConfigHardware(language)``, where the driver has the dialog."""
    function = dll.VexlorDlgWeb_IO_ConfigHardware
    function.restype = ctypes.c_int
    function.argtypes = [U16]
    return function


def unload(dll: ctypes.CDLL) -> None:
    """Unloads a driver loaded by :func:`load`; its functions must not be called afterwards."""
    import _ctypes

    handle = dll._handle
    if IS_WINDOWS:
        _ctypes.FreeLibrary(handle)  # type: ignore[attr-defined]
    else:
        _ctypes.dlclose(handle)  # type: ignore[attr-defined]
