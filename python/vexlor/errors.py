"""Result codes of the driver and the exceptions they become.

Every exported driver function returns an int: 0 for success, one of the driver's own codes
2, 3 and 6, or the Windows Sockets error number of the socket call that failed. The package
turns every result other than 0 into an exception of the class below that fits the code; each
carries the code, its name and meaning, the driver function and the slot.
"""

from __future__ import annotations

import os
from typing import Any, Dict, Optional, Tuple, Type

__all__ = [
    "DriverError",
    "BadSlotError",
    "SocketLayerError",
    "SlotInUseError",
    "SocketError",
    "NoAnswerError",
    "RefusedError",
    "NotConfiguredError",
    "NotOpenError",
    "describe",
    "error_for",
    "RESULT_OK",
    "RESULT_BAD_SLOT",
    "RESULT_NO_SOCKET_LAYER",
    "RESULT_SLOT_IN_USE",
    "WSAETIMEDOUT",
    "WSAECONNREFUSED",
    "WSAENOTSOCK",
    "WSAEADDRNOTAVAIL",
]

RESULT_OK = 0
RESULT_BAD_SLOT = 2
RESULT_NO_SOCKET_LAYER = 3
RESULT_SLOT_IN_USE = 6
WSAETIMEDOUT = 10060
WSAECONNREFUSED = 10061
WSAENOTSOCK = 10038
WSAEADDRNOTAVAIL = 10049

# code: (name, meaning). The driver's own codes first; every other value is the error number
# that the socket layer reported for the socket call that failed.
_RESULTS: Dict[int, Tuple[str, str]] = {
    0: ("OK", "success"),
    2: ("BAD_SLOT", "slot number above 99"),
    3: ("NO_SOCKET_LAYER", "socket layer not available (WSOCK32 missing, incomplete or not started)"),
    6: ("SLOT_IN_USE", "slot already in use (initialised twice)"),
    10004: ("WSAEINTR", "interrupted function call"),
    10009: ("WSAEBADF", "file handle is not valid"),
    10013: ("WSAEACCES", "permission denied"),
    10014: ("WSAEFAULT", "bad address"),
    10022: ("WSAEINVAL", "invalid argument"),
    10024: ("WSAEMFILE", "too many open sockets"),
    10035: ("WSAEWOULDBLOCK", "resource temporarily unavailable"),
    10036: ("WSAEINPROGRESS", "operation now in progress"),
    10037: ("WSAEALREADY", "operation already in progress"),
    10038: ("WSAENOTSOCK", "not a socket: the slot is not open"),
    10039: ("WSAEDESTADDRREQ", "destination address required"),
    10040: ("WSAEMSGSIZE", "message too long"),
    10041: ("WSAEPROTOTYPE", "protocol wrong type for socket"),
    10042: ("WSAENOPROTOOPT", "bad protocol option"),
    10043: ("WSAEPROTONOSUPPORT", "protocol not supported"),
    10044: ("WSAESOCKTNOSUPPORT", "socket type not supported"),
    10045: ("WSAEOPNOTSUPP", "operation not supported"),
    10046: ("WSAEPFNOSUPPORT", "protocol family not supported"),
    10047: ("WSAEAFNOSUPPORT", "address family not supported by protocol family"),
    10048: ("WSAEADDRINUSE", "address already in use"),
    10049: ("WSAEADDRNOTAVAIL", "cannot assign requested address"),
    10050: ("WSAENETDOWN", "network is down"),
    10051: ("WSAENETUNREACH", "network is unreachable"),
    10052: ("WSAENETRESET", "network dropped connection on reset"),
    10053: ("WSAECONNABORTED", "software caused connection abort"),
    10054: ("WSAECONNRESET", "connection reset by peer"),
    10055: ("WSAENOBUFS", "no buffer space available"),
    10056: ("WSAEISCONN", "socket is already connected"),
    10057: ("WSAENOTCONN", "socket is not connected"),
    10058: ("WSAESHUTDOWN", "cannot send after socket shutdown"),
    10059: ("WSAETOOMANYREFS", "too many references"),
    10060: ("WSAETIMEDOUT", "the device does not answer"),
    10061: ("WSAECONNREFUSED", "connection refused"),
    10062: ("WSAELOOP", "cannot translate name"),
    10063: ("WSAENAMETOOLONG", "name too long"),
    10064: ("WSAEHOSTDOWN", "host is down"),
    10065: ("WSAEHOSTUNREACH", "no route to host"),
    10066: ("WSAENOTEMPTY", "directory not empty"),
    10067: ("WSAEPROCLIM", "too many processes"),
    10068: ("WSAEUSERS", "user quota exceeded"),
    10069: ("WSAEDQUOT", "disk quota exceeded"),
    10070: ("WSAESTALE", "stale file handle reference"),
    10071: ("WSAEREMOTE", "item is remote"),
    10091: ("WSASYSNOTREADY", "network subsystem is unavailable"),
    10092: ("WSAVERNOTSUPPORTED", "Windows Sockets version out of range"),
    10093: ("WSANOTINITIALISED", "WSAStartup not yet performed successfully"),
    10101: ("WSAEDISCON", "graceful shutdown in progress"),
    10107: ("WSASYSCALLFAILURE", "a send failed without an error number"),
    10109: ("WSATYPE_NOT_FOUND", "class type not found"),
    11001: ("WSAHOST_NOT_FOUND", "host not found"),
    11002: ("WSATRY_AGAIN", "non-authoritative host not found"),
    11003: ("WSANO_RECOVERY", "non-recoverable error"),
    11004: ("WSANO_DATA", "valid name, no data record of the requested type"),
}


