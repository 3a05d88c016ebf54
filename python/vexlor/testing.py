"""Simulated devices for scripts and test suites: :class:`Simulator` runs ``vexlor-sim``.

::

    from vexlor.testing import Simulator

    with Simulator("digital12,pw=secret", "thermo2,temps=20.5/----") as sim:
        sim.configure("/tmp/plant")          # Vexlor.ini: device i on slot i
        with sim.open(0) as dev:             # a vexlor.Digital12 on slot 0
            sim.control.set_input(0, 3, True)
            vexlor.wait_until(dev.read_inputs, lambda s: s.bits[3] == 1)

Devices are ``vexlor-sim`` descriptions ``TYPE[,key=value]...`` (types ``digital12``,
``digital24``, ``thermo1``, ``thermo2``, ``thermo8``, ``iocontroller``; keys such as ``pw=``,
``inputs=``, ``temps=``, ``fault=``). They are numbered from 0 in the order given. The simulator
listens on 127.0.0.1 only, on ports the system chooses. The pytest plugin
(:mod:`vexlor.pytest_plugin`) offers a started simulator as the fixture ``vexlor_sim``.
"""

from __future__ import annotations

import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from typing import IO, Dict, List, NamedTuple, Optional, Sequence, Type, TypeVar, Union, overload

from . import _native
from .devices import FAMILIES, Device
from .driver import Driver, PathLike
from .settings import Settings

__all__ = ["Simulator", "SimDevice", "SimControl", "SimError", "find_simulator"]

SIMULATOR = "vexlor-sim"
D = TypeVar("D", bound=Device)
#: Timing written for simulated devices by :meth:`Simulator.configure`, in ms. Digital devices
#: and the I/O Controller are polled this often; a thermometer read waits this long at most.
DEFAULT_TIMING = {"thermo1": 3000, "thermo2": 3000, "thermo8": 3000}
DEFAULT_DIGITAL_TIMING = 50


class SimError(RuntimeError):
    """The simulator did not start, did not answer, or refused a control command."""


class SimDevice(NamedTuple):
    """One simulated device as the simulator reported it on start."""

    index: int  # type: ignore[assignment]  # the device's number; hides tuple.index
    type: str
    port: int
    name: str


def find_simulator(driver: Optional[PathLike] = None) -> Path:
    """``vexlor-sim``: bundled with the package, beside the driver (a build tree), installed
    with the package, or on ``PATH``."""
    folders: List[Path] = [_native.BUNDLED_BIN_DIR]
    if driver is not None:
        folders.append(Path(driver).parent)
    for found in _native.candidates():
        folders.append(found.parent)
    try:
        from . import _installed  # type: ignore[attr-defined]
        folders.insert(1, (_native.PACKAGE_DIR / _installed.TOOLS_DIR).resolve())
    except ImportError:
        pass
    for folder in folders:
        candidate = folder / SIMULATOR
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    found_on_path = shutil.which(SIMULATOR)
    if found_on_path:
        return Path(found_on_path)
    raise SimError(f"{SIMULATOR} not found (looked in {', '.join(map(str, folders))} and on PATH)")


def _unescape(text: str) -> str:
    """The simulator's escapes: ``\\xHH`` for a byte, a backslash before any other character."""
    return re.sub(r"\\x([0-9A-Fa-f]{2})|\\(.)",
                  lambda m: chr(int(m.group(1), 16)) if m.group(1) else m.group(2), text)


def _escape(text: str) -> str:
    return "".join(c if 33 <= ord(c) <= 126 and c != "\\" else
                   ("\\\\" if c == "\\" else f"\\x{ord(c):02X}") for c in text)


def _write_port(path: Path, slot: int, port: int) -> None:
    """Puts ``Port=port`` into section ``[DEV<slot>]`` of a settings file, nothing else changed."""
    data = path.read_bytes()
    section = re.compile(rb"(^\[DEV%d\]\r?\n(?:(?!\[).*\r?\n)*?)Port=[^\r\n]*" % slot, re.M)
    patched, count = section.subn(lambda m: m.group(1) + b"Port=%d" % port, data, count=1)
    if count != 1:
        raise SimError(f"{path} has no Port in [DEV{slot}]")
    # Replaced as vexlor-config replaces it: through Vexlor.ini.tmp, where a link leads.
    target = Path(os.path.realpath(path))
    temp = target.with_name(target.name + ".tmp")
    temp.write_bytes(patched)
    os.replace(temp, target)


