"""One class per device family, over the driver's exported functions.

How the driver talks to a device, and so what these methods do:

* **Reads never wait** (digital devices and the I/O Controller). A read sends its request only
  when the slot's Timing (the polling interval in ``Vexlor.ini``, in milliseconds) has passed
  since the previous request of its sort, and returns at once with the values the slot's
  receive thread decoded so far. The reply to the request just sent shows in a later read; the
  first read after :meth:`Device.open` returns zeros. :func:`wait_until` repeats a read until
  its value is the one expected.
* **Writes send only what changed.** The driver remembers the value last given for each output
  (and counter reset and error clear) and sends a request only for those whose value changed
  since the previous call. After every open the first write sends every output given as 0 or 1.
  A value other than 0 and 1 sends nothing and is remembered.
* **Thermometers** are polled at most once every 50 seconds: a read that is due opens the
  connection, sends the request, waits for the reply up to Timing milliseconds, and closes the
  connection again; every other read returns the last readings at once. A missing sensor reads
  :data:`MISSING` (-999.0).

Every result other than 0 raises a :class:`vexlor.DriverError` subclass.
"""

from __future__ import annotations

import ctypes
import math
import time
from typing import (TYPE_CHECKING, Callable, ClassVar, Iterable, NamedTuple, Optional, Sequence,
                    Tuple, TypeVar, Union)

from .driver import Language, check_slot
from .errors import not_open

if TYPE_CHECKING:
    from .driver import Driver

__all__ = [
    "MISSING", "DigitalState", "Device", "Digital12", "Digital24", "Thermometer1",
    "Thermometer2", "Thermometer8", "IOController", "wait_until", "FAMILIES",
]

#: The reading of a missing thermometer sensor.
MISSING = -999.0

Values = Union[int, Sequence[int]]
T = TypeVar("T")
_NO_BIT = 0xFFFF  # what the bits hold until the driver copies into them
_NO_COUNTER = -(2 ** 31)


class DigitalState(NamedTuple):
    """Inputs or outputs as the device last reported them.

    ``word`` has bit i set for channel i (on the I/O Controller bit 0 is input 1); ``bits`` holds
    the state of each channel, 0 or 1, channel 0 first.
    """

    word: int
    bits: Tuple[int, ...]


def wait_until(read: Callable[[], T], predicate: Callable[[T], bool], timeout: float = 5.0,
               interval: float = 0.05) -> T:
    """Calls ``read`` until ``predicate`` holds for its value, at most ``timeout`` seconds.

    Returns the value; raises :class:`TimeoutError` naming the last value otherwise. Meant for
    the driver's reads, which return what the device reported on an earlier request.
    """
    deadline = time.monotonic() + timeout
    while True:
        value = read()
        if predicate(value):
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError(f"no value matched within {timeout} s; last value {value!r}")
        time.sleep(interval)


def _word_values(values: Values, count: int, what: str) -> Tuple[int, ...]:
    """A bit mask or a sequence of ``count`` values -> ``count`` unsigned 16-bit values."""
    if isinstance(values, bool):
        raise TypeError(f"{what}: a bit mask or one value per channel, not {values!r}")
    if isinstance(values, int):
        if not 0 <= values < (1 << count):
            raise ValueError(f"{what} mask {values:#x} has bits beyond the {count} channels")
        return tuple((values >> i) & 1 for i in range(count))
    result = tuple(int(v) for v in values)
    if len(result) != count:
        raise ValueError(f"{what}: {count} values expected, {len(result)} given")
    for v in result:
        if not 0 <= v <= 0xFFFF:
            raise ValueError(f"{what}: value {v} does not fit the driver's 16-bit argument")
    return result


