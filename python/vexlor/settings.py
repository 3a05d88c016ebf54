"""Reading and writing ``Vexlor.ini`` through the ``vexlor-config`` tool.

The settings file keeps passwords scrambled with the driver's key; ``vexlor-config`` is built
from the driver's own settings code, so the package leaves reading and writing the file to it
rather than keeping a second copy of the scrambling. The Linux wheel carries the tool; otherwise
the one beside the driver, the installed one or the first on ``PATH`` is used. On Windows the
driver's configuration dialog edits the file (:meth:`vexlor.Driver.config_dialog`).
"""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path
from typing import Dict, List, NamedTuple, Optional, Union

from . import _native

__all__ = ["Settings", "SlotSettings", "SettingsToolError", "find_tool"]

PathLike = Union[str, "os.PathLike[str]"]
TOOL = "vexlor-config.exe" if _native.IS_WINDOWS else "vexlor-config"


class SettingsToolError(RuntimeError):
    """``vexlor-config`` is missing, refused a value or could not write the file."""


class SlotSettings(NamedTuple):
    """The settings of one slot. ``password`` is None for an I/O Controller slot (whose
    password field holds the marker "I/O Controller") and "" for no password.

    ``reply_timeout`` (ms; 0: no check) and ``reconnect`` are the slot's connection-health
    settings where the driver has them (None where ``vexlor-config`` does not list them)."""

    ip: str
    port: int
    timing: int
    password: Optional[str]
    reply_timeout: Optional[int] = None
    reconnect: Optional[bool] = None

    @property
    def io_controller(self) -> bool:
        return self.password is None


def find_tool(driver: Optional[PathLike] = None) -> Path:
    """``vexlor-config``: bundled with the package, beside the driver (a build tree), installed
    with the package, or on ``PATH``."""
    folders = _native.program_folders(*([Path(driver).parent] if driver is not None else []))
    program = _native.find_program(TOOL, folders)
    if program is not None:
        return program
    found = shutil.which(TOOL)
    if found:
        return Path(found)
    raise SettingsToolError(f"{TOOL} not found (looked in {', '.join(map(str, folders))} and "
                            "on PATH)")


class Settings:
    """The ``Vexlor.ini`` in ``folder``, read and written with ``vexlor-config --dir folder``.

    Every write changes only the slots it is given, all of them in one replacement of the file
    (a temporary file beside it renamed over it; where ``Vexlor.ini`` is a symbolic link, the
    file it leads to), and is checked by reading the written slots back. Zero-padded addresses
    are refused, since the driver reads a part with a leading 0 as octal (``127.0.0.010`` would
    be 127.0.0.8). Values the file cannot hold unchanged are refused with
    :class:`SettingsToolError` (passwords with blanks or non-printable characters or longer than
    49 characters, an IP that is not a dotted IPv4 address, a port outside 1-65535, a Timing of 0).
    Writing needs write access to the folder: the file is replaced through a temporary file.
    """

    def __init__(self, folder: PathLike, tool: Optional[PathLike] = None,
                 driver: Optional[PathLike] = None) -> None:
        self.folder = Path(folder).absolute()
        self.tool = Path(tool) if tool is not None else find_tool(driver)

    @property
    def path(self) -> Path:
        """The settings file."""
        return self.folder / "Vexlor.ini"

    def _run(self, *args: str) -> str:
        self.folder.mkdir(parents=True, exist_ok=True)
        try:
            done = subprocess.run([str(self.tool), "--dir", str(self.folder), *args],
                                  capture_output=True, text=True, timeout=30,
                                  encoding="latin-1")
        except (OSError, subprocess.TimeoutExpired) as exc:
            raise SettingsToolError(f"{self.tool}: {exc}") from exc
        if done.returncode != 0:
            message = (done.stderr or done.stdout).strip()
            raise SettingsToolError(f"{self.tool.name} {' '.join(args)}: {message}")
        return done.stdout

    def read(self) -> Dict[int, SlotSettings]:
        """All 100 slots (defaults 0.0.0.0, 80, 500 and no password where nothing is set)."""
        slots: Dict[int, SlotSettings] = {}
        columns: List[str] = []
        for line in self._run("show", "--all").splitlines():
            fields = line.split()
            if fields[:2] == ["Slot", "IP"]:
                columns = fields  # ... Password last: the password may be any printable text
                continue
            if not columns or not fields or not fields[0].isdigit():
                continue
            row = dict(zip(columns, line.split(None, len(columns) - 1)))
            shown = row.get("Password", "")
            password: Optional[str] = shown
            if shown == "[I/O Controller]":
                password = None
            elif shown == "(none)":
                password = ""
            reply = row.get("Reply(ms)")
            reconnect = row.get("Reconnect")
            slots[int(row["Slot"])] = SlotSettings(
                row["IP"], _number(row["Port"]), _number(row["Timing"]), password,
                None if reply is None else (0 if reply == "off" else _number(reply)),
                None if reconnect is None else reconnect == "on")
        return slots

    def __getitem__(self, slot: int) -> SlotSettings:
        return self.read()[slot]

    def device_count(self) -> int:
        """The number of device rows the configuration dialog shows."""
        for line in self._run("show").splitlines():
            if line.startswith("Devices:"):
                return int(line.split(":", 1)[1])
        raise SettingsToolError("vexlor-config show gave no device count")

    def set(self, slot: int, *, ip: Optional[str] = None, port: Optional[int] = None,
            timing: Optional[int] = None, password: Optional[str] = None,
            io_controller: bool = False, reply_timeout: Optional[int] = None,
            reconnect: Optional[bool] = None) -> None:
        """Changes the settings given for ``slot``. ``password=""`` removes the password;
        ``io_controller=True`` marks the slot as an I/O Controller, which the driver's settings
        code always saves with port 23. ``reply_timeout`` (ms, 0: off) is how long a request
        may go unanswered before the slot's reads raise :class:`~vexlor.NoAnswerError`;
        ``reconnect=True`` lets the driver connect again by itself after losing the device."""
        self.update({slot: dict(ip=ip, port=port, timing=timing, password=password,
                                io_controller=io_controller, reply_timeout=reply_timeout,
                                reconnect=reconnect)})

    def update(self, slots: Dict[int, Dict[str, object]], devices: Optional[int] = None) -> None:
        """Changes several slots in one write: ``{slot: {"ip": ..., "port": ..., ...}}`` with the
        keywords of :meth:`set`; ``devices`` sets the dialog's device count."""
        args: List[str] = []
        if devices is not None:
            args += ["devices", str(devices)]
        for slot, values in slots.items():
            args += ["set", str(slot)]
            if values.get("io_controller"):
                args.append("--io-controller")
            for key in ("ip", "port", "timing", "reply_timeout"):
                if values.get(key) is not None:
                    args += ["--" + key.replace("_", "-"), str(values[key])]
            if values.get("reconnect") is not None:
                args += ["--reconnect", "1" if values["reconnect"] else "0"]
            password = values.get("password")
            if password == "":
                args.append("--no-password")
            elif password is not None:
                args += ["--password", str(password)]
            if args[-2:] == ["set", str(slot)]:  # nothing to change in this slot
                args = args[:-2]
        if args:
            self._run(*args)

    def reset(self, slot: int) -> None:
        """Puts ``slot`` back to the defaults 0.0.0.0, 80, 500, no password."""
        self._run("reset", str(slot))

    def __repr__(self) -> str:
        return f"<vexlor.Settings {self.path}>"


def _number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        return 0