class SimControl:
    """Client of the simulator's control port: one command per line, one reply line each.

    Every method sends one command (tools/sim/README.md lists them) and returns the value of its
    ``OK`` reply; an ``ERR`` reply raises :class:`SimError`. ``device`` is a device's index or
    name. :meth:`command` sends any other command, so new simulator commands need no new code.
    """

    def __init__(self, port: int, host: str = "127.0.0.1", timeout: float = 5.0) -> None:
        self._sock = socket.create_connection((host, port), timeout=timeout)
        self._file = self._sock.makefile("rwb")
        self._lock = threading.Lock()
        self._commands: Optional[List[str]] = None

    def close(self) -> None:
        try:
            self._file.close()
        finally:
            self._sock.close()

    def command(self, *words: object) -> str:
        """Sends one command; returns what follows ``OK`` ("" for a bare ``OK``)."""
        line = " ".join(str(w) for w in words)
        with self._lock:
            self._file.write(line.encode("latin-1") + b"\n")
            self._file.flush()
            reply = self._file.readline().decode("latin-1").rstrip("\r\n")
        if reply == "OK":
            return ""
        if reply.startswith("OK "):
            return reply[3:]
        raise SimError(f"{line!r}: {reply or 'no reply'}")

    def _int(self, *words: object) -> int:
        return int(self.command(*words), 0)

    def ping(self) -> bool:
        return self.command("ping") == "pong"

    def commands(self) -> List[str]:
        """The command names this simulator knows (from ``help``: "commands: help ping ...")."""
        if self._commands is None:
            reply = self.command("help")
            self._commands = reply.split(":", 1)[1].split() if ":" in reply else reply.split()
        return self._commands

    # --- digital devices and the I/O Controller -------------------------------------------------
    def inputs(self, device: Union[int, str]) -> int:
        return self._int("inputs", device)

    def set_inputs(self, device: Union[int, str], word: int) -> None:
        """Sets the input word (bit n = input n; on the I/O Controller bit 0 is input 1, and the
        change is also sent as an input-state frame on its open connections)."""
        self.command("inputs", device, hex(word))

    def set_input(self, device: Union[int, str], n: int, on: bool) -> None:
        self.command("input", device, n, int(bool(on)))

    def outputs(self, device: Union[int, str]) -> int:
        return self._int("outputs", device)

    def output(self, device: Union[int, str], n: int) -> bool:
        return self._int("output", device, n) == 1

    def set_outputs(self, device: Union[int, str], word: int) -> None:
        self.command("outputs", device, hex(word))

    def counter(self, device: Union[int, str], n: int) -> int:
        return self._int("counter", device, n)

    def set_counter(self, device: Union[int, str], n: int, value: int) -> None:
        self.command("counter", device, n, value)

    def pulse(self, device: Union[int, str], n: int, count: int = 1) -> int:
        return self._int("pulse", device, n, count)

    def error_latch(self, device: Union[int, str]) -> bool:
        return self._int("error", device) == 1

    def set_error_latch(self, device: Union[int, str], on: bool) -> None:
        self.command("error", device, int(bool(on)))

    def password(self, device: Union[int, str]) -> str:
        return _unescape(self.command("password", device))

    def set_password(self, device: Union[int, str], password: str) -> None:
        self.command("set-password", device, _escape(password))

    # --- thermometers -------------------------------------------------------------------------
    def temperature(self, device: Union[int, str], n: int) -> str:
        return self.command("temp", device, n)

    def set_temperature(self, device: Union[int, str], n: int,
                        celsius: Optional[float]) -> None:
        """Sets reading n's base value; None makes the sensor missing (``----``)."""
        self.command("temp", device, n, "----" if celsius is None else celsius)

    def set_drift(self, device: Union[int, str], amplitude: float,
                  period: Optional[float] = None) -> None:
        self.command("drift", device, amplitude, *([] if period is None else [period]))

    # --- faults and connections ---------------------------------------------------------------
    def set_fault(self, device: Union[int, str], mode: str, arg: Optional[object] = None) -> str:
        """Switches a fault mode on (``silent``, ``refuse``, ``slow``, ``garbage``, ...; see the
        simulator's README); returns the active modes."""
        return self.command("fault", device, mode, *([] if arg is None else [arg]))

    def clear_fault(self, device: Union[int, str], mode: str) -> str:
        return self.command("fault", device, mode, "off")

    def clear_faults(self, device: Union[int, str]) -> str:
        return self.command("fault", device, "none")

    def faults(self, device: Union[int, str]) -> List[str]:
        reply = self.command("faults", device)
        return [] if reply == "none" else reply.split()

    def connections(self, device: Union[int, str]) -> int:
        return self._int("conns", device)

    def accepts(self, device: Union[int, str]) -> int:
        return self._int("accepts", device)

    def drop(self, device: Union[int, str]) -> int:
        """Closes every connection of the device; returns how many."""
        return self._int("drop", device)

    def listening(self, device: Union[int, str]) -> bool:
        """Whether the device accepts connections (not while refusing or restarting)."""
        if "listening" in self.commands():
            return self._int("listening", device) == 1
        return "refuse" not in " ".join(self.faults(device))

    def restart(self, device: Union[int, str], down: float = 0.2, timeout: float = 10.0) -> None:
        """Restarts the device and returns once it accepts connections again.

        With the simulator's ``restart`` command: every connection reset, connections refused
        for ``down`` seconds, then the device listens again with its outputs off, its counters
        at 0 and its error latch cleared. A simulator without that command gets what the
        network sees of a restart: connections refused, open ones closed, and after ``down``
        seconds accepted again (the device keeps its state)."""
        if "restart" in self.commands():
            self.command("restart", device, max(1, int(down * 1000)))
            deadline = time.monotonic() + down + timeout
            while not self.listening(device):
                if time.monotonic() > deadline:
                    raise SimError(f"device {device} did not listen again within {timeout} s")
                time.sleep(0.02)
            return
        self.set_fault(device, "refuse")
        try:
            self.drop(device)
            time.sleep(down)
        finally:
            self.clear_fault(device, "refuse")

    # --- what the device received -------------------------------------------------------------
    def log(self, device: Union[int, str]) -> List[str]:
        """The requests the device received, oldest first."""
        fields = self.command("log", device).split(" ")
        return [_unescape(f) for f in fields[1:] if f]

    def clear_log(self, device: Union[int, str]) -> None:
        self.command("clear-log", device)

    def requests(self, device: Union[int, str]) -> int:
        return self._int("requests", device)