class Device:
    """A device on one slot of a :class:`~vexlor.Driver`.

    Use it as a context manager: ``with vexlor.open(0, vexlor.Digital12) as dev: ...`` opens the
    slot (``VexlorWeb_IO_Init``: settings loaded from ``Vexlor.ini``, connection made, receive
    thread started) and closes it at the end (``VexlorWeb_IO_DeInit``).
    """

    family: ClassVar[str] = ""
    #: The simulator's name for this family (``vexlor-sim`` device descriptions).
    sim_type: ClassVar[str] = ""

    def __init__(self, driver: "Driver", slot: int, language: int = Language.ENGLISH) -> None:
        self.driver = driver
        self.slot = check_slot(slot)
        self.language = int(language)
        self.is_open = False
        self._closed = False  # close() was called: every call raises until open()

    def _call(self, name: str, *args: object, values: object = None) -> None:
        if self._closed or self.driver.closed:
            raise not_open(name, self.slot)
        self.driver.call(name, self.language, self.slot, *args, values=values)

    def open(self: "Dev") -> "Dev":
        """Opens the slot (``VexlorWeb_IO_Init``)."""
        self.driver.init(self.slot, self.language)
        self.is_open = True
        self._closed = False
        return self

    def close(self) -> None:
        """Closes the slot (``VexlorWeb_IO_DeInit``). Afterwards every call raises
        :class:`~vexlor.NotOpenError` without reaching the driver; closing again, or after the
        driver was closed (which closed its slots), does nothing."""
        was_open, self.is_open, self._closed = self.is_open, False, True
        if was_open and not self.driver.closed:
            self.driver.deinit(self.slot, self.language)

    def __enter__(self: "Dev") -> "Dev":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self.is_open else "closed"
        return f"<vexlor.{type(self).__name__} slot {self.slot} ({state})>"


Dev = TypeVar("Dev", bound=Device)


class _Digital(Device):
    """Web-IO digital device: inputs, outputs, one pulse counter per input, an error latch."""

    channels: ClassVar[int] = 0
    _prefix: ClassVar[str] = ""
    _word_type: ClassVar[type] = ctypes.c_uint16

    def _read_state(self, operation: str) -> DigitalState:
        word = self._word_type(0)
        bits = [ctypes.c_uint16(_NO_BIT) for _ in range(self.channels)]

        def copied() -> Optional[DigitalState]:
            if bits[0].value == _NO_BIT:
                return None
            return DigitalState(word.value, tuple(b.value for b in bits))

        self._call(self._prefix + operation, ctypes.byref(word),
                   *(ctypes.byref(b) for b in bits), values=copied)
        return DigitalState(word.value, tuple(b.value for b in bits))

    def read_inputs(self) -> DigitalState:
        """The inputs last reported (``ReadDI``); requests new ones when Timing has passed."""
        return self._read_state("ReadDI")

    def read_outputs(self) -> DigitalState:
        """The outputs last reported (``ReadDO``); requests them anew when Timing has passed."""
        return self._read_state("ReadDO")

    def write_outputs(self, outputs: Values) -> None:
        """Sets the outputs (``WriteDO``): a bit mask (bit i = output i) or one value per output
        (0 off, 1 on; any other value leaves the output as it is and is remembered). Only outputs
        whose value changed since the previous call are sent."""
        self._call(self._prefix + "WriteDO", *_word_values(outputs, self.channels, "outputs"))

    def read_counters(self) -> Tuple[int, ...]:
        """The pulse counters last reported (``ReadCI``), counter 0 first; requests all of them
        anew when Timing has passed."""
        counters = [ctypes.c_int32(_NO_COUNTER) for _ in range(self.channels)]

        def copied() -> Optional[Tuple[int, ...]]:
            if all(c.value == _NO_COUNTER for c in counters):
                return None
            return tuple(c.value for c in counters)

        self._call(self._prefix + "ReadCI", *(ctypes.byref(c) for c in counters), values=copied)
        return tuple(c.value for c in counters)

    def reset_counters(self, values: Values) -> None:
        """``ResetCI`` as the driver has it: counter i is cleared each time its value becomes a
        new non-zero value; holding the same value clears nothing more. A bit mask or one value
        per counter. :meth:`clear_counters` clears without this bookkeeping."""
        self._call(self._prefix + "ResetCI", *_word_values(values, self.channels, "counters"))

    def clear_counters(self, which: Union[int, Iterable[int], None] = None) -> None:
        """Clears the counters named by a bit mask or by their numbers (all without an argument),
        once each: two ``ResetCI`` calls, all zeros and then 1 for the chosen ones."""
        if which is None:
            mask = (1 << self.channels) - 1
        elif isinstance(which, int):
            mask = which
        else:
            mask = 0
            for index in which:
                if not 0 <= index < self.channels:
                    raise ValueError(f"no counter {index} on a {self.channels}-channel device")
                mask |= 1 << index
        self.reset_counters(0)
        self.reset_counters(mask)

    def error_clear(self, value: int) -> None:
        """``ErrorClear`` as the driver has it: the device's error latch is cleared when
        ``value`` is non-zero and differs from the value of the previous call."""
        if not 0 <= value <= 0xFFFF:
            raise ValueError(f"value {value} does not fit the driver's 16-bit argument")
        self._call(self._prefix + "ErrorClear", value)

    def clear_error(self) -> None:
        """Clears the device's error latch once (``ErrorClear`` with 0, then 1)."""
        self.error_clear(0)
        self.error_clear(1)


