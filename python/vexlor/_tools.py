"""The console scripts of the Linux wheel: ``vexlorctl``, ``vexlor-config`` and ``vexlor-sim``
run the programs the wheel carries, with the bundled driver and the per-user settings folder
that :class:`vexlor.Driver` uses (:func:`vexlor.default_settings_dir`), so that a setting made
with ``vexlor-config`` is the one ``vexlorctl`` and Python read."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path
from typing import List, Optional, Sequence

from . import _native
from .driver import SETTINGS_FILE, default_settings_dir, private_copy


def _program(name: str) -> Path:
    """A bundled program, else the installed one; never a program on PATH, which would be this
    very script."""
    folders = _native.program_folders()
    found = _native.find_program(name, folders)
    if found is not None:
        return found
    raise SystemExit(f"{name}: not part of this installation of the vexlor package "
                     f"(looked in {', '.join(map(str, folders))})")


def _has_option(args: Sequence[str], *names: str) -> bool:
    return any(a in names or any(a.startswith(n + "=") for n in names) for a in args)


def _run(command: List[str]) -> int:
    process = subprocess.Popen(command)
    while True:
        try:
            return process.wait()
        except KeyboardInterrupt:  # the program got the same signal and ends by itself
            continue


def vexlor_sim(argv: Optional[Sequence[str]] = None) -> int:
    """``vexlor-sim``: the device simulator."""
    args = list(sys.argv[1:] if argv is None else argv)
    return _run([str(_program("vexlor-sim")), *args])


def vexlor_config(argv: Optional[Sequence[str]] = None) -> int:
    """``vexlor-config``: edits the per-user ``Vexlor.ini`` unless ``--dir`` names another."""
    args = list(sys.argv[1:] if argv is None else argv)
    if not _has_option(args, "--dir", "--help", "-h", "--version"):
        folder = default_settings_dir()
        folder.mkdir(parents=True, exist_ok=True)
        args = ["--dir", str(folder), *args]
    return _run([str(_program("vexlor-config")), *args])


def vexlorctl(argv: Optional[Sequence[str]] = None) -> int:
    """``vexlorctl``: the host command line, with a private copy of the bundled driver that
    reads the per-user ``Vexlor.ini`` unless ``--driver`` names a driver."""
    args = list(sys.argv[1:] if argv is None else argv)
    program = str(_program("vexlorctl"))
    if _has_option(args, "--driver", "--help", "-h", "--version"):
        return _run([program, *args])
    driver = private_copy(_native.find_library(), default_settings_dir() / SETTINGS_FILE)
    try:
        return _run([program, "--driver", str(driver), *args])
    finally:
        shutil.rmtree(driver.parent, ignore_errors=True)