class Simulator:
    """Runs ``vexlor-sim`` with the devices given, until :meth:`stop` (or the ``with`` block's
    end).

    Args:
        devices: device descriptions, e.g. ``"digital12,pw=secret"``; device i is numbered i.
        binary: the simulator program (default: :func:`find_simulator`).
        args: further simulator options, e.g. ``["--no-nul"]``.
        start_timeout: seconds to wait for the simulator to report its ports.
    """

    def __init__(self, *devices: str, binary: Optional[PathLike] = None,
                 args: Sequence[str] = (), start_timeout: float = 10.0,
                 library: Optional[PathLike] = None) -> None:
        if not devices:
            raise ValueError("name at least one device, e.g. Simulator('digital12')")
        self.descriptions = list(devices)
        self.library = library
        self.binary = Path(binary) if binary is not None else find_simulator(
            _native.find_library(library) if library is not None else None)
        self.args = list(args)
        self.start_timeout = start_timeout
        self.devices: List[SimDevice] = []
        self.control_port = 0
        self._process: Optional["subprocess.Popen[bytes]"] = None
        self._control: Optional[SimControl] = None
        self._driver: Optional[Driver] = None
        self._slots: Dict[int, int] = {}
        self._own_settings: Optional[Path] = None
        self.settings_dir: Optional[Path] = None

    # --- process ------------------------------------------------------------------------------
    def start(self) -> "Simulator":
        """Starts the simulator and waits until it reports its ports."""
        if self._process is not None:
            return self
        self._stderr = tempfile.TemporaryFile()
        command = [str(self.binary), "--control-port", "0", "--exit-on-stdin-eof",
                   *self.args, *self.descriptions]
        self._process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=self._stderr, close_fds=True)
        try:
            self._read_ports()
            self._control = SimControl(self.control_port)
        except BaseException:
            self.stop()
            raise
        return self

    def _read_ports(self) -> None:
        assert self._process is not None and self._process.stdout is not None
        out = self._process.stdout
        deadline = time.monotonic() + self.start_timeout
        buffer = b""
        while b"READY\n" not in buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise SimError(f"{self.binary} did not report READY within {self.start_timeout} s")
            ready, _, _ = select.select([out], [], [], left)
            if not ready:
                continue
            chunk = os.read(out.fileno(), 4096)
            if not chunk:
                self._stderr.seek(0)
                raise SimError(f"{self.binary} ended: "
                               f"{self._stderr.read().decode('latin-1', 'replace').strip()}")
            buffer += chunk
        for line in buffer.decode("latin-1").splitlines():
            fields = line.split()
            if fields[:1] == ["DEVICE"] and len(fields) >= 5:
                self.devices.append(SimDevice(int(fields[1]), fields[2], int(fields[3]),
                                              fields[4]))
            elif fields[:1] == ["CONTROL"] and fields[1] != "off":
                self.control_port = int(fields[1])
        # Nothing more is read from the simulator's standard output; keep the pipe drained.
        threading.Thread(target=self._drain, args=(out,), daemon=True).start()

    @staticmethod
    def _drain(out: IO[bytes]) -> None:
        try:
            while out.read(4096):
                pass
        except (OSError, ValueError):
            pass

    def stop(self) -> None:
        """Closes the driver made by :meth:`driver`, then ends the simulator (bounded waits:
        end of standard input, then SIGTERM, then SIGKILL) and removes temporary settings."""
        if self._driver is not None:
            try:
                self._driver.close()
            finally:
                self._driver = None
        if self._control is not None:
            try:
                self._control.close()
            except OSError:
                pass
            self._control = None
        process, self._process = self._process, None
        if process is not None:
            try:
                if process.stdin:
                    process.stdin.close()
                process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                process.terminate()
                try:
                    process.wait(timeout=3)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=5)
            if process.stdout:
                process.stdout.close()
            self._stderr.close()
        if self._own_settings is not None:
            shutil.rmtree(self._own_settings, ignore_errors=True)
            self._own_settings = None

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    @property
    def control(self) -> SimControl:
        """The control client (set inputs, faults, restart, read the request log, ...)."""
        if self._control is None:
            raise SimError("the simulator is not running")
        return self._control

    def port(self, device: int) -> int:
        """The TCP port of device ``device``."""
        return self.devices[device].port

    # --- the driver's side --------------------------------------------------------------------
    def configure(self, settings: Optional[PathLike] = None, first_slot: int = 0,
                  timing: Optional[int] = None, reply_timeout: Optional[int] = None,
                  reconnect: Optional[bool] = None) -> Path:
        """Writes a ``Vexlor.ini`` that puts device i on slot ``first_slot + i`` (127.0.0.1, its
        port, its password; an I/O Controller marked as such). ``timing`` (ms) defaults to 50
        for digital devices and 3000 for thermometers (there it is the longest wait for a
        reply); ``reply_timeout`` and ``reconnect`` are written for every slot when given (see
        :meth:`vexlor.Settings.set`). Without ``settings`` a temporary folder is used and
        removed by :meth:`stop`. Returns the folder."""
        if settings is None:
            if self._own_settings is None:
                self._own_settings = Path(tempfile.mkdtemp(prefix="vexlor-sim-settings-"))
            folder = self._own_settings
        else:
            folder = Path(settings)
        slots: Dict[int, Dict[str, object]] = {}
        for device in self.devices:
            slot = first_slot + device.index
            values: Dict[str, object] = {"ip": "127.0.0.1", "port": device.port}
            values["timing"] = timing if timing is not None else DEFAULT_TIMING.get(
                device.type, DEFAULT_DIGITAL_TIMING)
            values["reply_timeout"] = reply_timeout
            values["reconnect"] = reconnect
            if device.type == "iocontroller":
                values["io_controller"] = True
            elif device.type.startswith("digital"):
                values["password"] = self.control.password(device.index)
            slots[slot] = values
            self._slots[device.index] = slot
        tool_driver = _native.find_library(self.library) if self.library is not None else None
        tool = Settings(folder, driver=tool_driver)
        tool.update(slots, devices=len(self.devices) + first_slot)
        # The settings code saves every I/O Controller slot with port 23, the device's own port;
        # a simulated one listens elsewhere, so its port goes into the file afterwards.
        for device in self.devices:
            if device.type == "iocontroller":
                _write_port(tool.path, self._slots[device.index], device.port)
        self.settings_dir = folder
        return folder

    def driver(self) -> Driver:
        """A private driver reading the settings :meth:`configure` wrote (configured with the
        defaults first when it has not been called); closed by :meth:`stop`."""
        if self._driver is None:
            if self.settings_dir is None:
                self.configure()
            self._driver = Driver(self.library, settings=self.settings_dir)
        return self._driver

    def slot(self, device: int) -> int:
        """The slot :meth:`configure` gave device ``device``."""
        return self._slots[device]

    @overload
    def open(self, device: int, family: None = None, language: int = 1) -> Device: ...

    @overload
    def open(self, device: int, family: Type[D], language: int = 1) -> D: ...

    def open(self, device: int, family: Optional[Type[Device]] = None,
             language: int = 1) -> Device:
        """Opens device ``device`` through :meth:`driver` as its family's class. Naming the
        family (``sim.open(0, vexlor.Digital12)``) gives a result of that type for type
        checkers and raises :class:`TypeError` when the device is of another family."""
        own = FAMILIES[self.devices[device].type]
        if family is not None and not issubclass(own, family):
            raise TypeError(f"device {device} is a {own.family}, not a {family.__name__}")
        return self.driver().open(self.slot(device), own, language)