class Digital12(_Digital):
    """Web-IO 12xDigital: 12 inputs, 12 outputs, 12 pulse counters and an error latch."""

    family = "Web-IO 12xDigital"
    sim_type = "digital12"
    channels = 12
    _prefix = "VexlorWeb_IO_12xDigital_"
    _word_type = ctypes.c_uint16


class Digital24(_Digital):
    """Web-IO 24xDigital: 24 inputs, 24 outputs, 24 pulse counters and an error latch."""

    family = "Web-IO 24xDigital"
    sim_type = "digital24"
    channels = 24
    _prefix = "VexlorWeb_IO_24xDigital_"
    _word_type = ctypes.c_uint32


class _Thermometer(Device):
    """Web-IO thermometer: the read opens and closes the connection itself."""

    sensors: ClassVar[int] = 0
    _function: ClassVar[str] = ""

    def open(self: "Dev") -> "Dev":
        """Nothing to do: every read opens and closes the slot's connection itself."""
        self.is_open = True
        self._closed = False
        return self

    def close(self) -> None:
        self.is_open = False
        self._closed = True

    def read(self) -> Tuple[float, ...]:
        """The temperatures in degrees Celsius, sensor 1 first; :data:`MISSING` for a missing
        sensor. Polls the device when 50 s have passed since the driver's last poll of this slot
        (opening the connection and waiting up to Timing ms for the reply), else returns the
        last readings at once; 0.0 before the first reply."""
        temps = [ctypes.c_double(math.nan) for _ in range(self.sensors)]

        def copied() -> Optional[Tuple[float, ...]]:
            if all(math.isnan(t.value) for t in temps):
                return None
            return tuple(t.value for t in temps)

        self._call(self._function, *(ctypes.byref(t) for t in temps), values=copied)
        return tuple(t.value for t in temps)


class Thermometer1(_Thermometer):
    """Web-IO 1x Thermometer."""

    family = "Web-IO 1x Thermometer"
    sim_type = "thermo1"
    sensors = 1
    _function = "VexlorWeb_IO_1xThermometer_Read"


class Thermometer2(_Thermometer):
    """Web-IO 2x Thermometer."""

    family = "Web-IO 2x Thermometer"
    sim_type = "thermo2"
    sensors = 2
    _function = "VexlorWeb_IO_2xThermometer_Read"


class Thermometer8(_Thermometer):
    """Web-IO 8x Thermometer."""

    family = "Web-IO 8x Thermometer"
    sim_type = "thermo8"
    sensors = 8
    _function = "VexlorWeb_IO_8xThermometer_Read"


class IOController(Device):
    """I/O Controller: 8 inputs and 8 outputs. Its slot's password in ``Vexlor.ini`` is the
    marker "I/O Controller" (``vexlor.Settings.set(slot, io_controller=True)``)."""

    family = "I/O Controller"
    sim_type = "iocontroller"
    channels: ClassVar[int] = 8

    def read_inputs(self) -> DigitalState:
        """The input state byte last reported and inputs 1 to 8 as bits (``bits[0]`` is input 1);
        requests it anew when Timing has passed."""
        value = ctypes.c_uint16(0)
        bits = [ctypes.c_uint16(_NO_BIT) for _ in range(8)]

        def copied() -> Optional[DigitalState]:
            if bits[0].value == _NO_BIT:
                return None
            return DigitalState(value.value, tuple(b.value for b in bits))

        self._call("HWgroup_IOController_ReadDI", ctypes.byref(value),
                   *(ctypes.byref(b) for b in bits), values=copied)
        return DigitalState(value.value, tuple(b.value for b in bits))

    def write_outputs(self, outputs: Values) -> None:
        """Sets outputs 1 to 8: a bit mask (bit 0 = output 1) or eight values. The driver sends
        the whole mask once for every output whose value changed since the previous call."""
        self._call("HWgroup_IOController_WriteDO", *_word_values(outputs, 8, "outputs"))


#: The device classes by the simulator's type names.
FAMILIES = {cls.sim_type: cls for cls in (Digital12, Digital24, Thermometer1, Thermometer2,
                                          Thermometer8, IOController)}
