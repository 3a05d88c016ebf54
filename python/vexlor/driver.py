"""The loaded driver: one copy of the library with its 100 slots.

A :class:`Driver` loads the driver library and hands out the device classes of
:mod:`vexlor.devices`. Where the driver reads its settings file depends on how it was loaded:

* **In place** (a driver installed under ``/usr/lib/vexlor`` or ``PREFIX/lib/vexlor``, or one
  the caller names with ``library=`` and no ``settings=``): the library is loaded where it lies
  and reads ``Vexlor.ini`` from its own folder, like every other host of that driver. All
  :class:`Driver` objects of one process that load the same file share that one copy.
* **Private copy** (``settings=`` given, and always for the driver bundled inside the package,
  whose folder is usually not writable): the library and the libraries it loads by name are
  copied into a fresh temporary folder, and ``Vexlor.ini`` in that folder refers to the
  caller's settings file (a symbolic link on Linux; on Windows a copy that is brought up to
  date before every call that reads the settings). The driver therefore reads the caller's
  ``Vexlor.ini``. Each private copy is a driver of its own: its own 100 slots, request
  timestamps and output shadows. Without ``settings=`` the bundled driver uses the per-user
  folder :func:`default_settings_dir`.
"""

from __future__ import annotations

import atexit
import ctypes
import enum
import os
import shutil
import tempfile
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Set, Tuple, Type, TypeVar, Union

from . import _native
from .errors import WSAEADDRNOTAVAIL, DriverError, error_for, not_configured

if TYPE_CHECKING:
    from .devices import Device
    from .settings import Settings

__all__ = ["Language", "Driver", "driver", "default_settings_dir", "SETTINGS_FILE"]

PathLike = Union[str, "os.PathLike[str]"]
D = TypeVar("D", bound="Device")

SETTINGS_FILE = "Vexlor.ini"


def _reads_settings(name: str) -> bool:
    """Whether export ``name`` reads the slot's settings file: Init, and every thermometer read
    (each poll opens its own connection)."""
    return name == "VexlorWeb_IO_Init" or "Thermometer" in name


class Language(enum.IntEnum):
    """The language selector every driver function takes first.

    Only ``VexlorWeb_IO_Init`` (and the thermometer reads, which run it) use it: it selects the
    language of the wait window shown while connecting, and of the configuration dialog. The
    driver treats 0 as German and every other value as English.
    """

    GERMAN = 0
    ENGLISH = 1


def default_settings_dir() -> Path:
    """The per-user folder of the bundled driver's ``Vexlor.ini``.

    ``$XDG_CONFIG_HOME/vexlor`` (``~/.config/vexlor``) on Linux, ``%APPDATA%\\Vexlor`` on Windows.
    """
    if _native.IS_WINDOWS:
        base = os.environ.get("APPDATA") or str(Path.home() / "AppData" / "Roaming")
        return Path(base) / "Vexlor"
    base = os.environ.get("XDG_CONFIG_HOME") or str(Path.home() / ".config")
    return Path(base) / "vexlor"


def settings_folder(settings: PathLike) -> Path:
    """The folder that holds (or will hold) ``Vexlor.ini``, from a folder or the file's path."""
    path = Path(settings).expanduser()
    if path.is_dir():
        return path.absolute()
    if path.name.lower() == SETTINGS_FILE.lower():
        return path.parent.absolute()
    if path.suffix.lower() == ".ini":
        raise ValueError(f"the driver reads a file named {SETTINGS_FILE}, not {path.name}: "
                         f"name the folder that holds {SETTINGS_FILE}")
    return path.absolute()


def private_copy(source: Path, settings_file: Path) -> Path:
    """Copies the driver ``source`` and the libraries it loads by name into a fresh temporary
    folder whose ``Vexlor.ini`` is a symbolic link to ``settings_file`` (on Windows the caller
    copies the file); returns the copied driver. The caller removes the folder."""
    folder = Path(tempfile.mkdtemp(prefix="vexlor-driver-"))
    try:
        target = folder / _native.DRIVER_FILE
        shutil.copyfile(source, target)
        for companion in _native.companions_of(source):
            shutil.copyfile(companion, folder / companion.name)
        if not _native.IS_WINDOWS:
            os.symlink(settings_file, folder / SETTINGS_FILE)
    except BaseException:
        shutil.rmtree(folder, ignore_errors=True)
        raise
    return target


def check_language(language: int) -> int:
    if not 0 <= int(language) <= 0xFFFF:
        raise ValueError(f"language {language} does not fit the driver's 16-bit selector")
    return int(language)


def check_slot(slot: int) -> int:
    """Slot numbers travel as unsigned 16-bit values; 100 and above are the driver's to refuse."""
    if not isinstance(slot, int) or not 0 <= slot <= 0xFFFF:
        raise ValueError(f"slot {slot!r} is not a number from 0 to 65535 (the driver serves 0-99)")
    return slot


