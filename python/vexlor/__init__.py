"""Vexlor: the driver for Web-IO digital devices, Web-IO thermometers and the I/O Controller,
from Python.

::

    import vexlor

    with vexlor.open(0, vexlor.Digital12) as dev:
        state = dev.read_inputs()            # word and bits as last reported
        dev.write_outputs(0b1000)            # output 3 on, the others off

The package calls the driver library through ctypes: the one bundled with the package (wheels
carry it), an installed one, or one the caller names. Reads return at once with the values last
received and ask the device again only when the slot's Timing has passed; writes send only the
outputs whose value changed; thermometers are polled at most every 50 s. Results other than 0
raise :class:`DriverError` subclasses. See :mod:`vexlor.driver` for where the settings file
``Vexlor.ini`` lives and :mod:`vexlor.testing` for simulated devices.
"""

from __future__ import annotations

from typing import Optional, Type, TypeVar

from ._native import LibraryNotFoundError, find_library
from .devices import (FAMILIES, MISSING, Device, Digital12, Digital24, DigitalState, IOController,
                      Thermometer1, Thermometer2, Thermometer8, wait_until)
from .driver import Driver, Language, PathLike, default_settings_dir, driver
from .errors import (BadSlotError, DriverError, NoAnswerError, NotConfiguredError, NotOpenError,
                     RefusedError, SlotInUseError, SocketError, SocketLayerError, describe)
from .settings import Settings, SettingsToolError, SlotSettings

__version__ = "0.5.0"

GERMAN = Language.GERMAN
ENGLISH = Language.ENGLISH

D = TypeVar("D", bound=Device)


def open(slot: int, family: Type[D], *, language: int = Language.ENGLISH,
         library: Optional[PathLike] = None, settings: Optional[PathLike] = None) -> D:
    """Opens ``slot`` as a device of ``family`` (:class:`Digital12`, :class:`Digital24`,
    :class:`Thermometer1`, :class:`Thermometer2`, :class:`Thermometer8`,
    :class:`IOController`).

    The slot lives in the process's shared driver for ``library`` and ``settings`` (see
    :func:`driver`). Use the result as a context manager, which closes the slot at the end.
    """
    return driver(library, settings).open(slot, family, language)


__all__ = [
    "open", "driver", "Driver", "Language", "GERMAN", "ENGLISH", "default_settings_dir",
    "find_library", "LibraryNotFoundError",
    "Device", "Digital12", "Digital24", "Thermometer1", "Thermometer2", "Thermometer8",
    "IOController", "DigitalState", "MISSING", "FAMILIES", "wait_until",
    "DriverError", "BadSlotError", "SocketLayerError", "SlotInUseError", "SocketError",
    "NoAnswerError", "RefusedError", "NotConfiguredError", "NotOpenError", "describe",
    "Settings", "SlotSettings", "SettingsToolError",
]