def describe(code: int) -> Tuple[str, str]:
    """Name and meaning of a result code, e.g. ``(\"WSAECONNREFUSED\", \"connection refused\")``."""
    return _RESULTS.get(code, ("UNKNOWN", "unknown result code"))


class DriverError(Exception):
    """A driver function returned a result other than 0.

    Attributes:
        code: the result code (2, 3, 6 or a Windows Sockets error number).
        name: the code's symbolic name ("BAD_SLOT", "WSAECONNREFUSED", ...).
        meaning: a short English description of the code.
        function: the exported driver function that returned it.
        slot: the slot number the call was made for.
        values: what a read copied to its output variables although it failed (the thermometer
            reads copy the last readings even when their send failed; a read reporting stale
            values copies them too), else None.
    """

    def __init__(self, code: int, function: str = "", slot: Optional[int] = None,
                 values: Any = None, hint: str = "") -> None:
        self.code = code
        self.name, self.meaning = describe(code)
        self.function = function
        self.slot = slot
        self.values = values
        where = f"{function}(slot {slot})" if function else f"slot {slot}"
        text = f"{where} -> {code} {self.name}: {self.meaning}"
        super().__init__(f"{hint} ({text})" if hint else text)


class BadSlotError(DriverError):
    """Result 2: the slot number is 100 or above."""


class SocketLayerError(DriverError):
    """Result 3: the driver's socket layer is missing, incomplete or could not be started."""


class SlotInUseError(DriverError):
    """Result 6: the slot is already open (``VexlorWeb_IO_Init`` called twice)."""


class SocketError(DriverError):
    """A socket call failed; ``code`` is its Windows Sockets error number."""


class NoAnswerError(SocketError):
    """Result 10060 (WSAETIMEDOUT): the device does not answer.

    Where the read still copied the values it held, ``values`` carries them; they are the
    last values received before the device fell silent.
    """


class RefusedError(SocketError):
    """Result 10061 (WSAECONNREFUSED): the device refused the connection."""


class NotConfiguredError(SocketError):
    """Result 10049 (WSAEADDRNOTAVAIL) from a slot whose address in ``Vexlor.ini`` is empty or
    0.0.0.0: the slot has not been set up. ``settings_file`` names the file the driver read."""

    def __init__(self, code: int, function: str = "", slot: Optional[int] = None,
                 values: Any = None, hint: str = "", settings_file: str = "") -> None:
        super().__init__(code, function, slot, values, hint)
        self.settings_file = settings_file


class NotOpenError(SocketError):
    """A call on a device object after its :meth:`~vexlor.Device.close`: nothing reaches the
    driver. The code is 10038 (WSAENOTSOCK), what the driver gives for a slot that is not open."""


_CLASSES: Dict[int, Type[DriverError]] = {
    RESULT_BAD_SLOT: BadSlotError,
    RESULT_NO_SOCKET_LAYER: SocketLayerError,
    RESULT_SLOT_IN_USE: SlotInUseError,
    WSAETIMEDOUT: NoAnswerError,
    WSAECONNREFUSED: RefusedError,
}


def error_for(code: int, function: str = "", slot: Optional[int] = None,
              values: Any = None) -> DriverError:
    """The exception for a non-zero result code."""
    cls = _CLASSES.get(code, SocketError)
    return cls(code, function, slot, values)


def not_configured(function: str, slot: int, settings_file: str, address: str,
                   values: Any = None) -> NotConfiguredError:
    """The exception for 10049 from a slot whose address is empty or 0.0.0.0."""
    folder = os.path.dirname(settings_file)
    shown = f"address {address}" if address else "no address"
    hint = (f"slot {slot} is not configured in {settings_file} ({shown}): set it with "
            f"vexlor-config --dir {folder} set {slot} --ip ADDRESS --port PORT, or "
            f"vexlor.Settings({folder!r}).set({slot}, ip=..., port=...)")
    return NotConfiguredError(WSAEADDRNOTAVAIL, function, slot, values, hint, settings_file)


def not_open(function: str, slot: int) -> NotOpenError:
    """The exception for a call on a closed device object."""
    return NotOpenError(WSAENOTSOCK, function, slot, None,
                        f"slot {slot} is not open: open the device again (vexlor.open or "
                        "its open())")