# In-place loads shared by every Driver of the process: path -> (library, functions).
_SHARED: Dict[Path, Tuple[ctypes.CDLL, Dict[str, Any]]] = {}
_LOCK = threading.Lock()


class Driver:
    """One loaded driver.

    Args:
        library: the driver file or a folder holding it; default the driver bundled inside the
            package, else an installed one (see :func:`vexlor._native.find_library`).
        settings: the folder holding the ``Vexlor.ini`` to use (or that file's path). The folder
            must exist (a missing one raises :class:`FileNotFoundError` naming it). Given, the driver is loaded as a private copy that reads
            this file; see the module's documentation.

    A driver is closed with :meth:`close` (or by leaving a ``with`` block): slots opened through
    it are closed, and a private copy is unloaded and its folder removed.
    """

    def __init__(self, library: Optional[PathLike] = None,
                 settings: Optional[PathLike] = None) -> None:
        self.source: Path = _native.find_library(library)
        bundled = _native.is_bundled(self.source)
        # The per-user folder may not exist yet: the driver then reads no settings, and the
        # first Init names the file to write.
        explicit_default = settings is None and bundled
        if explicit_default:
            settings = default_settings_dir()
        self._private_dir: Optional[Path] = None
        self._settings_source: Optional[Path] = None
        self._synced: Optional[Tuple[int, int]] = None
        self._open_slots: Set[int] = set()
        self._closed = False
        self._error_lines: Optional[_native.ErrorLines] = None
        if settings is None:
            self.settings_dir: Path = self.source.parent
            self.path: Path = self.source
            with _LOCK:
                key = self.source.resolve()
                if key not in _SHARED:
                    _SHARED[key] = (_native.load(self.source)[0], {})
                self._dll, self._functions = _SHARED[key]
        else:
            self.settings_dir = settings_folder(settings)
            if not self.settings_dir.is_dir() and not explicit_default:
                raise FileNotFoundError(
                    f"settings folder {self.settings_dir} does not exist: name the folder that "
                    f"holds {SETTINGS_FILE}, or create it with its settings (vexlor-config --dir "
                    f"{self.settings_dir} set SLOT --ip ADDRESS ...)")
            self._settings_source = self.settings_dir / SETTINGS_FILE
            self.path = self._make_private_copy()
            try:
                self._dll, self._error_lines = _native.load(self.path)
            except BaseException:
                shutil.rmtree(self._private_dir, ignore_errors=True)  # type: ignore[arg-type]
                raise
            self._functions = {}
        _LIVE.append(self)

    # --- the private copy ---------------------------------------------------------------------
    def _make_private_copy(self) -> Path:
        assert self._settings_source is not None
        target = private_copy(self.source, self._settings_source)
        self._private_dir = target.parent
        if _native.IS_WINDOWS:
            try:
                self._sync_settings()
            except BaseException:
                shutil.rmtree(target.parent, ignore_errors=True)
                raise
        return target

    def _sync_settings(self) -> None:
        """Windows: brings the private copy's Vexlor.ini up to date with the caller's file."""
        if self._private_dir is None or not _native.IS_WINDOWS:
            return
        source = self._settings_source
        assert source is not None
        target = self._private_dir / SETTINGS_FILE
        try:
            info = source.stat()
        except OSError:
            if target.exists():
                target.unlink()
            self._synced = None
            return
        stamp = (info.st_mtime_ns, info.st_size)
        if stamp != self._synced or not target.exists():
            shutil.copyfile(source, target)
            self._synced = stamp

    # --- calls --------------------------------------------------------------------------------
    def function(self, name: str) -> Any:
        """The bound export ``name`` with its exact ctypes prototype."""
        self._check_open()
        try:
            return self._functions[name]
        except KeyError:
            function = _native.bind(self._dll, name)
            self._functions[name] = function
            return function

    def call(self, name: str, language: int, slot: int, *args: Any, values: Any = None) -> None:
        """Calls export ``name`` and raises the fitting :class:`~vexlor.DriverError` for a
        result other than 0. ``values`` is attached to the exception (what the call copied)."""
        if _reads_settings(name):
            self._sync_settings()
        code = self.function(name)(check_language(language), check_slot(slot), *args)
        if code == 0:
            return
        copied = values() if callable(values) else values
        if code == WSAEADDRNOTAVAIL and _reads_settings(name):
            address = self.slot_address(slot)
            if address in ("", "0.0.0.0"):
                raise not_configured(name, slot, str(self.settings_file), address, copied)
        raise error_for(code, name, slot, copied)

    @property
    def settings_file(self) -> Path:
        """The ``Vexlor.ini`` this driver reads."""
        return self.settings_dir / SETTINGS_FILE

    def slot_address(self, slot: int) -> str:
        """The IP address ``Vexlor.ini`` holds for ``slot`` ("" when it holds none), read as the
        driver reads it: section ``[DEVn]``, key ``IP``, names in any case, blanks trimmed."""
        try:
            text = self.settings_file.read_bytes().decode("latin-1")
        except OSError:
            return ""
        section = ""
        for raw in text.splitlines():
            line = raw.strip()
            if line.startswith("[") and "]" in line:
                if section == f"dev{slot}":
                    return ""  # only the first section of a name counts
                section = line[1:line.index("]")].strip().lower()
            elif section == f"dev{slot}" and "=" in line:
                key, value = line.split("=", 1)
                if key.strip().lower() == "ip":
                    value = value.strip()
                    if len(value) >= 2 and value[0] == value[-1] and value[0] in "\"'":
                        value = value[1:-1]
                    return value
        return ""

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("the driver has been closed")

    def init(self, slot: int, language: int = Language.ENGLISH) -> None:
        """``VexlorWeb_IO_Init``: loads the slot's settings from ``Vexlor.ini``, connects to
        the device and starts the slot's receive thread. Raises :class:`SlotInUseError` when
        the slot is already open."""
        self.call("VexlorWeb_IO_Init", language, slot)
        self._open_slots.add(slot)

    def deinit(self, slot: int, language: int = Language.ENGLISH) -> None:
        """``VexlorWeb_IO_DeInit``: stops the slot's receive thread and closes its connection."""
        self._open_slots.discard(slot)
        self.call("VexlorWeb_IO_DeInit", language, slot)

    def open(self, slot: int, family: Type[D], language: int = Language.ENGLISH) -> D:
        """Opens ``slot`` as a device of ``family`` (for example :class:`vexlor.Digital12`)."""
        device = family(self, slot, language)
        device.open()
        return device

    def config_dialog(self, language: int = Language.ENGLISH) -> None:
        """Runs the driver's configuration dialog where the driver has it (Windows; elsewhere
        the driver returns at once). A private copy's settings, saved by the dialog beside the
        copy, are written back to the caller's ``Vexlor.ini``."""
        self._check_open()
        try:
            dialog = _native.bind_dialog(self._dll)
        except AttributeError:
            raise NotImplementedError("this driver has no configuration dialog; "
                                      "use vexlor.Settings") from None
        self._sync_settings()
        dialog(check_language(language))
        source = self._settings_source
        if self._private_dir is not None and source is not None and _native.IS_WINDOWS:
            saved = self._private_dir / SETTINGS_FILE
            if saved.exists():
                shutil.copyfile(saved, source)
                info = source.stat()
                self._synced = (info.st_mtime_ns, info.st_size)

    @property
    def settings(self) -> "Settings":
        """The :class:`~vexlor.Settings` of the ``Vexlor.ini`` this driver reads."""
        from .settings import Settings

        return Settings(self.settings_dir, driver=self.source)

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return self._closed

    @property
    def private(self) -> bool:
        """True for a private copy (see the module's documentation)."""
        return self._private_dir is not None

    # --- closing ------------------------------------------------------------------------------
    def close(self) -> None:
        """Closes the slots opened through this driver; unloads a private copy."""
        if self._closed:
            return
        errors: List[DriverError] = []
        for slot in sorted(self._open_slots):
            try:
                self.deinit(slot)
            except DriverError as exc:
                errors.append(exc)
        self._closed = True
        if self in _LIVE:
            _LIVE.remove(self)
        if self._private_dir is not None:
            try:
                _native.unload(self._dll)
                # Only a driver that is gone can no longer write to the pipe, whose descriptor
                # number another file may get once it is closed.
                if self._error_lines is not None:
                    self._error_lines.close()
            except OSError:
                pass
            self._functions.clear()
            shutil.rmtree(self._private_dir, ignore_errors=True)

    def __enter__(self) -> "Driver":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        kind = "private copy" if self.private else "in place"
        return f"<vexlor.Driver {self.source} ({kind}), settings {self.settings_dir}>"


_LIVE: List[Driver] = []
_DEFAULTS: Dict[Tuple[Optional[str], Optional[str]], Driver] = {}


def driver(library: Optional[PathLike] = None, settings: Optional[PathLike] = None) -> Driver:
    """The process's shared :class:`Driver` for this library and settings (made on first use).

    :func:`vexlor.open` uses it, so that every device opened with the same arguments lives in
    one driver, as it would in a host application.
    """
    key = (None if library is None else str(Path(library).absolute()),
           None if settings is None else str(settings_folder(settings)))
    with _LOCK:
        current = _DEFAULTS.get(key)
        if current is not None and not current._closed:
            return current
    made = Driver(library, settings)
    with _LOCK:
        _DEFAULTS[key] = made
    return made


@atexit.register
def _close_all() -> None:
    for live in list(reversed(_LIVE)):
        try:
            live.close()
        except Exception:
            pass
