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
from .errors import DriverError, error_for

if TYPE_CHECKING:
    from .devices import Device
    from .settings import Settings

__all__ = ["Language", "Driver", "driver", "default_settings_dir", "SETTINGS_FILE"]

PathLike = Union[str, "os.PathLike[str]"]
D = TypeVar("D", bound="Device")

SETTINGS_FILE = "Vexlor.ini"


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
        settings: the folder holding the ``Vexlor.ini`` to use (or that file's path; the folder
            is created when missing). Given, the driver is loaded as a private copy that reads
            this file; see the module's documentation.

    A driver is closed with :meth:`close` (or by leaving a ``with`` block): slots opened through
    it are closed, and a private copy is unloaded and its folder removed.
    """

    def __init__(self, library: Optional[PathLike] = None,
                 settings: Optional[PathLike] = None) -> None:
        self.source: Path = _native.find_library(library)
        bundled = self.source.parent.resolve() == _native.BUNDLED_LIB_DIR.resolve()
        if settings is None and bundled:
            settings = default_settings_dir()
        self._private_dir: Optional[Path] = None
        self._settings_source: Optional[Path] = None
        self._synced: Optional[Tuple[int, int]] = None
        self._open_slots: Set[int] = set()
        self._closed = False
        if settings is None:
            self.settings_dir: Path = self.source.parent
            self.path: Path = self.source
            with _LOCK:
                key = self.source.resolve()
                if key not in _SHARED:
                    _SHARED[key] = (_native.load(self.source), {})
                self._dll, self._functions = _SHARED[key]
        else:
            self.settings_dir = settings_folder(settings)
            self.settings_dir.mkdir(parents=True, exist_ok=True)
            self._settings_source = self.settings_dir / SETTINGS_FILE
            self.path = self._make_private_copy()
            try:
                self._dll = _native.load(self.path)
            except BaseException:
                shutil.rmtree(self._private_dir, ignore_errors=True)  # type: ignore[arg-type]
                raise
            self._functions = {}
        _LIVE.append(self)

    # --- the private copy ---------------------------------------------------------------------
    def _make_private_copy(self) -> Path:
        folder = Path(tempfile.mkdtemp(prefix="vexlor-driver-"))
        self._private_dir = folder
        try:
            target = folder / (_native.DRIVER_FILE)
            shutil.copyfile(self.source, target)
            for companion in _native.companions_of(self.source):
                shutil.copyfile(companion, folder / companion.name)
            link = folder / SETTINGS_FILE
            if _native.IS_WINDOWS:
                self._sync_settings()
            else:
                os.symlink(self._settings_source, link)  # type: ignore[arg-type]
        except BaseException:
            shutil.rmtree(folder, ignore_errors=True)
            raise
        return target

    def _sync_settings(self) -> None:
        """Windows: brings the private copy's Vexlor.ini up to date with the caller's file."""
        if self._private_dir is None or not _native.IS_WINDOWS:
            return
        source = self._settings_source
        target = self._private_dir / SETTINGS_FILE
        try:
            stat = source.stat()  # type: ignore[union-attr]
        except OSError:
            if target.exists():
                target.unlink()
            self._synced = None
            return
        stamp = (stat.st_mtime_ns, stat.st_size)
        if stamp != self._synced or not target.exists():
            shutil.copyfile(source, target)  # type: ignore[arg-type]
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
        if name in ("VexlorWeb_IO_Init",) or "Thermometer" in name:
            self._sync_settings()
        code = self.function(name)(check_language(language), check_slot(slot), *args)
        if code != 0:
            raise error_for(code, name, slot, values() if callable(values) else values)

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
        if self._private_dir is not None and _native.IS_WINDOWS:
            saved = self._private_dir / SETTINGS_FILE
            if saved.exists():
                shutil.copyfile(saved, self._settings_source)  # type: ignore[arg-type]
                stat = self._settings_source.stat()  # type: ignore[union-attr]
                self._synced = (stat.st_mtime_ns, stat.st_size)

    @property
    def settings(self) -> "Settings":
        """The :class:`~vexlor.Settings` of the ``Vexlor.ini`` this driver reads."""
        from .settings import Settings

        return Settings(self.settings_dir, driver=self.source)

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
